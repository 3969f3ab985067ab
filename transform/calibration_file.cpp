#include "transform/calibration.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imageio/load_picture.h"
#include "transform/numbers.h"

namespace {

// A calibration YAML is about a kilobyte, a Hugin project with thousands of
// control points a few hundred; a larger file is not a calibration.
constexpr size_t kLargestFileBytes = 4 << 20;
// An image line with a long file name stays under a kilobyte.
constexpr size_t kLongestLineBytes = 64 << 10;

std::string LineName(size_t line) { return "line " + std::to_string(line); }

// Text from the file as a message quotes it: short, and with no control
// characters to upset a terminal or a message box.
std::string Shown(std::string_view text) {
  constexpr size_t kLongest = 40;
  std::string shown;
  for (size_t i = 0; i < text.size() && i < kLongest; ++i) {
    const auto letter = static_cast<unsigned char>(text[i]);
    shown += letter < 0x20 || letter == 0x7F ? '?' : text[i];
  }
  if (text.size() > kLongest) shown += "...";
  return shown;
}

// A number as a message quotes it: the fewest digits that give it back.
std::string NumberShown(double value) {
  char text[32];
  const std::to_chars_result written = std::to_chars(text, std::end(text), value);
  return std::string(text, written.ptr);
}

bool IsBlank(char letter) { return letter == ' ' || letter == '\t'; }

bool IsLetter(char letter) { return (letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z'); }

bool SameLetters(std::string_view text, std::string_view lowercase) {
  if (text.size() != lowercase.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char letter = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (letter != lowercase[i]) return false;
  }
  return true;
}

// The file's text with "\n" alone ending its lines (Windows editors write
// "\r\n", old Mac ones "\r"), without a UTF-8 byte order mark.
std::string Normalised(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      lines += text[i];
    } else if (i + 1 == text.size() || text[i + 1] != '\n') {
      lines += '\n';
    }
  }
  return lines;
}

// Calls `take(line, number)` for each line of `text`, numbered from 1, until
// it returns false.
template <class Take>
void ForEachLine(std::string_view text, Take take) {
  size_t number = 1;
  for (size_t start = 0; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (!take(text.substr(start, end - start), number)) return;
    start = end + 1;
  }
}

// ---------------------------------------------------------------------------
// Hugin projects.
//
// An image line is "i" and blank-separated items, each a key of letters and
// its value with nothing between: "w3000", "TrX0", "v=0" (the same as image
// 0's v; images count from 0 in the order of their lines), n"a name". The
// numbers that Hugin writes on image lines, in the letters it uses: the
// geometry the lens needs, the camera's translation (refused unless 0) and
// the photometric ones, which are only checked for form.
constexpr std::string_view kHuginKeys[] = {
    "w",   "h",   "f",   "v",   "y",   "p",  "r",  "a",  "b",  "c",  "d",  "e",  "g",  "t",  "TrX", "TrY", "TrZ",
    "Tpy", "Tpp", "Eev", "Er",  "Eb",  "Ra", "Rb", "Rc", "Rd", "Re", "Va", "Vb", "Vc", "Vd", "Vx",  "Vy",  "Vm"};
constexpr size_t kHuginKeyCount = std::size(kHuginKeys);

constexpr size_t HuginKey(std::string_view key) {
  for (size_t i = 0; i < kHuginKeyCount; ++i)
    if (kHuginKeys[i] == key) return i;
  return kHuginKeyCount;
}

constexpr size_t kWidthKey = HuginKey("w");
constexpr size_t kHeightKey = HuginKey("h");
constexpr size_t kProjectionKey = HuginKey("f");
constexpr size_t kFovKey = HuginKey("v");
constexpr size_t kFirstTranslationKey = HuginKey("TrX");
constexpr size_t kFirstPhotometricKey = HuginKey("Eev");
static_assert(kFirstPhotometricKey == kFirstTranslationKey + 5);

// Gigapixel projects hold a few thousand pictures.
constexpr size_t kMostImageLines = 10000;

struct HuginValue {
  bool given = false;
  int64_t link = -1;  // "=N": image N's value
  double number = 0.0;
};

struct HuginImage {
  size_t line = 0;
  std::array<HuginValue, kHuginKeyCount> values;
  std::optional<CropRectangle> crop;
};

Result LineFailure(size_t line, const std::string& reason) { return Result::Failure(LineName(line) + ": " + reason); }

// Whether `key` is a known key run together with "nan" or "inf" (which the
// letters of a key would otherwise swallow, hiding a value that is no number).
bool SpellsNoNumber(std::string_view key) {
  auto runTogether = [key](std::string_view known) {
    if (!key.starts_with(known)) return false;
    const std::string_view rest = key.substr(known.size());
    return SameLetters(rest, "nan") || SameLetters(rest, "inf") || SameLetters(rest, "infinity");
  };
  if (runTogether("S")) return true;
  for (std::string_view known : kHuginKeys)
    if (runTogether(known)) return true;
  return false;
}

Result ReadCrop(std::string_view item, size_t line, HuginImage& image) {
  if (image.crop) return LineFailure(line, "S is given twice");
  double edges[4];
  std::string_view rest = item.substr(1);
  for (size_t i = 0; i < 4; ++i) {
    const size_t comma = i < 3 ? rest.find(',') : rest.size();
    const std::optional<double> edge = comma == std::string_view::npos ? std::nullopt : ParseDecimal(rest.substr(0, comma));
    if (!edge) return LineFailure(line, Shown(item) + ": the crop is S and four numbers left,right,top,bottom");
    edges[i] = *edge;
    rest.remove_prefix(comma == rest.size() ? comma : comma + 1);
  }
  image.crop = CropRectangle{edges[0], edges[1], edges[2], edges[3]};
  return {};
}

// Reads the items of an image line (the text after its "i"). Only their form
// is checked here; what they mean, for the lenses taken.
Result ReadImageLine(std::string_view items, size_t line, HuginImage& image) {
  image.line = line;
  size_t at = 0;
  for (;;) {
    while (at < items.size() && IsBlank(items[at])) ++at;
    if (at == items.size()) return {};
    const size_t start = at;
    bool quoted = false;
    while (at < items.size() && (quoted || !IsBlank(items[at]))) {
      if (items[at] == '"') quoted = !quoted;
      ++at;
    }
    const std::string_view item = items.substr(start, at - start);
    if (quoted) return LineFailure(line, Shown(item) + ": a quoted name without its closing quote");
    size_t letters = 0;
    while (letters < item.size() && IsLetter(item[letters])) ++letters;
    const std::string_view key = item.substr(0, letters);
    const std::string_view value = item.substr(letters);
    if (key.empty()) return LineFailure(line, Shown(item) + ": not a key followed by its value");
    if (key == "S") {
      Result crop = ReadCrop(item, line, image);
      if (!crop.ok()) return crop;
      continue;
    }
    const size_t index = HuginKey(key);
    if (index == kHuginKeyCount) {
      if (SpellsNoNumber(key)) return LineFailure(line, Shown(item) + ": not a number");
      continue;  // j, n, Vf and keys of other Hugin versions
    }
    if (value.empty()) return LineFailure(line, std::string(key) + " without its value");
    HuginValue& slot = image.values[index];
    if (slot.given) return LineFailure(line, std::string(key) + " is given twice");
    slot.given = true;
    if (value.starts_with('=')) {
      const std::optional<int64_t> target = ParseWholeNumber(value.substr(1));
      if (!target || *target < 0) return LineFailure(line, Shown(item) + ": a link is = and an image's number");
      slot.link = *target;
      continue;
    }
    const bool whole = index == kWidthKey || index == kHeightKey || index == kProjectionKey;
    std::optional<double> number;
    if (whole) {
      if (const std::optional<int64_t> read = ParseWholeNumber(value)) number = static_cast<double>(*read);
    } else {
      number = ParseDecimal(value);
    }
    if (!number) return LineFailure(line, Shown(item) + (whole ? ": not a whole number" : ": not a number"));
    slot.number = *number;
  }
}

// Image `index`'s value of `key`, following links; none when the image at the
// end of the links does not give it.
Result Resolved(const std::vector<HuginImage>& images, size_t index, size_t key, std::optional<double>& number) {
  size_t at = index;
  // Without a loop, the links visit each image at most once.
  for (size_t step = 0; step <= images.size(); ++step) {
    const HuginValue& value = images[at].values[key];
    if (!value.given) {
      number.reset();
      return {};
    }
    if (value.link < 0) {
      number = value.number;
      return {};
    }
    at = static_cast<size_t>(value.link);  // below the count: checked after reading
  }
  return LineFailure(images[index].line, std::string(kHuginKeys[key]) + ": its links go round in a loop");
}

// Hugin's projection codes for source images.
std::string ProjectionName(double code) {
  if (code == 0) return " (rectilinear)";
  if (code == 1) return " (panoramic)";
  if (code == 4) return " (equirectangular)";
  if (code == 7) return " (mirror)";
  if (code == 20) return " (Thoby fisheye)";
  return "";
}

std::optional<LensModel> FisheyeModel(double code) {
  if (code == 2 || code == 3) return LensModel::Equidistant;  // circular and full-frame fisheye
  if (code == 8) return LensModel::Orthographic;
  if (code == 10) return LensModel::Stereographic;
  if (code == 21) return LensModel::Equisolid;
  return std::nullopt;
}

Result HuginLens(const std::vector<HuginImage>& images, size_t index, LensCalibration& lens) {
  const size_t line = images[index].line;
  std::array<double, kHuginKeyCount> values{};  // Hugin's default for what is not given: 0
  for (size_t key = 0; key < kHuginKeyCount; ++key) {
    std::optional<double> value;
    Result resolved = Resolved(images, index, key, value);
    if (!resolved.ok()) return resolved;
    if (value) {
      values[key] = *value;
    } else if (key == kWidthKey || key == kHeightKey || key == kProjectionKey || key == kFovKey) {
      const char* meaning = key == kWidthKey    ? "the picture's width"
                            : key == kHeightKey ? "the picture's height"
                            : key == kFovKey    ? "the field of view"
                                                : "the projection";
      return LineFailure(line, "missing value: " + std::string(kHuginKeys[key]) + " (" + meaning + ")");
    }
  }
  for (size_t key = kFirstTranslationKey; key < kFirstPhotometricKey; ++key)
    if (values[key] != 0)
      return LineFailure(line, "moves the camera: " + std::string(kHuginKeys[key]) + " " + NumberShown(values[key]) +
                                   "; only a camera that turns about its lens is taken");

  const double code = values[kProjectionKey];
  const std::optional<LensModel> model = FisheyeModel(code);
  if (!model)
    return LineFailure(line, "image line of projection " + NumberShown(code) + ProjectionName(code) +
                                 ": only fisheye projections (2, 3, 8, 10, 21) are taken");
  for (size_t key : {kWidthKey, kHeightKey})
    if (values[key] < 1 || values[key] > std::numeric_limits<int32_t>::max())
      return LineFailure(line, std::string(kHuginKeys[key]) + " " + NumberShown(values[key]) +
                                   ": the picture's size must be at least 1 pixel");
  const double fov = values[kFovKey];
  if (!(fov > 0 && fov <= 360))
    return LineFailure(line, "v " + NumberShown(fov) + ": the field of view must be more than 0 and at most 360");
  if (const std::optional<CropRectangle>& crop = images[index].crop;
      crop && !(crop->left < crop->right && crop->top < crop->bottom))
    return LineFailure(line, "S " + NumberShown(crop->left) + "," + NumberShown(crop->right) + "," +
                                 NumberShown(crop->top) + "," + NumberShown(crop->bottom) +
                                 ": the crop's left must be less than its right and its top less than its bottom");

  lens = LensCalibration{};
  lens.kind = LensCalibration::Kind::Hugin;
  lens.width = static_cast<int32_t>(values[kWidthKey]);
  lens.height = static_cast<int32_t>(values[kHeightKey]);
  lens.projectionCode = static_cast<int32_t>(code);
  lens.model = *model;
  lens.fovDegrees = fov;
  lens.a = values[HuginKey("a")];
  lens.b = values[HuginKey("b")];
  lens.c = values[HuginKey("c")];
  lens.shiftX = values[HuginKey("d")];
  lens.shiftY = values[HuginKey("e")];
  lens.shearX = values[HuginKey("g")];
  lens.shearY = values[HuginKey("t")];
  lens.crop = images[index].crop;
  lens.pose = LensPose{values[HuginKey("y")], values[HuginKey("p")], values[HuginKey("r")]};
  return {};
}

bool IsImageLine(std::string_view line) { return line.starts_with('i') && (line.size() == 1 || IsBlank(line[1])); }

// The first `lensesWanted` image lines; every other line (the panorama's p,
// the optimiser's v, control points, comments) is Hugin's business.
Result ReadHuginProject(std::string_view text, int lensesWanted, CalibrationFile& file) {
  std::vector<HuginImage> images;
  Result read;
  ForEachLine(text, [&](std::string_view line, size_t number) {
    if (!IsImageLine(line)) return true;
    if (images.size() == kMostImageLines) {
      read = LineFailure(number, "more than " + std::to_string(kMostImageLines) + " image lines");
      return false;
    }
    images.emplace_back();
    read = ReadImageLine(line.substr(1), number, images.back());
    return read.ok();
  });
  if (!read.ok()) return read;
  for (const HuginImage& image : images)
    for (size_t key = 0; key < kHuginKeyCount; ++key)
      if (const int64_t link = image.values[key].link; link >= 0 && static_cast<uint64_t>(link) >= images.size())
        return LineFailure(image.line, std::string(kHuginKeys[key]) + "=" + std::to_string(link) +
                                           ": links to image " + std::to_string(link) + ", but the project has " +
                                           std::to_string(images.size()) + " (numbered from 0)");
  if (images.size() < static_cast<size_t>(lensesWanted))
    return Result::Failure("the project has " + std::to_string(images.size()) +
                           (images.size() == 1 ? " image line" : " image lines") +
                           (lensesWanted == 1 ? "; one is needed" : "; two are needed, one for each lens"));

  CalibrationFile project;
  project.fromProject = true;
  project.lenses.resize(static_cast<size_t>(lensesWanted));
  for (size_t i = 0; i < project.lenses.size(); ++i) {
    Result lens = HuginLens(images, i, project.lenses[i]);
    if (!lens.ok()) return lens;
  }
  file = std::move(project);
  return {};
}

// ---------------------------------------------------------------------------
// YAML, as far as camera calibrations use it: block and flow mappings and
// sequences, plain and quoted one-line scalars, comments, a %YAML line and
// "---" before the document and "..." after it. Tags (OpenCV's
// !!opencv-matrix) are read and dropped: the keys say the same. Anchors,
// aliases, block scalars (| and >), multi-line scalars and further documents
// are refused, naming the line.

struct YamlNode {
  enum class Kind : uint8_t { Scalar, Mapping, Sequence };
  Kind kind = Kind::Scalar;
  std::string text;                // a scalar's; empty for an empty value
  std::vector<std::string> keys;   // a mapping's, in the file's order
  std::vector<YamlNode> children;  // a mapping's values (one per key) or a sequence's items
};

// Calibration files hold a few dozen values, three levels deep.
constexpr int kMostYamlValues = 4096;
constexpr int kDeepestYamlNesting = 32;

struct YamlReader {
  std::string_view text;
  size_t at = 0;  // the next character to read
  int depth = 0;
  int values = 0;
};

Result YamlFailure(const YamlReader& reader, size_t where, const std::string& reason) {
  size_t line = 1;
  for (size_t i = 0; i < where && i < reader.text.size(); ++i) line += reader.text[i] == '\n';
  return LineFailure(line, reason);
}

// One level of nesting for as long as it lives.
class YamlNesting {
 public:
  explicit YamlNesting(YamlReader& reader) : reader_(reader) { ++reader_.depth; }
  ~YamlNesting() { --reader_.depth; }
  YamlNesting(const YamlNesting&) = delete;
  YamlNesting& operator=(const YamlNesting&) = delete;
  Result Check() const {
    if (reader_.depth <= kDeepestYamlNesting) return {};
    return YamlFailure(reader_, reader_.at, "nested more than " + std::to_string(kDeepestYamlNesting) + " deep");
  }

 private:
  YamlReader& reader_;
};

Result CountValue(YamlReader& reader) {
  if (++reader.values <= kMostYamlValues) return {};
  return YamlFailure(reader, reader.at, "more than " + std::to_string(kMostYamlValues) + " values");
}

bool AtLineEnd(const YamlReader& reader, size_t at) { return at >= reader.text.size() || reader.text[at] == '\n'; }

size_t SkipBlanks(const YamlReader& reader, size_t at) {
  while (at < reader.text.size() && IsBlank(reader.text[at])) ++at;
  return at;
}

size_t LineEnd(const YamlReader& reader, size_t at) {
  const size_t end = reader.text.find('\n', at);
  return end == std::string_view::npos ? reader.text.size() : end;
}

size_t Column(const YamlReader& reader, size_t at) {
  const size_t newline = reader.text.rfind('\n', at == 0 ? 0 : at - 1);
  return newline == std::string_view::npos || at == 0 ? at : at - newline - 1;
}

// A '#' starts a comment at the start of a line or after a blank.
bool StartsComment(const YamlReader& reader, size_t at) {
  return reader.text[at] == '#' && (at == 0 || IsBlank(reader.text[at - 1]) || reader.text[at - 1] == '\n');
}

bool RestOfLineEmpty(const YamlReader& reader, size_t at) {
  at = SkipBlanks(reader, at);
  return AtLineEnd(reader, at) || StartsComment(reader, at);
}

bool IsListItem(const YamlReader& reader, size_t at) {
  return at < reader.text.size() && reader.text[at] == '-' &&
         (AtLineEnd(reader, at + 1) || IsBlank(reader.text[at + 1]));
}

bool IsDocumentMarker(const YamlReader& reader, size_t at) {
  const std::string_view marker = reader.text.substr(at, 3);
  return (marker == "---" || marker == "...") && (AtLineEnd(reader, at + 3) || IsBlank(reader.text[at + 3]));
}

// Moves to the start of the next line that holds something (past blank lines
// and comments). `indent` is its count of leading spaces, or -1 at the end of
// the document: the end of the text, "---" or "...".
Result NextContent(YamlReader& reader, int& indent) {
  const std::string_view text = reader.text;
  if (reader.at > 0 && reader.at < text.size() && text[reader.at - 1] != '\n') reader.at = LineEnd(reader, reader.at) + 1;
  while (reader.at < text.size()) {
    size_t first = reader.at;
    while (first < text.size() && text[first] == ' ') ++first;
    const size_t content = SkipBlanks(reader, first);
    if (AtLineEnd(reader, content) || text[content] == '#') {
      reader.at = LineEnd(reader, content) + 1;
      continue;
    }
    if (content != first) return YamlFailure(reader, content, "a tab in the indentation");
    indent = first == reader.at && IsDocumentMarker(reader, first) ? -1 : static_cast<int>(first - reader.at);
    return {};
  }
  reader.at = text.size();
  indent = -1;
  return {};
}

Result ReadQuoted(const YamlReader& reader, size_t at, std::string& text, size_t& end) {
  const char quote = reader.text[at];
  text.clear();
  for (size_t i = at + 1;; ++i) {
    if (AtLineEnd(reader, i)) return YamlFailure(reader, at, "a quoted text that does not end on its line");
    const char letter = reader.text[i];
    if (letter == quote) {
      if (quote == '\'' && i + 1 < reader.text.size() && reader.text[i + 1] == '\'') {
        text += '\'';
        ++i;
        continue;
      }
      end = i + 1;
      return {};
    }
    if (letter == '\\' && quote == '"') {
      ++i;
      const char escaped = AtLineEnd(reader, i) ? '\n' : reader.text[i];
      if (escaped == '\\' || escaped == '"' || escaped == '/') {
        text += escaped;
      } else if (escaped == 'n') {
        text += '\n';
      } else if (escaped == 't') {
        text += '\t';
      } else {
        return YamlFailure(reader, i, "an escape in a quoted text other than \\\\, \\\", \\/, \\n or \\t");
      }
      continue;
    }
    text += letter;
  }
}

// Whether the line goes on at `at` with a key and ':' (then a blank or the
// line's end), as in "key: value" or "- key: value".
bool StartsWithKey(const YamlReader& reader, size_t at) {
  const std::string_view text = reader.text;
  if (text[at] == '"' || text[at] == '\'') {
    std::string key;
    size_t end = 0;
    if (!ReadQuoted(reader, at, key, end).ok()) return false;
    end = SkipBlanks(reader, end);
    return end < text.size() && text[end] == ':' && (AtLineEnd(reader, end + 1) || IsBlank(text[end + 1]));
  }
  if (text[at] == '[' || text[at] == '{') return false;
  for (size_t i = at; !AtLineEnd(reader, i); ++i) {
    if (StartsComment(reader, i)) return false;
    if (text[i] == ':' && (AtLineEnd(reader, i + 1) || IsBlank(text[i + 1]))) return true;
  }
  return false;
}

Result ReadBlockBelow(YamlReader& reader, int indent, bool listAtIndent, YamlNode& node);
Result ReadFlow(YamlReader& reader, YamlNode& node);

// Characters that may not start a plain scalar (YAML's indicators that this
// reader does not take).
bool RefusedScalarStart(const YamlReader& reader, size_t at, Result& refusal) {
  const char letter = reader.text[at];
  if (letter == '&' || letter == '*') {
    refusal = YamlFailure(reader, at, "anchors and aliases (& and *) are not read");
  } else if (letter == '|' || letter == '>') {
    refusal = YamlFailure(reader, at, "block texts (| and >) are not read");
  } else if (std::string_view("#%@`?]},").find(letter) != std::string_view::npos) {
    refusal = YamlFailure(reader, at, std::string("a value cannot start with ") + letter);
  } else {
    return false;
  }
  return true;
}

// A value that starts at reader.at and ends on its line.
Result ReadValueOnLine(YamlReader& reader, YamlNode& node) {
  const std::string_view text = reader.text;
  const size_t start = reader.at;
  Result refused;
  if (text[start] == '[' || text[start] == '{') {
    Result flow = ReadFlow(reader, node);
    if (!flow.ok()) return flow;
  } else if (text[start] == '"' || text[start] == '\'') {
    Result quoted = ReadQuoted(reader, start, node.text, reader.at);
    if (!quoted.ok()) return quoted;
  } else if (RefusedScalarStart(reader, start, refused)) {
    return refused;
  } else {
    size_t end = start;
    while (!AtLineEnd(reader, end) && !StartsComment(reader, end)) {
      if (text[end] == ':' && (AtLineEnd(reader, end + 1) || IsBlank(text[end + 1])))
        return YamlFailure(reader, end, "a second ':' on the line");
      ++end;
    }
    while (end > start && IsBlank(text[end - 1])) --end;
    node.text = std::string(text.substr(start, end - start));
    reader.at = end;
  }
  if (!RestOfLineEmpty(reader, reader.at)) return YamlFailure(reader, reader.at, "more after the value");
  reader.at = LineEnd(reader, reader.at);
  return {};
}

// The value after "key:" or "- ": on the same line, or, with nothing after the
// indicator but a tag, the block below.
Result ReadValue(YamlReader& reader, int indent, bool listAtIndent, YamlNode& node) {
  size_t at = reader.at;
  if (at < reader.text.size() && reader.text[at] == '!') {
    while (!AtLineEnd(reader, at) && !IsBlank(reader.text[at])) ++at;
    at = SkipBlanks(reader, at);
  }
  if (RestOfLineEmpty(reader, at)) {
    reader.at = LineEnd(reader, at);
    return ReadBlockBelow(reader, indent, listAtIndent, node);
  }
  reader.at = at;
  return ReadValueOnLine(reader, node);
}

Result ReadBlockMapping(YamlReader& reader, int indent, YamlNode& node);

// A list whose first "-" is at reader.at, in column `indent`.
Result ReadBlockSequence(YamlReader& reader, int indent, YamlNode& node) {
  YamlNesting nesting(reader);
  if (Result deep = nesting.Check(); !deep.ok()) return deep;
  node.kind = YamlNode::Kind::Sequence;
  for (;;) {
    if (Result counted = CountValue(reader); !counted.ok()) return counted;
    node.children.emplace_back();
    YamlNode& item = node.children.back();
    reader.at = SkipBlanks(reader, reader.at + 1);
    const int column = static_cast<int>(Column(reader, reader.at));
    Result read;
    if (!RestOfLineEmpty(reader, reader.at) && IsListItem(reader, reader.at)) {
      read = ReadBlockSequence(reader, column, item);
    } else if (!RestOfLineEmpty(reader, reader.at) && StartsWithKey(reader, reader.at)) {
      read = ReadBlockMapping(reader, column, item);
    } else {
      read = ReadValue(reader, indent, false, item);
    }
    if (!read.ok()) return read;
    int next = 0;
    if (Result moved = NextContent(reader, next); !moved.ok()) return moved;
    if (next < indent) return {};
    if (next > indent) return YamlFailure(reader, reader.at, "indented more than the list above it");
    if (!IsListItem(reader, reader.at + next)) return {};  // the mapping that holds the list goes on
    reader.at += static_cast<size_t>(next);
  }
}

// A mapping whose first key starts at reader.at, in column `indent`.
Result ReadBlockMapping(YamlReader& reader, int indent, YamlNode& node) {
  YamlNesting nesting(reader);
  if (Result deep = nesting.Check(); !deep.ok()) return deep;
  const std::string_view text = reader.text;
  node.kind = YamlNode::Kind::Mapping;
  for (;;) {
    const size_t keyAt = reader.at;
    std::string key;
    size_t colon = keyAt;
    if (text[keyAt] == '"' || text[keyAt] == '\'') {
      size_t end = keyAt;
      if (Result quoted = ReadQuoted(reader, keyAt, key, end); !quoted.ok()) return quoted;
      colon = SkipBlanks(reader, end);
    } else {
      Result refused;
      if (RefusedScalarStart(reader, keyAt, refused)) return refused;
      if (text[keyAt] == '[' || text[keyAt] == '{') return YamlFailure(reader, keyAt, "expected a key and ':'");
      while (!AtLineEnd(reader, colon) && !StartsComment(reader, colon) &&
             !(text[colon] == ':' && (AtLineEnd(reader, colon + 1) || IsBlank(text[colon + 1]))))
        ++colon;
      size_t end = colon;
      while (end > keyAt && IsBlank(text[end - 1])) --end;
      key = std::string(text.substr(keyAt, end - keyAt));
    }
    if (AtLineEnd(reader, colon) || text[colon] != ':' || key.empty())
      return YamlFailure(reader, keyAt, "expected a key and ':'");
    for (const std::string& earlier : node.keys)
      if (earlier == key) return YamlFailure(reader, keyAt, Shown(key) + " is given twice");
    if (Result counted = CountValue(reader); !counted.ok()) return counted;
    node.keys.push_back(std::move(key));
    node.children.emplace_back();
    reader.at = SkipBlanks(reader, colon + 1);
    if (Result value = ReadValue(reader, indent, true, node.children.back()); !value.ok()) return value;
    int next = 0;
    if (Result moved = NextContent(reader, next); !moved.ok()) return moved;
    if (next < indent) return {};
    if (next > indent) return YamlFailure(reader, reader.at, "indented more than the key above it");
    if (IsListItem(reader, reader.at + next)) return YamlFailure(reader, reader.at, "a list item where a key belongs");
    reader.at += static_cast<size_t>(next);
  }
}

// The block under a line that ended after its "key:" or "- ": indented more
// than `indent` (or, under a key, a list at the key's own indent). Nothing
// there: an empty value.
Result ReadBlockBelow(YamlReader& reader, int indent, bool listAtIndent, YamlNode& node) {
  YamlNesting nesting(reader);
  if (Result deep = nesting.Check(); !deep.ok()) return deep;
  int next = 0;
  if (Result moved = NextContent(reader, next); !moved.ok()) return moved;
  if (next > indent) {
    reader.at += static_cast<size_t>(next);
    if (IsListItem(reader, reader.at)) return ReadBlockSequence(reader, next, node);
    if (StartsWithKey(reader, reader.at)) return ReadBlockMapping(reader, next, node);
    return ReadValue(reader, indent, false, node);
  }
  if (next >= 0 && next == indent && listAtIndent && IsListItem(reader, reader.at + next)) {
    reader.at += static_cast<size_t>(next);
    return ReadBlockSequence(reader, next, node);
  }
  return {};
}

// Blanks, line ends and comments inside [ ] or { }.
Result SkipFlowSpace(YamlReader& reader, size_t open) {
  const std::string_view text = reader.text;
  for (;;) {
    if (reader.at >= text.size())
      return YamlFailure(reader, open, std::string("a ") + text[open] + " that is never closed");
    if (IsBlank(text[reader.at]) || text[reader.at] == '\n') {
      ++reader.at;
    } else if (StartsComment(reader, reader.at)) {
      reader.at = LineEnd(reader, reader.at);
    } else {
      return {};
    }
  }
}

bool IsFlowIndicator(char letter) { return std::string_view(",[]{}").find(letter) != std::string_view::npos; }

Result ReadFlowNode(YamlReader& reader, size_t open, YamlNode& node) {
  const std::string_view text = reader.text;
  if (text[reader.at] == '!') {
    while (reader.at < text.size() && !IsBlank(text[reader.at]) && text[reader.at] != '\n' &&
           !IsFlowIndicator(text[reader.at]))
      ++reader.at;
    if (Result skipped = SkipFlowSpace(reader, open); !skipped.ok()) return skipped;
  }
  const size_t start = reader.at;
  if (text[start] == '[' || text[start] == '{') return ReadFlow(reader, node);
  if (text[start] == '"' || text[start] == '\'') return ReadQuoted(reader, start, node.text, reader.at);
  if (text[start] == ',' || text[start] == ']' || text[start] == '}') return YamlFailure(reader, start, "a value is missing");
  Result refused;
  if (RefusedScalarStart(reader, start, refused)) return refused;
  size_t end = start;
  while (!AtLineEnd(reader, end) && !IsFlowIndicator(text[end]) && !StartsComment(reader, end) &&
         !(text[end] == ':' && (AtLineEnd(reader, end + 1) || IsBlank(text[end + 1]) || IsFlowIndicator(text[end + 1]))))
    ++end;
  reader.at = end;
  while (end > start && IsBlank(text[end - 1])) --end;
  if (end == start) return YamlFailure(reader, start, "a value is missing");
  node.text = std::string(text.substr(start, end - start));
  return {};
}

// [a, b, ...] or {key: value, ...}, over as many lines as it takes.
Result ReadFlow(YamlReader& reader, YamlNode& node) {
  YamlNesting nesting(reader);
  if (Result deep = nesting.Check(); !deep.ok()) return deep;
  const std::string_view text = reader.text;
  const size_t open = reader.at;
  const bool mapping = text[open] == '{';
  const char close = mapping ? '}' : ']';
  node.kind = mapping ? YamlNode::Kind::Mapping : YamlNode::Kind::Sequence;
  ++reader.at;
  for (;;) {
    if (Result skipped = SkipFlowSpace(reader, open); !skipped.ok()) return skipped;
    if (text[reader.at] == close) {
      ++reader.at;
      return {};
    }
    if (Result counted = CountValue(reader); !counted.ok()) return counted;
    node.children.emplace_back();
    if (mapping) {
      const size_t keyAt = reader.at;
      YamlNode key;
      if (Result read = ReadFlowNode(reader, open, key); !read.ok()) return read;
      if (key.kind != YamlNode::Kind::Scalar) return YamlFailure(reader, keyAt, "a key must be a text or number");
      if (Result skipped = SkipFlowSpace(reader, open); !skipped.ok()) return skipped;
      if (text[reader.at] != ':') return YamlFailure(reader, reader.at, "expected ':' after the key");
      ++reader.at;
      for (const std::string& earlier : node.keys)
        if (earlier == key.text) return YamlFailure(reader, keyAt, Shown(key.text) + " is given twice");
      node.keys.push_back(std::move(key.text));
      if (Result skipped = SkipFlowSpace(reader, open); !skipped.ok()) return skipped;
      if (text[reader.at] != ',' && text[reader.at] != close)
        if (Result value = ReadFlowNode(reader, open, node.children.back()); !value.ok()) return value;
    } else {
      if (Result item = ReadFlowNode(reader, open, node.children.back()); !item.ok()) return item;
    }
    if (Result skipped = SkipFlowSpace(reader, open); !skipped.ok()) return skipped;
    if (text[reader.at] == ',') {
      ++reader.at;
    } else if (text[reader.at] != close) {
      return YamlFailure(reader, reader.at, std::string("expected ',' or '") + close + "'");
    }
  }
}

// The %YAML line (OpenCV writes "%YAML:1.0"), if any, "---", the document,
// and perhaps "...".
Result ReadYamlDocument(std::string_view text, YamlNode& root) {
  YamlReader reader{text};
  int indent = 0;
  bool directive = false;
  for (;;) {
    if (Result moved = NextContent(reader, indent); !moved.ok()) return moved;
    if (indent != 0 || text[reader.at] != '%') break;
    const size_t end = LineEnd(reader, reader.at);
    std::string_view line = text.substr(reader.at, end - reader.at);
    if (!line.starts_with("%YAML")) return YamlFailure(reader, reader.at, "a directive other than %YAML");
    line.remove_prefix(5);
    if (line.starts_with(':')) line.remove_prefix(1);
    const size_t version = SkipBlanks(reader, static_cast<size_t>(line.data() - text.data()));
    const std::string_view number = text.substr(version, 3);
    if ((number != "1.0" && number != "1.1" && number != "1.2") || !RestOfLineEmpty(reader, version + 3))
      return YamlFailure(reader, reader.at, "a YAML version other than 1.0, 1.1 or 1.2");
    if (directive) return YamlFailure(reader, reader.at, "a second %YAML line");
    directive = true;
    reader.at = end;
  }
  if (indent < 0 && reader.at < text.size() && text[reader.at] == '-') {
    if (!RestOfLineEmpty(reader, reader.at + 3)) return YamlFailure(reader, reader.at, "more after ---");
    reader.at = LineEnd(reader, reader.at);
  } else if (directive) {
    return YamlFailure(reader, reader.at, "no --- after the %YAML line");
  }
  if (Result document = ReadBlockBelow(reader, -1, false, root); !document.ok()) return document;
  if (Result moved = NextContent(reader, indent); !moved.ok()) return moved;
  if (indent < 0 && reader.at < text.size() && text[reader.at] == '.') {
    if (!RestOfLineEmpty(reader, reader.at + 3)) return YamlFailure(reader, reader.at, "more after ...");
    reader.at = LineEnd(reader, reader.at);
    if (Result moved = NextContent(reader, indent); !moved.ok()) return moved;
  }
  if (reader.at < text.size())
    return YamlFailure(reader, reader.at, indent < 0 ? "a second document; a calibration is one" : "more after the document");
  return {};
}

// ---------------------------------------------------------------------------
// Camera calibration YAML: ROS's camera_calibrator, OpenCV's FileStorage, or a
// ROS CameraInfo message as printed (K, D, width, height).

const YamlNode* Value(const YamlNode& mapping, std::string_view key) {
  for (size_t i = 0; i < mapping.keys.size(); ++i)
    if (mapping.keys[i] == key) return &mapping.children[i];
  return nullptr;
}

Result KeyFailure(std::string_view key, const std::string& reason) {
  return Result::Failure(std::string(key) + ": " + reason);
}

// The value of `first` or else of `second`; not both.
Result EitherKey(const YamlNode& root, std::string_view first, std::string_view second, const YamlNode*& value,
                 std::string_view& key) {
  const YamlNode* firstValue = Value(root, first);
  const YamlNode* secondValue = Value(root, second);
  if (firstValue && secondValue) return KeyFailure(first, "given together with " + std::string(second));
  value = firstValue ? firstValue : secondValue;
  key = firstValue ? first : second;
  return {};
}

Result WholeNumber(const YamlNode* node, std::string_view key, int64_t least, int64_t most, int64_t& number) {
  if (!node) return KeyFailure(key, "missing");
  const std::optional<int64_t> read = node->kind == YamlNode::Kind::Scalar ? ParseWholeNumber(node->text) : std::nullopt;
  if (!read) return KeyFailure(key, "not a whole number");
  if (*read < least || *read > most)
    return KeyFailure(key, std::to_string(*read) + ": must be from " + std::to_string(least) + " to " + std::to_string(most));
  number = *read;
  return {};
}

struct Matrix {
  int64_t rows = 0;
  int64_t cols = 0;
  std::vector<double> values;  // row by row
};

// OpenCV's 1 x 14 distortion vector is the largest a calibration holds.
constexpr int64_t kMostMatrixSide = 64;

// {rows, cols, data} (with OpenCV's dt, which the numbers make plain), or a
// plain list, read as one row.
Result ReadMatrix(const YamlNode& node, std::string_view key, Matrix& matrix) {
  const YamlNode* data = &node;
  if (node.kind == YamlNode::Kind::Mapping) {
    if (Result rows = WholeNumber(Value(node, "rows"), std::string(key) + ": rows", 1, kMostMatrixSide, matrix.rows);
        !rows.ok())
      return rows;
    if (Result cols = WholeNumber(Value(node, "cols"), std::string(key) + ": cols", 1, kMostMatrixSide, matrix.cols);
        !cols.ok())
      return cols;
    data = Value(node, "data");
    if (!data || data->kind != YamlNode::Kind::Sequence) return KeyFailure(key, "no data list");
    if (static_cast<int64_t>(data->children.size()) != matrix.rows * matrix.cols)
      return KeyFailure(key, std::to_string(data->children.size()) + " values in data for " +
                                 std::to_string(matrix.rows) + " x " + std::to_string(matrix.cols));
  } else if (node.kind == YamlNode::Kind::Sequence) {
    matrix.rows = 1;
    matrix.cols = static_cast<int64_t>(node.children.size());
  } else {
    return KeyFailure(key, "not a matrix (rows, cols and data)");
  }
  for (const YamlNode& item : data->children) {
    const std::optional<double> number = item.kind == YamlNode::Kind::Scalar ? ParseDecimal(item.text) : std::nullopt;
    if (!number) return KeyFailure(key, (item.kind == YamlNode::Kind::Scalar ? Shown(item.text) : "a list") + " is not a number");
    matrix.values.push_back(*number);
  }
  return {};
}

bool IsRectilinearModel(std::string_view model) {
  for (std::string_view name : {"plumb_bob", "radtan", "rational_polynomial", "pinhole", "radial-tangential", "brown"})
    if (SameLetters(model, name)) return true;
  return false;
}

Result ReadCameraYaml(std::string_view text, int lensesWanted, CalibrationFile& file) {
  YamlNode root;
  if (Result read = ReadYamlDocument(text, root); !read.ok()) return read;
  if (root.kind != YamlNode::Kind::Mapping) return Result::Failure("not a mapping of keys to values");
  LensCalibration lens;
  lens.kind = LensCalibration::Kind::KannalaBrandt;

  // The size: both or neither.
  for (auto [widthKey, heightKey] : {std::pair{"image_width", "image_height"}, std::pair{"width", "height"}}) {
    const YamlNode* width = Value(root, widthKey);
    const YamlNode* height = Value(root, heightKey);
    if (!width && !height) continue;
    int64_t number = 0;
    constexpr int64_t kMostSide = std::numeric_limits<int32_t>::max();
    if (Result read = WholeNumber(width, widthKey, 1, kMostSide, number); !read.ok()) return read;
    lens.width = static_cast<int32_t>(number);
    if (Result read = WholeNumber(height, heightKey, 1, kMostSide, number); !read.ok()) return read;
    lens.height = static_cast<int32_t>(number);
    break;
  }

  const YamlNode* coefficients = nullptr;
  std::string_view coefficientsKey;
  if (Result either = EitherKey(root, "distortion_coefficients", "D", coefficients, coefficientsKey); !either.ok())
    return either;
  if (!coefficients) return Result::Failure("no distortion_coefficients (or D)");
  Matrix distortion;
  if (Result read = ReadMatrix(*coefficients, coefficientsKey, distortion); !read.ok()) return read;
  const size_t count = distortion.values.size();
  if (const YamlNode* model = Value(root, "distortion_model")) {
    if (model->kind != YamlNode::Kind::Scalar) return KeyFailure("distortion_model", "not a name");
    if (!SameLetters(model->text, "equidistant") && !SameLetters(model->text, "fisheye"))
      return Result::Failure("distortion_model " + Shown(model->text) +
                             (IsRectilinearModel(model->text) ? ": a rectilinear lens's model, not a fisheye's"
                                                              : ": not a fisheye model (equidistant or fisheye)"));
  } else if (count > 4) {
    return KeyFailure(coefficientsKey, std::to_string(count) +
                                           " values and no distortion_model: a rectilinear lens's model (plumb_bob or "
                                           "rational_polynomial), not a fisheye's");
  }
  if (count != 4 || (distortion.rows != 1 && distortion.cols != 1))
    return KeyFailure(coefficientsKey, std::to_string(distortion.rows) + " x " + std::to_string(distortion.cols) +
                                           ": a fisheye calibration has exactly 4 values (k1 to k4), 1 x 4 or 4 x 1");
  for (size_t i = 0; i < 4; ++i) lens.k[i] = distortion.values[i];

  const YamlNode* cameraMatrix = nullptr;
  std::string_view matrixKey;
  if (Result either = EitherKey(root, "camera_matrix", "K", cameraMatrix, matrixKey); !either.ok()) return either;
  if (!cameraMatrix) return Result::Failure("no camera_matrix (or K)");
  Matrix camera;
  if (Result read = ReadMatrix(*cameraMatrix, matrixKey, camera); !read.ok()) return read;
  // A plain list of 9 (as ROS prints K) is the matrix row by row.
  if (camera.values.size() != 9 || (camera.rows != 3 && camera.rows != 1))
    return KeyFailure(matrixKey, std::to_string(camera.rows) + " x " + std::to_string(camera.cols) +
                                     ": a camera matrix is 3 x 3");
  const std::vector<double>& k = camera.values;
  if (k[3] != 0 || k[6] != 0 || k[7] != 0 || k[8] != 1)
    return KeyFailure(matrixKey, "not a camera matrix: its bottom row must be 0 0 1 and the entry below fx 0");
  if (!(k[0] > 0) || !(k[4] > 0))
    return KeyFailure(matrixKey, "fx " + NumberShown(k[0]) + ", fy " + NumberShown(k[4]) + ": both must be more than 0");
  lens.fx = k[0];
  lens.skew = k[1] / k[0];
  if (!std::isfinite(lens.skew))
    return KeyFailure(matrixKey, "a skew of " + NumberShown(k[1]) + " for fx " + NumberShown(k[0]) + " is no lens's");
  lens.cx = k[2];
  lens.fy = k[4];
  lens.cy = k[5];

  CalibrationFile calibration;
  calibration.lenses.assign(static_cast<size_t>(lensesWanted), lens);
  file = std::move(calibration);
  return {};
}

// ---------------------------------------------------------------------------

enum class FileKind { Neither, HuginProject, CameraYaml };

// YAML begins with "%YAML" or "---" (past comments), or has a calibration's
// key at the start of a line; a Hugin project has image lines or its "p"
// line.
FileKind KindOf(std::string_view text) {
  bool firstContent = true;
  bool yamlKey = false;
  bool huginLine = false;
  ForEachLine(text, [&](std::string_view line, size_t) {
    const size_t content = line.find_first_not_of(" \t");
    if (content == std::string_view::npos || line[content] == '#') return true;
    if (firstContent && (line.starts_with("%YAML") || line.starts_with("---"))) {
      yamlKey = true;
      return false;
    }
    firstContent = false;
    if (IsImageLine(line) || line.starts_with("p ")) huginLine = true;
    for (std::string_view key : {"camera_matrix", "K", "distortion_coefficients", "D", "distortion_model"})
      if (line.starts_with(key) && line.substr(key.size()).find_first_not_of(" \t") != std::string_view::npos &&
          line[line.find_first_not_of(" \t", key.size())] == ':')
        yamlKey = true;
    return true;
  });
  if (yamlKey && !huginLine) return FileKind::CameraYaml;
  if (huginLine) return FileKind::HuginProject;
  return FileKind::Neither;
}

// What every calibration file must be: text, not too long, in lines of sane
// length.
Result CheckText(std::string_view text) {
  if (text.find_first_not_of(" \t\n") == std::string_view::npos) return Result::Failure("the file is empty");
  Result check;
  ForEachLine(text, [&](std::string_view line, size_t number) {
    if (line.find('\0') != std::string_view::npos) {
      check = LineFailure(number, "a zero byte: not a text file");
    } else if (line.size() > kLongestLineBytes) {
      check = LineFailure(number, "longer than " + std::to_string(kLongestLineBytes) + " characters");
    }
    return check.ok();
  });
  return check;
}

}  // namespace

Result ParseCalibration(const std::string& name, std::string_view text, int lensesWanted, CalibrationFile& file) {
  assert(lensesWanted == 1 || lensesWanted == 2);
  if (lensesWanted != 1 && lensesWanted != 2)
    return Result::Failure(name + ": " + std::to_string(lensesWanted) + " lenses wanted; 1 or 2 are read");
  if (text.size() > kLargestFileBytes)
    return Result::Failure(name + ": larger than " + std::to_string(kLargestFileBytes >> 20) +
                           " MB; calibration files are a few kilobytes");
  const std::string lines = Normalised(text);
  Result read = CheckText(lines);
  if (read.ok()) {
    switch (KindOf(lines)) {
      case FileKind::HuginProject:
        read = ReadHuginProject(lines, lensesWanted, file);
        break;
      case FileKind::CameraYaml:
        read = ReadCameraYaml(lines, lensesWanted, file);
        break;
      case FileKind::Neither:
        read = Result::Failure("neither a Hugin project nor a camera calibration YAML");
        break;
    }
  }
  if (!read.ok()) return Result::Failure(name + ": " + read.reason());
  return {};
}

Result ReadCalibrationFile(const std::string& path, int lensesWanted, CalibrationFile& file) {
  std::vector<uint8_t> bytes;
  if (Result read = ReadWholeFile(path, bytes); !read.ok()) return Result::Failure(path + ": " + read.reason());
  return ParseCalibration(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                          lensesWanted, file);
}
