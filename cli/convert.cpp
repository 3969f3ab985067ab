#include "cli/convert.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "imageio/camera_metadata.h"
#include "imageio/decoded_rows.h"
#include "imageio/file_replace.h"
#include "imageio/load_picture.h"
#include "imageio/panorama_xmp.h"
#include "imageio/picture_encoding.h"
#include "imageio/video_signature.h"
#include "transform/calibrated_lens.h"
#include "transform/calibration.h"
#include "transform/circle_finder.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/numbers.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "video/video_writer.h"

#if defined(QUORVANE_VIDEO)
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "video/clip_lens.h"
#include "video/convert_video.h"
#include "video/interrupt.h"
#include "video/video_reader.h"
#endif

namespace {

constexpr char kProgram[] = "quorvane-convert";
constexpr char kVersion[] = "2.00";
// Every load starts the sharpen strength here and each use lowers it by 32,
// as in the window.
constexpr int32_t kSharpenLevelAfterLoad = 127;
constexpr int32_t kSharpenLevelStep = 32;

#if defined(_WIN32)
constexpr char kFolderSeparators[] = "/\\";
constexpr char kFolderSeparator = '\\';
#else
constexpr char kFolderSeparators[] = "/";
constexpr char kFolderSeparator = '/';
#endif

struct Options {
  std::vector<std::string> inputs;
  std::optional<std::string> output;
  std::optional<std::string> outputFolder;
  std::optional<std::string> format;
  // Bits a sample in the output, 8 or 16; none: 16 where the input had 16
  // and the format holds them, else 8.
  std::optional<int> depth;
  std::optional<std::string> shape;
  int sharpen = 0;
  int threads = 0;
  bool noTransform = false;
  bool force = false;
  std::string lensName = "equidistant";
  std::optional<std::string> fov;
  std::optional<std::string> circleText;
  double yaw = 0.0;
  double pitch = 0.0;
  double roll = 0.0;
  std::optional<std::string> height;
  bool findCircle = false;
  int quality = kDefaultJpegQuality;
  bool noMetadata = false;
  bool dual = false;
  double backYaw = 0.0;
  double backPitch = 0.0;
  double backRoll = 0.0;
  bool align = false;
  bool alignLenses = false;
  std::optional<std::string> calibrationPath;
  std::optional<std::string> lensScale;
  // Which of the options a calibration file sets were given.
  bool lensGiven = false;
  bool backAnglesGiven = false;
  bool yawGiven = false;
  bool pitchGiven = false;
  bool rollGiven = false;
  // Videos: the codec (none: H.264, or FFV1 for a .mkv named so), x264's
  // and x265's rate factor and preset.
  std::optional<std::string> codec;
  int crf = kDefaultCrf;
  std::string preset = kDefaultPreset;
  bool crfGiven = false;
  bool presetGiven = false;
  bool qualityGiven = false;
  bool quiet = false;
};

// What every input shares: the lens as given (the circle aside, which may
// depend on the picture) and the shape.
struct Job {
  Lens lens;
  bool autoCircle = false;
  SaveShape shape = SaveShape::Square;
  // The panorama's height in pixels; 0: the picture's.
  int32_t height = 0;
  // Two lenses side by side: the back lens's circle (none: the front's) and
  // offset, and whether to find the offset in each picture.
  bool dual = false;
  std::optional<ImageCircle> backCircle;
  BackLensOffset back;
  bool align = false;
  // With --align-lens each lens's own size too; the back lens's own field of
  // view (none: the front's).
  bool alignLenses = false;
  std::optional<double> backFov;
  // A calibration file's lenses (the front's, then the back's), placed on
  // each picture, and each lens's radius factor. A project holding both
  // lenses gives the back lens's offset, and the search starts from it.
  std::optional<CalibrationFile> calibration;
  std::shared_ptr<const CalibratedLens> backPlaced;  // on the picture at hand
  bool fovGiven = false;
  double frontScale = 1.0;
  double backScale = 1.0;
  bool backFromFile = false;
};

// Where the extension of the file name `path` starts (its dot), or npos.
size_t ExtensionStart(const std::string& path) {
  const size_t folderEnd = path.find_last_of("/\\");
  const size_t nameStart = folderEnd == std::string::npos ? 0 : folderEnd + 1;
  const size_t dot = path.find_last_of('.');
  return dot != std::string::npos && dot > nameStart ? dot : std::string::npos;
}

std::string WithoutExtension(const std::string& path) {
  const size_t dot = ExtensionStart(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string BaseName(const std::string& path) {
  const size_t folderEnd = path.find_last_of(kFolderSeparators);
  return folderEnd == std::string::npos ? path : path.substr(folderEnd + 1);
}

// The folder a file name lies in, as given: "" for the current folder. A
// top folder keeps its separator ("/", "C:\\").
std::string FolderOf(const std::string& path) {
  const size_t folderEnd = path.find_last_of(kFolderSeparators);
  if (folderEnd == std::string::npos) return "";
  const bool top = folderEnd == 0 || path[folderEnd - 1] == ':';
  return path.substr(0, top ? folderEnd + 1 : folderEnd);
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || std::string(kFolderSeparators).find(folder.back()) != std::string::npos) return folder + name;
  return folder + kFolderSeparator + name;
}

// dome.jpg -> dome-panorama.jpg (EXT: jpg, png, tif or bmp), in the input's
// folder or in `folder`.
std::string DefaultOutputName(const std::string& input, const std::optional<std::string>& folder,
                              const std::string& extension) {
  const std::string name = WithoutExtension(folder ? BaseName(input) : input) + "-panorama." + extension;
  return folder ? InFolder(*folder, name) : name;
}

// Videos are converted on Linux only; elsewhere the picture loader refuses
// them, naming the Linux converter.
#if defined(QUORVANE_VIDEO)
constexpr bool kConvertsVideos = true;
#else
constexpr bool kConvertsVideos = false;
#endif

// Whether a file name's extension is a video's output: .mp4 or .mkv, any
// case (where videos are converted).
bool IsVideoName(const std::string& name) {
  if (!kConvertsVideos) return false;
  const size_t dot = ExtensionStart(name);
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  return extension == "mp4" || extension == "mkv";
}

bool IsMkvName(const std::string& name) {
  return IsVideoName(name) && std::tolower(static_cast<unsigned char>(name.back())) == 'v';
}

// Whether the file `name` is a video: by its first bytes, or, when they
// are no picture's either, by a video's extension (the video reader then
// says what is wrong with it). A missing or unreadable file is not; its
// loading says why.
bool IsVideoFile(const std::string& name) {
  if (!kConvertsVideos) return false;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t head[16] = {};
  const size_t read = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  if (VideoContainerOf({head, read})) return true;
  const std::span<const uint8_t> bytes{head, read};
  const bool picture = (read >= 2 && head[0] == 0xFF && head[1] == 0xD8) || LooksLikeBmp(bytes) ||
                       LooksLikePng(bytes) || LooksLikeTiff(bytes);
  const size_t dot = ExtensionStart(name);
  if (picture || dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* video : {"mp4", "m4v", "mov", "insv", "3gp", "mkv", "webm", "avi"}) {
    if (extension == video) return true;
  }
  return false;
}

// The name as given when its extension names a format, with .EXT added
// when it has none; nullopt for any other extension.
std::optional<std::string> OutputFileName(const std::string& name, const std::string& extension) {
  if (FormatFromName(name) || IsVideoName(name)) return name;
  if (ExtensionStart(name) == std::string::npos) return name + "." + extension;
  return std::nullopt;
}

// What two outputs share when they would be one file: the same name in the
// same folder, however each folder was named (file names differ in case only
// on Linux). `folders` keeps each folder's identity by its text.
std::string OutputKey(const std::string& output, std::map<std::string, std::string>& folders) {
  std::string folder = FolderOf(output);
  if (folder.empty()) folder = ".";
  auto known = folders.find(folder);
  if (known == folders.end()) {
    const std::optional<FileIdentity> identity = IdentityOf(folder);
    known = folders.emplace(folder, identity ? std::to_string(identity->volume) + ":" +
                                                   std::to_string(identity->number)
                                             : "as named " + folder).first;
  }
  std::string name = BaseName(output);
#if defined(_WIN32)
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
#endif
  return known->second + "\n" + name;
}

// "a" or "an", as "lens" follows `word`.
std::string WithArticle(const std::string& word) {
  return (std::string("aeiou").find(word.empty() ? 'x' : word[0]) != std::string::npos ? "an " : "a ") + word;
}

// " (given: TEXT)": the value as typed, an empty one shown as such.
std::string Given(const std::string& text) { return " (given: " + (text.empty() ? std::string("\"\"") : text) + ")"; }

// What a refused number is told: that a number is needed, or the range it
// must lie in (`range`: the range's words, with unit and condition).
std::string NumberRefusal(const std::string& text, bool isNumber, bool whole, const std::string& range) {
  const std::string wanted = (whole ? "a whole number " : "") + range + Given(text);
  return isNumber ? "must be " + wanted : "a number is needed, " + wanted;
}

// CLI11's own range check lets NaN through: every decimal option goes
// through the program's one parser and range rule instead.
CLI::Validator DecimalIn(const NumberRange& range, const std::string& unit) {
  return CLI::Validator(
      [range, unit](std::string& text) -> std::string {
        const std::optional<double> value = ParseDecimal(text);
        if (value && InRange(range, *value)) return {};
        return NumberRefusal(text, value.has_value(), false, RangeText(range) + unit);
      },
      "");
}

CLI::Validator WholeNumberIn(const NumberRange& range) {
  return CLI::Validator(
      [range](std::string& text) -> std::string {
        const std::optional<int64_t> value = ParseWholeNumber(text);
        if (value && InRange(range, static_cast<double>(*value))) return {};
        return NumberRefusal(text, ParseDecimal(text).has_value(), true, RangeText(range));
      },
      "");
}

// "square, rectangle or sphere".
std::string ChoiceText(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  return text;
}

CLI::Validator OneOf(const std::vector<std::string>& names) {
  return CLI::Validator(
      [names](std::string& text) -> std::string {
        if (std::find(names.begin(), names.end(), text) != names.end()) return {};
        return "must be " + ChoiceText(names) + Given(text);
      },
      "");
}

CLI::Validator Named(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string { return text.empty() ? what + " is needed" + Given(text) : ""; }, "");
}

// A help text broken into lines that fit beside the options' column.
std::string Wrapped(const std::string& text) {
  constexpr size_t kWidth = 50;
  std::string wrapped;
  size_t lineStart = 0;
  for (size_t at = 0; at < text.size();) {
    size_t wordEnd = text.find(' ', at);
    if (wordEnd == std::string::npos) wordEnd = text.size();
    if (at > lineStart && wordEnd - lineStart > kWidth) {
      wrapped.back() = '\n';
      lineStart = at;
    }
    wrapped += text.substr(at, wordEnd - at + 1);
    at = wordEnd + 1;
  }
  return wrapped;
}

// Decimal and whole-number options, read with the program's one parser.
CLI::Option* AddDecimal(CLI::App& app, const std::string& name, double& value, const NumberRange& range,
                        const std::string& help) {
  return app
      .add_option_function<std::string>(
          name, [&value](const std::string& text) { value = *ParseDecimal(text); }, Wrapped(help))
      ->check(DecimalIn(range, " degrees"))
      ->type_name("DEG");
}

CLI::Option* AddWholeNumber(CLI::App& app, const std::string& name, int& value, const NumberRange& range,
                            const std::string& typeName, const std::string& help) {
  return app
      .add_option_function<std::string>(
          name, [&value](const std::string& text) { value = static_cast<int>(*ParseWholeNumber(text)); },
          Wrapped(help))
      ->check(WholeNumberIn(range))
      ->type_name(typeName);
}

// "X,Y,R" or, for two lenses, "X,Y,R,X2,Y2,R2": numbers, the radii above 0.
// Gives the circles, none when the text is not so.
std::vector<ImageCircle> ParseCircles(const std::string& text, bool dual) {
  const std::optional<std::vector<double>> values = ParseDecimalList(text);
  if (!values || (values->size() != 3 && !(dual && values->size() == 6))) return {};
  std::vector<ImageCircle> circles;
  for (size_t i = 0; i < values->size(); i += 3) {
    if (!((*values)[i + 2] > 0)) return {};
    circles.push_back({(*values)[i], (*values)[i + 1], (*values)[i + 2]});
  }
  return circles;
}

// x264's and x265's rate factors.
constexpr NumberRange kCrfRange{0.0, 51.0};
// JPEG quality and thread counts people use; more threads than a machine
// has cores gain nothing.
constexpr NumberRange kQualityRange{1.0, 100.0};
constexpr NumberRange kThreadsRange{1.0, 256.0};
// More uses of Save and Sharpen than anyone means: each pass costs as much
// as a transform, and a thousand turn any picture into noise.
constexpr NumberRange kSharpenRange{0.0, 100.0};

// Two lenses share one field of view, which must leave them an overlap; the
// program's own 198 degrees unless given.
constexpr double kDualDefaultFovDegrees = 198.0;

// --calibration and --lens-scale into `job`: the file's lenses, and from a
// project its pose, which --yaw, --pitch and --roll replace one by one.
void ReadCalibration(const Options& options, Job& job) {
  if (!options.calibrationPath) {
    if (options.lensScale) throw CLI::ValidationError("--lens-scale", "is for calibrated lenses (see --calibration)");
    return;
  }
  const std::string& path = *options.calibrationPath;
  CalibrationFile file;
  const Result read = ReadCalibrationFile(path, job.dual ? 2 : 1, file);
  if (!read.ok()) throw CLI::ValidationError("--calibration", read.reason());
  const auto alreadySet = [&](const char* option, const std::string& what) {
    throw CLI::ValidationError(option, "cannot be given with --calibration " + path + ", which sets " + what);
  };
  if (options.lensGiven) alreadySet("--lens", "the lens");
  const std::optional<LensPose> pose = file.lenses[0].pose;
  if (pose) {
    if (!options.yawGiven) job.lens.yawDegrees = pose->yawDegrees;
    if (!options.pitchGiven) job.lens.pitchDegrees = pose->pitchDegrees;
    if (!options.rollGiven) job.lens.rollDegrees = pose->rollDegrees;
    const auto inRange = [](const NumberRange& range, double value, const char* what) {
      if (!InRange(range, value))
        throw CLI::ValidationError("--calibration", std::string("the project's ") + what + " must be " +
                                                        RangeText(range) + " degrees");
    };
    inRange(kYawRange, job.lens.yawDegrees, "yaw");
    inRange(kPitchRange, job.lens.pitchDegrees, "pitch");
    inRange(kRollRange, job.lens.rollDegrees, "roll");
  }
  if (job.dual && file.lenses.size() == 2 && file.lenses[1].pose && pose) {
    if (options.backAnglesGiven) alreadySet("--back-yaw", "the back lens's turn");
    job.back = BackOffsetBetween(*pose, *file.lenses[1].pose);
    job.backFromFile = true;
  }
  if (options.lensScale) {
    const std::optional<std::vector<double>> scales = ParseDecimalList(*options.lensScale);
    if (!scales || scales->size() > (job.dual ? 2u : 1u) ||
        !std::all_of(scales->begin(), scales->end(), [](double s) { return InRange(kLensScaleRange, s); })) {
      throw CLI::ValidationError(
          "--lens-scale", NumberRefusal(*options.lensScale, scales.has_value(), false,
                                        RangeText(kLensScaleRange) +
                                            (job.dual ? ", or two (S1,S2), one for each lens" : "")));
    }
    job.frontScale = (*scales)[0];
    job.backScale = scales->back();
  }
  job.calibration = std::move(file);
}

// --fov into `job`: one field of view, or with --dual one for each lens.
void ReadFieldsOfView(const Options& options, Job& job) {
  const double widest = WidestFovDegrees(job.lens.model);
  std::vector<double> fovs = {job.dual ? kDualDefaultFovDegrees : DefaultFovDegrees(job.lens.model)};
  std::optional<std::vector<double>> given;
  if (options.fov) {
    given = ParseDecimalList(*options.fov);
    if (given && given->size() > (job.dual ? 2u : 1u)) {
      throw CLI::ValidationError("--fov", job.dual ? "takes one field of view, or two (F1,F2), one for each lens"
                                                   : "takes one field of view (two, F1,F2, are for --dual)");
    }
    // What is no number is out of every range: the checks below say which.
    fovs = given.value_or(std::vector<double>{std::numeric_limits<double>::quiet_NaN()});
  }
  job.fovGiven = options.fov.has_value();
  const auto refuse = [&](const std::string& range) {
    throw CLI::ValidationError("--fov", NumberRefusal(options.fov.value_or(DecimalText(fovs[0])),
                                                      !options.fov || given.has_value(), false, range));
  };
  if (options.calibrationPath) {
    // With a calibration the field of view is only a cap on its field.
    const NumberRange range{kNarrowestFovDegrees, 360.0};
    for (const double fov : fovs) {
      if (!InRange(range, fov)) refuse(RangeText(range) + " degrees");
    }
    if (!job.fovGiven) fovs = {360.0};
  } else {
    const std::string lens = WithArticle(options.lensName) + " lens";
    for (const double fov : fovs) {
      const NumberRange dualRange{kNarrowestDualFovDegrees, widest, true};
      if (job.dual && widest <= kNarrowestDualFovDegrees) {
        throw CLI::ValidationError("--fov", "must be more than " + DecimalText(kNarrowestDualFovDegrees) +
                                                " degrees for two lenses, which " + lens +
                                                " cannot see; give another --lens");
      }
      if (job.dual && !InRange(dualRange, fov)) {
        refuse(RangeText(dualRange) + " degrees for two " + options.lensName + " lenses, so that they overlap");
      }
      const NumberRange range{kNarrowestFovDegrees, widest};
      if (!InRange(range, fov)) refuse(RangeText(range) + " degrees for " + lens);
    }
  }
  job.lens.fovDegrees = fovs[0];
  if (fovs.size() == 2) job.backFov = fovs[1];
}

// Checks what CLI11's own checks cannot: ranges that depend on other options.
Job JobFor(const Options& options) {
  Job job;
  job.lens.model = *LensModelNamed(options.lensName);
  job.dual = options.dual;
  ReadFieldsOfView(options, job);
  if (options.circleText == "auto") {
    job.autoCircle = true;
  } else if (options.circleText) {
    const std::vector<ImageCircle> circles = ParseCircles(*options.circleText, job.dual);
    if (circles.empty()) {
      throw CLI::ValidationError("--circle", std::string("must be auto or X,Y,R") +
                                                 (job.dual ? " or X,Y,R,X2,Y2,R2" : "") +
                                                 " in pixels with radii above 0" + Given(*options.circleText));
    }
    job.lens.circle = circles[0];
    if (circles.size() == 2) job.backCircle = circles[1];
  }
  job.back = {options.backYaw, options.backPitch, options.backRoll};
  job.align = options.align || options.alignLenses;
  job.alignLenses = options.alignLenses;
  job.lens.yawDegrees = options.yaw;
  job.lens.pitchDegrees = options.pitch;
  job.lens.rollDegrees = options.roll;
  ReadCalibration(options, job);
  // Two lenses see the whole sphere: that is their default shape, and the
  // panorama made is the sphere whatever part of it is saved.
  const std::string shape = options.shape.value_or(job.dual ? "sphere" : "square");
  job.shape = shape == "rectangle" ? SaveShape::Rectangle : shape == "sphere" ? SaveShape::Sphere : SaveShape::Square;
  if (options.height) {
    const SaveShape made = job.dual ? SaveShape::Sphere : job.shape;
    const NumberRange range{
        1.0, std::floor(std::sqrt(static_cast<double>(kMostPanoramaPixels / (made == SaveShape::Square ? 1 : 2))))};
    const std::optional<int64_t> height = ParseWholeNumber(*options.height);
    if (!height || !InRange(range, static_cast<double>(*height))) {
      throw CLI::ValidationError(
          "--height", NumberRefusal(*options.height, ParseDecimal(*options.height).has_value(), true,
                                    RangeText(range) + " for the " + (job.dual ? "sphere" : shape) +
                                        ", which holds at most " + std::to_string(kMostPanoramaPixels) + " pixels"));
    }
    job.height = static_cast<int32_t>(*height);
  }
  return job;
}

Result FindCircle(const PixelBuffer& picture, ImageCircle& circle) {
  ImageCircle found;
  Result result = FindImageCircle(picture, found);
  if (result.ok()) circle = RoundedCircle(found);
  return result;
}

Result FindCircles(const PixelBuffer& picture, ImageCircle& front, ImageCircle& back) {
  ImageCircle foundFront, foundBack;
  Result result = FindDualCircles(picture, foundFront, foundBack);
  if (result.ok()) {
    front = RoundedCircle(foundFront);
    back = RoundedCircle(foundBack);
  }
  return result;
}

// No circle found in `picture`: what to try instead. A picture of two lenses
// side by side is --dual's; a lens that fills the frame needs no circle
// found (when `converting`).
Result WithCircleHint(const PixelBuffer& picture, const Result& found, bool converting) {
  ImageCircle front, back;
  if (IsSideBySide(picture.width, picture.height) && FindDualCircles(picture, front, back).ok())
    return Result::Failure(found.reason() + "; the picture holds two lenses side by side: add --dual");
  if (!converting) return found;
  return Result::Failure(found.reason() + "; if the picture is all lens, leave --circle out (the circle is then " +
                         "centred, as high as the picture) or give the circle as --circle X,Y,R");
}

Result NotSideBySide(const PixelBuffer& picture) {
  return Result::Failure("is not two lenses side by side: for --dual its width must be within 2% of twice its height "
                         "(it is " + std::to_string(picture.width) + " x " + std::to_string(picture.height) + ")");
}

// What --align and --align-lens found, printed once for a picture or a clip.
void PrintAlignment(const Job& job, const DualLens& lens, std::ostream& err) {
  std::string back = "back lens:";
  if (job.alignLenses) {
    const bool scales = lens.front.calibrated != nullptr;
    const double front = scales ? lens.front.radiusScale : lens.front.fovDegrees;
    const double backSize = scales ? lens.backRadiusScale : lens.backFovDegrees.value_or(lens.front.fovDegrees);
    const char* what = scales ? " scale " : " fov ";
    err << "front lens:" << what << DecimalText(front, scales ? 4 : 2) << "\n";
    back += what + DecimalText(backSize, scales ? 4 : 2);
  }
  err << back << " yaw " << DecimalText(lens.back.yawDegrees, 2) << " pitch " << DecimalText(lens.back.pitchDegrees, 2)
      << " roll " << DecimalText(lens.back.rollDegrees, 2) << "\n";
}

// Two lenses side by side into the whole sphere; with `deep` (see Convert)
// in 16 bits, the back lens's gains matched on the 8-bit picture.
Result StitchDual(const Options& options, const Job& job, LoadedPicture& fisheye, bool deep, PixelStore& store,
                  PixelBuffer& panorama, PixelBuffer16& panorama16, std::ostream& err) {
  const PixelBuffer source = fisheye.View();
  if (!IsSideBySide(source.width, source.height)) return NotSideBySide(source);
  DualLens lens;
  lens.front = job.lens;
  lens.backCircle = job.backCircle;
  lens.back = job.back;
  if (job.autoCircle) {
    ImageCircle front, back;
    Result found = FindCircles(source, front, back);
    if (!found.ok()) return found;
    lens.front.circle = front;
    lens.backCircle = back;
  }
  lens.backFovDegrees = job.backFov;
  lens.backCalibrated = job.backPlaced;
  lens.front.radiusScale = job.frontScale;
  lens.backRadiusScale = job.backScale;
  if (job.align) {
    DualLens aligned;
    Result found = AlignLenses(source, lens, job.alignLenses, job.backFromFile, options.threads, aligned);
    if (!found.ok()) return found;
    lens = aligned;
    PrintAlignment(job, lens, err);
  }
  const PanoramaSize size = DualSphereSize(source.width, source.height, job.height);
  if (size.reduced) {
    err << kProgram << ": note: the sphere is " << size.height << " pixels high, not " << source.height
        << ", to stay within " << kMostPanoramaPixels << " pixels (see --height)\n";
  }
  if (deep) {
    const ChannelGains gains = MatchExposure(source, lens);
    fisheye.store.reset();
    store = AllocatePixels(2 * int64_t{size.width} * size.height);
    if (!store) return Result::Failure("not enough memory for a panorama of this size");
    panorama16 = {reinterpret_cast<uint16_t*>(store.get()), size.width, size.height};
    StitchDualPicture(fisheye.View16(), panorama16, lens, gains, options.threads);
    return {};
  }
  store = AllocatePixels(int64_t{size.width} * size.height);
  if (!store) return Result::Failure("not enough memory for a panorama of this size");
  panorama = {store.get(), size.width, size.height};
  StitchDualPicture(source, panorama, lens, options.threads);
  return {};
}

// The panorama as the window makes it for the same lens: the program's own
// lens gives a picture of the fisheye's size whose middle square is kept,
// with the columns beyond it black (they are saved only by sharpening's
// reach); any other lens the shape's own picture.
// With `deep`, the lens is placed (the circle found) on the 8-bit picture,
// which is then let go, and the panorama made in 16 bits from the picture's
// samples16 into `panorama16`; `store` holds whichever panorama is made.
Result Convert(const Options& options, const Job& job, LoadedPicture& fisheye, bool deep, PixelStore& store,
               PixelBuffer& panorama, PixelBuffer16& panorama16, std::ostream& err) {
  const PixelBuffer source = fisheye.View();
  if (job.dual) return StitchDual(options, job, fisheye, deep, store, panorama, panorama16, err);
  Lens lens = job.lens;
  lens.radiusScale = job.frontScale;
  if (job.autoCircle) {
    ImageCircle circle;
    Result found = FindCircle(source, circle);
    if (!found.ok()) return WithCircleHint(source, found, true);
    lens.circle = circle;
    if (lens.calibrated) {
      Result reach = CheckFieldLimits(*lens.calibrated, std::nullopt, circle);
      if (!reach.ok()) return reach;
    }
  }
  const PanoramaSize size = PanoramaSizeFor(lens, job.shape, source.width, source.height, job.height);
  if (size.reduced) {
    err << kProgram << ": note: the panorama is " << size.height << " pixels high, not " << source.height
        << ", to stay within " << kMostPanoramaPixels << " pixels (see --height)\n";
  }
  if (deep) {
    // 16-bit samples take twice the memory of 8-bit pixels.
    fisheye.store.reset();
    store = AllocatePixels(2 * int64_t{size.width} * size.height);
    if (!store) return Result::Failure("not enough memory for a panorama of this size");
    panorama16 = {reinterpret_cast<uint16_t*>(store.get()), size.width, size.height};
    TransformPicture(fisheye.View16(), panorama16, lens, options.threads);
    if (size.programLens) ClearSideMargins(panorama16);
    return {};
  }
  store = AllocatePixels(int64_t{size.width} * size.height);
  if (!store) return Result::Failure("not enough memory for a panorama of this size");
  panorama = {store.get(), size.width, size.height};
  TransformPicture(source, panorama, lens, options.threads);
  if (size.programLens) ClearSideMargins(panorama);
  return {};
}

// An 8-bit picture's samples times 257, in a store of their own.
Result WidenSamples(const PixelBuffer& picture, PixelStore& store, PixelBuffer16& deep) {
  const int64_t pixels = int64_t{picture.width} * picture.height;
  store = AllocatePixels(2 * pixels);
  if (!store) return Result::Failure("not enough memory for the picture's 16-bit samples");
  deep = {reinterpret_cast<uint16_t*>(store.get()), picture.width, picture.height};
  for (int64_t i = 0; i < 4 * pixels; ++i) deep.base[i] = static_cast<uint16_t>(picture.base[i] * 257);
  return {};
}

// A 16-bit picture rounded to 8 bits (ReduceSample) into a store of its own.
Result ReduceSamples(const PixelBuffer16& deep, PixelStore& store, PixelBuffer& picture) {
  const int64_t pixels = int64_t{deep.width} * deep.height;
  store = AllocatePixels(pixels);
  if (!store) return Result::Failure("not enough memory for the 8-bit picture");
  for (int64_t i = 0; i < 4 * pixels; ++i) store.get()[i] = ReduceSample(deep.base[i]);
  picture = {store.get(), deep.width, deep.height};
  return {};
}

// A circle given that no pixel of the picture lies in (each lens's in its own
// half) is the user's mistake, not the picture's: reported as a usage error.
Result CheckCirclesMeetPicture(const Options& options, const Job& job, int32_t width, int32_t height) {
  if (job.autoCircle || options.noTransform || !job.lens.circle) return {};
  const int32_t frontWidth = job.dual ? FrontHalfWidth(width) : width;
  const bool frontMeets = CircleMeetsPicture(*job.lens.circle, frontWidth, height);
  const bool backMeets = !job.dual || CircleMeetsPicture(job.backCircle.value_or(*job.lens.circle),
                                                         width - frontWidth, height);
  if (frontMeets && backMeets) return {};
  return Result::Failure("--circle: " + *options.circleText + " has no pixel inside the " +
                         (job.dual ? std::string(frontMeets ? "back" : "front") + " lens's half of the picture (" +
                                         std::to_string(frontMeets ? width - frontWidth : frontWidth)
                                   : "picture (" + std::to_string(width)) +
                         " x " + std::to_string(height) + "); a circle clipped by the frame must still reach into it");
}

// The calibration's lenses placed on a picture `width` x `height`; a
// failure is the user's (the file does not fit the picture).
Result PlaceCalibration(Job& job, int32_t width, int32_t height) {
  // Not two lenses side by side: the stitch says so.
  if (!job.calibration || (job.dual && !IsSideBySide(width, height))) return {};
  const auto cap = [&](double fov) { return job.fovGiven ? std::optional<double>(fov) : std::nullopt; };
  const FieldLimits front{cap(job.lens.fovDegrees), job.lens.circle};
  const FieldLimits back{cap(job.backFov.value_or(job.lens.fovDegrees)), job.backCircle ? job.backCircle : job.lens.circle};
  Result result = PlaceCalibrationFile(*job.calibration, job.dual, width, height, front, back, job.lens.calibrated,
                                       job.backPlaced);
  if (!result.ok()) return Result::Failure("--calibration: " + result.reason());
  return {};
}

#if defined(QUORVANE_VIDEO)
// "frame 120/900 (13%), 24.1 fps, 0:32 left", rewritten in place on a
// terminal.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, bool shown, int64_t frames) : err_(err), shown_(shown), frames_(frames) {}
  ~ProgressLine() {
    if (shown_ && drawn_) err_ << "\r\033[K" << std::flush;
  }
  void Update(int64_t written) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDrawn_ < std::chrono::milliseconds(250)) return;
    lastDrawn_ = now;
    drawn_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? written / seconds : 0.0;
    err_ << "\r\033[Kframe " << written;
    if (frames_ > 0) err_ << "/" << frames_ << " (" << std::min<int64_t>(100, written * 100 / frames_) << "%)";
    err_ << ", " << DecimalText(rate, 1) << " fps";
    if (frames_ > 0 && rate > 0) {
      const int64_t left = static_cast<int64_t>(std::max<int64_t>(0, frames_ - written) / rate + 0.5);
      err_ << ", " << left / 60 << ":" << (left % 60 < 10 ? "0" : "") << left % 60 << " left";
    }
    err_ << std::flush;
  }

 private:
  std::ostream& err_;
  bool shown_;
  int64_t frames_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDrawn_;
};

// A video: its first video stream through the job's lens (or two lenses,
// worked out once for the clip) into a panorama video.
Result ConvertVideoOne(const Options& options, Job job, const std::string& input, const std::string& output,
                       std::ostream& err, bool& usageError) {
  const CatchInterrupt catchInterrupt;
  VideoReader reader;
  Result opened = reader.Open(input, options.threads);
  if (!opened.ok()) return opened;
  if (reader.OtherVideoStreams() > 0) {
    err << kProgram << ": note: " << input << " holds " << reader.OtherVideoStreams() + 1
        << " video streams; the first is converted\n";
  }
  const int32_t width = reader.Width();
  const int32_t height = reader.Height();
  Result circles = CheckCirclesMeetPicture(options, job, width, height);
  if (circles.ok()) circles = PlaceCalibration(job, width, height);
  usageError = !circles.ok();
  if (!circles.ok()) return circles;
  // The display matrix turns the frames as EXIF orientation turns a picture.
  const int32_t quarters = reader.QuarterTurns();
  if (quarters < 0) return Result::Failure("is shown turned by an angle that is not a quarter turn");
  const int orientation = quarters == 1 ? 6 : quarters == 2 ? 3 : quarters == 3 ? 8 : 1;
  if (job.dual && quarters != 0) {
    return Result::Failure("is a two-lens video shown turned (by " + std::to_string(90 * quarters) +
                           " degrees); save it upright first");
  }
  if (!(job.calibration && job.calibration->fromProject)) job.lens.rollDegrees += RollOfOrientation(orientation);

  VideoConversion conversion;
  conversion.threads = options.threads > 0 ? options.threads
                                           : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  conversion.sharpen = options.sharpen;
  // 360-degree players expect the whole sphere.
  const SaveShape shape = options.shape ? job.shape : SaveShape::Sphere;
  // Even heights, for 4:2:0 colour.
  int32_t asked = std::max(2, (job.height > 0 ? job.height : height) & ~1);
  if (job.dual) {
    if (!IsSideBySide(width, height)) return NotSideBySide({nullptr, width, height});
    DualLens lens;
    lens.front = job.lens;
    lens.backCircle = job.backCircle;
    lens.back = job.back;
    lens.backFovDegrees = job.backFov;
    lens.backCalibrated = job.backPlaced;
    lens.front.radiusScale = job.frontScale;
    lens.backRadiusScale = job.backScale;
    if (job.autoCircle || job.align) {
      const ClipLensSearch search{job.autoCircle, job.align, job.alignLenses, job.backFromFile};
      Result found = FindClipLens(input, search, conversion.threads, lens);
      if (!found.ok()) return found;
      if (job.align) PrintAlignment(job, lens, err);
    }
    conversion.dual = true;
    conversion.dualLens = lens;
    conversion.size = DualSphereSize(width, height, asked);
    if (conversion.size.height % 2 != 0) conversion.size = DualSphereSize(width, height, conversion.size.height - 1);
  } else {
    Lens lens = job.lens;
    lens.radiusScale = job.frontScale;
    if (job.autoCircle) {
      DualLens circleOnly;
      circleOnly.front = lens;
      ImageCircle circle;
      // The single lens's circle, found on the clip's first frame.
      PixelStore first = AllocatePixels(int64_t{width} * height);
      if (!first) return Result::Failure("not enough memory for the video's frames");
      const PixelBuffer frame{first.get(), width, height};
      VideoReader probe;
      DecodedFrame time;
      bool end = false;
      Result read = probe.Open(input, conversion.threads);
      if (read.ok()) read = probe.ReadFrame(frame, time, end);
      if (read.ok() && end) read = Result::Failure("its video stream holds no frame");
      if (!read.ok()) return read;
      Result found = FindCircle(frame, circle);
      if (!found.ok()) return WithCircleHint(frame, found, true);
      lens.circle = circle;
      if (lens.calibrated) {
        Result reach = CheckFieldLimits(*lens.calibrated, std::nullopt, circle);
        if (!reach.ok()) return reach;
      }
    }
    conversion.lens = lens;
    conversion.size = PanoramaSizeFor(lens, shape, width, height, asked);
    if (conversion.size.height % 2 != 0)
      conversion.size = PanoramaSizeFor(lens, shape, width, height, conversion.size.height - 1);
  }
  if (conversion.size.reduced || conversion.size.height != (job.height > 0 ? job.height : height)) {
    err << kProgram << ": note: the panorama is " << conversion.size.height << " pixels high, not "
        << (job.height > 0 ? job.height : height)
        << (conversion.size.reduced ? ", to stay within " + std::to_string(kMostPanoramaPixels) + " pixels"
                                    : ", as video needs an even height")
        << "\n";
  }
  const PixelBuffer sizeOnly{nullptr, conversion.size.width, conversion.size.height};
  conversion.output.shape = shape;
  conversion.output.width = SavedColumnsOf(sizeOnly, shape).fileWidth;
  conversion.output.height = conversion.size.height;
  conversion.output.fileType = IsMkvName(output) ? VideoFileType::Matroska : VideoFileType::Mp4;
  conversion.output.codec = options.codec == "ffv1"   ? VideoCodec::Ffv1
                            : options.codec == "hevc" ? VideoCodec::Hevc
                                                      : VideoCodec::H264;
  conversion.output.crf = options.crf;
  conversion.output.preset = options.preset;
  const bool terminal = !options.quiet && &err == &std::cerr && isatty(STDERR_FILENO);
  ProgressLine progress(err, terminal, reader.PromisedFrames());
  conversion.progress = [&](int64_t written) { progress.Update(written); };
  Result converted = ConvertVideo(reader, output, conversion, err);
  // What went wrong with the output file is told under its name, as for pictures.
  const std::string& reason = converted.reason();
  if (!converted.ok() && reason.rfind("cannot ", 0) == 0 && reason.find(" the file") != std::string::npos)
    return Result::Failure(output + ": " + reason);
  return converted;
}
#endif

Result ConvertOne(const Options& options, Job job, const std::string& input, const std::string& output,
                  std::ostream& err, bool& usageError) {
  if (!options.force && FileExists(output))
    return Result::Failure(output + " already exists (use --force to replace it)");
#if defined(QUORVANE_VIDEO)
  if (IsVideoFile(input)) return ConvertVideoOne(options, job, input, output, err, usageError);
#endif
  // A file's 16 bits are kept where the panorama is made from them, or the
  // picture is saved as loaded in a format that holds them.
  const PictureFormat format = FormatFromName(output).value_or(PictureFormat::Jpeg);
  const bool may16 = Holds16Bits(format) && options.depth != 8;
  LoadedPicture fisheye;
  std::vector<uint8_t> fileBytes;
  Result load = LoadPicture(input, fisheye, &fileBytes, !options.noTransform || may16);
  if (!load.ok()) return load;
  const bool input16 = fisheye.samples16 != nullptr;
  // The output's depth, and whether the picture goes through in 16 bits: a
  // 16-bit picture always does, rounded to 8 bits only on its way out.
  const bool output16 = may16 && (options.depth == 16 || input16);
  const bool deep = options.noTransform ? output16 : input16 || output16;
  if (!deep) fisheye.samples16.reset();
  if (deep && !input16) {
    PixelBuffer16 widened;
    Result widening = WidenSamples(fisheye.View(), fisheye.samples16, widened);
    if (!widening.ok()) return widening;
  }
  Result circles = CheckCirclesMeetPicture(options, job, fisheye.width, fisheye.height);
  if (circles.ok() && !options.noTransform) circles = PlaceCalibration(job, fisheye.width, fisheye.height);
  usageError = !circles.ok();
  if (!circles.ok()) return circles;
  // A damaged EXIF block or profile is left out, never half copied.
  const CameraMetadata camera = ReadCameraMetadata(fileBytes);
  fileBytes = {};
  // A two-lens picture stored turned has its halves elsewhere than side by
  // side, front on the left: no roll of the camera puts them back.
  if (job.dual && !options.noTransform && RollOfOrientation(camera.orientation) != 0.0) {
    return Result::Failure("is a two-lens picture stored turned (EXIF orientation " +
                           std::to_string(camera.orientation) + "); save it upright first");
  }
  // A project's roll holds the picture's turn already.
  if (!(job.calibration && job.calibration->fromProject)) job.lens.rollDegrees += RollOfOrientation(camera.orientation);
  PixelStore store;
  PixelBuffer picture = fisheye.View();
  PixelBuffer16 picture16 = fisheye.View16();
  if (!options.noTransform) {
    Result converted = Convert(options, job, fisheye, deep, store, picture, picture16, err);
    if (!converted.ok()) return converted;
    if (deep) fisheye.samples16.reset();
  }
  int32_t level = kSharpenLevelAfterLoad;
  for (int use = 0; use < options.sharpen; ++use) {
    level -= kSharpenLevelStep;
    if (deep)
      SharpenPicture(picture16, SharpenWeightsFor(level), options.threads);
    else
      SharpenPicture(picture, SharpenWeightsFor(level), options.threads);
  }
  // A 16-bit panorama saved in 8 bits is rounded here, once.
  PixelStore reduced;
  if (deep && !output16) {
    fisheye.store.reset();
    Result reduction = ReduceSamples(picture16, reduced, picture);
    if (!reduction.ok()) return reduction;
    store.reset();
  }
  // The panorama's metadata describes our pixels: only a panorama gets it.
  const PanoramaXmp xmp =
      PanoramaXmpFor(job.shape, deep ? picture16.height : picture.height, job.lens.yawDegrees, job.lens.pitchDegrees);
  EncodeOptions encoding;
  encoding.quality = options.quality;
  encoding.xmp = options.noTransform ? nullptr : &xmp;
  encoding.camera = options.noMetadata ? nullptr : &camera;
  Result save = format == PictureFormat::Bmp ? WriteBmpPicture(picture, job.shape, output)
                : output16                   ? WritePictureFile16(picture16, job.shape, format, encoding, output)
                                             : WritePictureFile(picture, job.shape, format, encoding, output);
  if (!save.ok()) return Result::Failure(output + ": " + save.reason());
  return {};
}


// --find-circle: one line per input on `out`; 1 when any has no circle.
int PrintCircles(const Options& options, std::ostream& out, std::ostream& err) {
  int failures = 0;
  for (const std::string& input : options.inputs) {
    LoadedPicture picture;
    ImageCircle circle, back;
    Result result = LoadPicture(input, picture);
    if (result.ok() && options.dual && !IsSideBySide(picture.width, picture.height))
      result = NotSideBySide(picture.View());
    if (result.ok()) {
      result = options.dual ? FindCircles(picture.View(), circle, back) : FindCircle(picture.View(), circle);
      if (!result.ok() && !options.dual) result = WithCircleHint(picture.View(), result, false);
    }
    if (!result.ok()) {
      err << kProgram << ": " << input << ": " << result.reason() << "\n";
      ++failures;
      continue;
    }
    out << input;
    for (const ImageCircle& found : options.dual ? std::vector{circle, back} : std::vector{circle})
      out << " " << DecimalText(found.x, 2) << " " << DecimalText(found.y, 2) << " " << DecimalText(found.radius, 2);
    out << "\n";
  }
  return failures == 0 ? 0 : 1;
}

// The outputs' extension, which names their format.
// Without --format: tif for --depth 16 and for a 16-bit input (`input16`),
// unless --quality asks for JPEG; else jpg.
std::string OutputExtension(const Options& options, bool input16 = false) {
  if (options.format) return *options.format;
  if (options.depth == 16) return "tif";
  return input16 && !options.depth && !options.qualityGiven ? "tif" : "jpg";
}

// A video's codec must fit its file and take the options given.
void RefuseVideoOptionMismatches(const Options& options, const std::optional<std::string>& outputName) {
  const bool ffv1 = options.codec == "ffv1";
  if (ffv1 && outputName && IsVideoName(*outputName) && !IsMkvName(*outputName))
    throw CLI::ValidationError("--codec", "ffv1 is kept in Matroska files only; use -o NAME.mkv");
  if (ffv1 && options.crfGiven)
    throw CLI::ValidationError("--crf", "does nothing with --codec ffv1, which is lossless; leave one of them out");
  if (ffv1 && options.presetGiven)
    throw CLI::ValidationError("--preset", "does nothing with --codec ffv1, which is lossless; leave one of them out");
}

// Options given that would change nothing beside the others, and options
// that need another: usage errors, so that a mistyped command line is not
// taken for what the user meant.
void RefuseIdleOptions(const CLI::App& app, const Options& options) {
  const auto given = [&](const std::string& name) { return app.count(name) > 0; };
  const auto refuse = [&](const std::vector<std::string>& names, const std::string& why) {
    for (const std::string& name : names) {
      if (given(name)) throw CLI::ValidationError(name, why);
    }
  };
  for (const char* name : {"--back-yaw", "--back-pitch", "--back-roll", "--align", "--align-lens"}) {
    if (given(name) && !options.dual) throw CLI::RequiresError(name, "--dual");
  }
  if (options.output && options.outputFolder)
    throw CLI::ValidationError("--output", "cannot be given with --output-dir: -o names one file, -d a folder for all");
  if (options.findCircle) {
    refuse({"--output", "--output-dir", "--format", "--depth", "--circle", "--force", "--quality", "--no-metadata", "--lens",
            "--fov", "--yaw", "--pitch", "--roll", "--shape", "--height", "--back-yaw", "--back-pitch", "--back-roll",
            "--align", "--align-lens", "--calibration", "--lens-scale", "--sharpen", "--threads", "--no-transform"},
           "does nothing with --find-circle, which only prints each picture's circle; leave one of them out");
  }
  if (options.noTransform) {
    refuse({"--lens", "--fov", "--circle", "--yaw", "--pitch", "--roll", "--calibration", "--lens-scale", "--dual",
            "--height"},
           "does nothing with --no-transform, which saves the picture as loaded; leave one of them out");
  }
  if (given("--align") && given("--align-lens"))
    throw CLI::ValidationError("--align", "does nothing with --align-lens, which finds the same and more");
  if (options.output && options.format && FormatFromName(*options.output)) {
    throw CLI::ValidationError("--format", "does nothing with --output " + *options.output +
                                               ", whose extension names the format; leave one of them out");
  }
  std::optional<std::string> outputName;
  if (options.output) outputName = OutputFileName(*options.output, OutputExtension(options));
  if (options.output && !outputName) {
    throw CLI::ValidationError("--output", *options.output + ": the name must end in .jpg, .jpeg, .png, .tif, .tiff "
                                                             "or .bmp (pictures), or .mp4 or .mkv (videos)");
  }
  RefuseVideoOptionMismatches(options, outputName);
  if (outputName && IsVideoName(*outputName)) return;
  const PictureFormat format = FormatFromName(outputName.value_or("." + OutputExtension(options))).value();
  const std::string saved = outputName ? *outputName : "the outputs (--format " + OutputExtension(options) + ")";
  if (given("--quality") && format != PictureFormat::Jpeg)
    throw CLI::ValidationError("--quality", "is for JPEG files only, and " + saved + " is not one");
  if (options.depth == 16 && !Holds16Bits(format)) {
    throw CLI::ValidationError("--depth", "16 needs a PNG or TIFF output, and " + saved +
                                              " holds 8 bits a sample (JPEG and BMP always do)");
  }
  if (options.noMetadata && format == PictureFormat::Bmp)
    throw CLI::ValidationError("--no-metadata", "does nothing for BMP files, which hold no metadata");
}

// Each input's output file, after the checks that need the file system: the
// folders exist, no output is an input, and no two inputs share an output.
std::vector<std::string> PlanOutputs(const Options& options) {
  if (options.output && options.inputs.size() > 1)
    throw CLI::ValidationError("--output", "takes one input only; for several, give a folder with --output-dir");
  const std::string extension = OutputExtension(options);
  // Videos and pictures by their content: each is saved as its own kind.
  std::vector<bool> videos;
  for (const std::string& input : options.inputs) videos.push_back(IsVideoFile(input));
  const bool anyVideo = std::find(videos.begin(), videos.end(), true) != videos.end();
  const std::string videoExtension = options.codec == "ffv1" ? "mkv" : "mp4";
  for (size_t i = 0; i < videos.size(); ++i) {
    const std::string& input = options.inputs[i];
    if (videos[i] && options.qualityGiven)
      throw CLI::ValidationError("--quality", "is for JPEG pictures, and " + input + " is a video (see --crf)");
    if (videos[i] && options.noTransform)
      throw CLI::ValidationError("--no-transform", "is for pictures, and " + input + " is a video");
    if (videos[i] && options.depth)
      throw CLI::ValidationError("--depth", "is for pictures, and " + input + " is a video (its frames have 8 bits)");
    if (options.output && videos[i] && FormatFromName(*options.output)) {
      throw CLI::ValidationError("--output", input + " is a video, and " + *options.output +
                                                 " names a picture; give a .mp4 or .mkv name");
    }
    if (options.output && !videos[i] && IsVideoName(*options.output)) {
      throw CLI::ValidationError("--output", input + " is a picture, and " + *options.output +
                                                 " names a video; give a .jpg, .png, .tif or .bmp name");
    }
  }
  if (!anyVideo) {
    for (const char* name : {"--codec", "--crf", "--preset"}) {
      const bool given = std::string(name) == "--codec" ? options.codec.has_value()
                         : std::string(name) == "--crf" ? options.crfGiven
                                                        : options.presetGiven;
      if (given) throw CLI::ValidationError(name, "is for videos, and no input is one");
    }
  }
  // A folder that is not there is the user's to make: the program makes none.
  const auto missing = [](const std::string& folder) {
    return folder + (FileExists(folder) ? " is a file, not a folder" : " does not exist; create it first");
  };
  if (options.outputFolder && !FolderExists(*options.outputFolder))
    throw CLI::ValidationError("--output-dir", "the output folder " + missing(*options.outputFolder));
  std::vector<std::string> outputs;
  for (size_t i = 0; i < options.inputs.size(); ++i) {
    const std::string& input = options.inputs[i];
    const std::string kind = videos[i] ? videoExtension : extension;
    outputs.push_back(options.output ? *OutputFileName(*options.output, kind)
                                     : DefaultOutputName(input, options.outputFolder,
                                                         videos[i] ? videoExtension
                                                                   : OutputExtension(options, FileHas16BitSamples(input))));
  }
  const std::string folder = options.output ? FolderOf(outputs[0]) : "";
  if (!folder.empty() && !FolderExists(folder)) throw CLI::ValidationError("--output", "the folder " + missing(folder));
  // Each input by its identity, and each output by its folder and name: one
  // pass over the batch, however long.
  std::vector<std::optional<FileIdentity>> inputIdentities;
  std::map<FileIdentity, size_t> inputAt;
  for (size_t i = 0; i < options.inputs.size(); ++i) {
    inputIdentities.push_back(IdentityOf(options.inputs[i]));
    if (inputIdentities.back()) inputAt.emplace(*inputIdentities.back(), i);
  }
  std::map<std::string, std::string> folders;
  std::map<std::string, size_t> outputAt;
  std::string problems;
  const auto problem = [&](const std::string& text) { problems += (problems.empty() ? "" : "\n") + text; };
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::optional<FileIdentity> identity = IdentityOf(outputs[i]);
    const auto input = identity ? inputAt.find(*identity) : inputAt.end();
    if (input != inputAt.end()) {
      problem(options.inputs[i] + ": the output " + outputs[i] + " is " +
              (input->second == i ? std::string("this input itself")
                                  : "the input " + options.inputs[input->second]) +
              ", which would be lost; give another name with -o or another folder with -d");
    }
    const auto [first, isNew] = outputAt.emplace(OutputKey(outputs[i], folders), i);
    const std::string& earlier = options.inputs[first->second];
    if (!isNew && (earlier == options.inputs[i] ||
                   (inputIdentities[i] && inputIdentities[i] == inputIdentities[first->second]))) {
      problem(earlier + (earlier == options.inputs[i] ? " is given twice"
                                                      : " and " + options.inputs[i] + " are one picture, given twice") +
              "; give it once");
    } else if (!isNew) {
      problem(earlier + " and " + options.inputs[i] + " would both be saved as " + outputs[first->second] +
              (options.outputFolder ? "; convert them into separate folders" : "; give one of them its own -o"));
    }
  }
  if (!problems.empty()) throw CLI::ValidationError(problems);
  return outputs;
}

// A yaw beyond 90 degrees either way turns the lens away from the square's
// longitudes (-90 to 90): its middle is then not saved.
void NoteYawOutsideTheSquare(const Options& options, const Job& job, std::ostream& err) {
  const double longitude = std::remainder(job.lens.yawDegrees, 360.0);
  if (options.noTransform || job.shape == SaveShape::Sphere || std::abs(longitude) <= 90.0 ||
      std::abs(job.lens.pitchDegrees) >= 90.0) {
    return;
  }
  err << kProgram << ": note: a yaw of " << DecimalText(job.lens.yawDegrees) << " degrees turns the middle of the view "
      << "outside the " << (job.shape == SaveShape::Square ? "square" : "rectangle")
      << ", which holds longitudes -90 to 90; --shape sphere saves all of it\n";
}

constexpr char kExamples[] = R"(
Examples:
  A typical 180-degree circular fisheye, its circle found in the picture:
    quorvane-convert --lens equisolid --fov 180 --circle auto photo.jpg
  An all-sky camera pointing straight up, the whole sky as a 360-degree panorama:
    quorvane-convert --pitch 90 --shape sphere sky.jpg
  A 360-degree camera's two fisheyes side by side, stitched into the whole sphere:
    quorvane-convert --dual --fov 200 --circle auto --align camera.jpg)";
constexpr char kVideoExample[] = R"(
  The same camera's video, into a 360-degree MP4 with its sound:
    quorvane-convert --dual --fov 200 --circle auto --align camera.mp4)";
constexpr char kMoreExamples[] = R"(
  A card's folders into one folder, as PNG files:
    quorvane-convert -d panoramas --format png cam1/*.jpg cam2/*.jpg
  Without lens options the program's own lens: equidistant, 198 degrees across
  the picture height, centred.)";

// The options, their values' ranges and what each needs, in the help's words.
void AddOptions(CLI::App& app, Options& options) {
  app.get_formatter()->column_width(30);
  app.add_option("INPUT", options.inputs, "Fisheye pictures or videos to convert")->required()->option_text("...");
  app.add_option("-o,--output", options.output,
                 Wrapped("The output file, for one input: .jpg, .jpeg, .png, .tif, .tiff or .bmp (a name without an "
                         "extension gets "
                         ".jpg, or --format's); not with -d"))
      ->check(Named("a file name"))
      ->type_name("FILE");
  app.add_option("-d,--output-dir", options.outputFolder,
                 Wrapped("The folder for every output, which must exist: each is saved there as NAME-panorama.jpg "
                         "(or --format's extension); two inputs of one name are refused. Default: beside each input"))
      ->check(Named("a folder name"))
      ->type_name("DIR");
  app.add_option("--format", options.format,
                 Wrapped("The outputs' format, when -o names none: jpg (the default; tif for a picture of 16 bits a "
                         "sample and for --depth 16), png, tif (Deflate) or bmp"))
      ->check(OneOf({"jpg", "png", "tif", "bmp"}))
      ->type_name("jpg|png|tif|bmp");
  app.add_option("--depth", options.depth,
                 Wrapped("Bits a sample in the output, 8 or 16 (PNG and TIFF only). Default: 16 for a picture of 16 "
                         "bits a sample, else 8; 16 on an 8-bit picture makes its panorama in 16 bits"))
      ->check(CLI::IsMember({8, 16}).description(""))
      ->type_name("8|16");
  AddWholeNumber(app, "--quality", options.quality, kQualityRange, "Q",
                 "JPEG quality, " + RangeText(kQualityRange) + " (default " + std::to_string(kDefaultJpegQuality) +
                     "; 4:4:4 colour from 90 up, 4:2:0 below); JPEG outputs only");
  app.add_flag("--no-metadata", options.noMetadata,
               Wrapped("Leave out the camera's EXIF data and colour profile (the panorama's own metadata stays); "
                       "JPEG and PNG outputs only"));
  app.add_option("--lens", options.lensName,
                 Wrapped("The lens model: equidistant (the default), equisolid, stereographic or orthographic"))
      ->check(OneOf({"equidistant", "equisolid", "stereographic", "orthographic"}))
      ->type_name("MODEL");
  app.add_option("--fov", options.fov,
                 Wrapped("Field of view across the image circle, in degrees: " +
                         RangeText({kNarrowestFovDegrees, 360}) +
                         " (stereographic at most 300, orthographic 180; with --dual more than 185, and F1,F2 for "
                         "each lens). Default 198 for equidistant and with --dual, 180 for the others"))
      ->type_name("DEG");
  app.add_option("--circle", options.circleText,
                 Wrapped("The image circle: auto (found in each picture) or X,Y,R in pixels (the top-left pixel's "
                         "centre is 0,0, y down), as --find-circle prints it; with --dual X,Y,R,X2,Y2,R2, each in its "
                         "own half (one circle: both). Default: centred, as high as the picture"))
      ->type_name("auto|X,Y,R");
  AddDecimal(app, "--yaw", options.yaw, kYawRange,
             "Camera turned to the right (east), " + RangeText(kYawRange) + " degrees (default 0)");
  AddDecimal(app, "--pitch", options.pitch, kPitchRange,
             "Camera tilted up, " + RangeText(kPitchRange) + " degrees (90: at the zenith; default 0)");
  AddDecimal(app, "--roll", options.roll, kRollRange,
             "Camera turned clockwise about the lens axis, as seen from behind, " + RangeText(kRollRange) +
                 " degrees (default 0)");
  app.add_option("--shape", options.shape,
                 Wrapped("The saved shape: square (longitudes -90 to 90; the default), rectangle (2:1, the square "
                         "then black) or sphere (2:1, longitudes -180 to 180; the default with --dual)"))
      ->check(OneOf({"square", "rectangle", "sphere"}))
      ->type_name("SHAPE");
  app.add_flag("--dual", options.dual,
               Wrapped("Two fisheyes side by side (width about twice the height): the left half looking ahead, the "
                       "right half behind; stitched into the whole sphere"));
  AddDecimal(app, "--back-yaw", options.backYaw, kBackYawRange,
             "With --dual only: the back lens turned right from straight behind, " + RangeText(kBackYawRange) +
                 " degrees (default 0)");
  AddDecimal(app, "--back-pitch", options.backPitch, kBackPitchRange,
             "With --dual only: the back lens tilted up, " + RangeText(kBackPitchRange) + " degrees (default 0)");
  AddDecimal(app, "--back-roll", options.backRoll, kBackRollRange,
             "With --dual only: the back lens turned clockwise about its axis, as seen from behind it, " +
                 RangeText(kBackRollRange) + " degrees (default 0)");
  app.add_flag("--align", options.align,
               Wrapped("With --dual only: find the back lens's yaw, pitch and roll (within 3 degrees of straight "
                       "behind, from --back-yaw/--back-pitch/--back-roll on) where the lenses overlap, print them "
                       "and use them"));
  app.add_flag("--align-lens", options.alignLenses,
               Wrapped("With --dual only: as --align, and find each lens's own field of view (within 5 degrees of "
                       "--fov), or with --calibration its radius factor (" + RangeText(kLensScaleRange) +
                       "); print them and use them"));
  app.add_option("--calibration", options.calibrationPath,
                 Wrapped("The lens's calibration: a Hugin project (.pto: its first image line, with --dual its first "
                         "two) or a camera YAML (ROS or OpenCV, equidistant/fisheye model); --fov and --circle then "
                         "only limit the field, --yaw/--pitch/--roll replace the project's"))
      ->check(Named("a file name"))
      ->type_name("FILE");
  app.add_option("--lens-scale", options.lensScale,
                 Wrapped("With --calibration only: each lens's radii times S, " + RangeText(kLensScaleRange) +
                         " (with --dual S1,S2), as --align-lens prints them"))
      ->type_name("S");
  app.add_option("--height", options.height,
                 Wrapped("The panorama's height in pixels, from 1 to what keeps it within " +
                         std::to_string(kMostPanoramaPixels) + " pixels (default: the picture's height)"))
      ->type_name("N");
  app.add_flag("--find-circle", options.findCircle,
               Wrapped("Print \"FILE X Y R\" (the image circle; with --dual \"FILE X Y R X2 Y2 R2\") for each input "
                       "and convert nothing; exit 1 for any file without a circle. Takes no other option but --dual"));
  AddWholeNumber(app, "--sharpen", options.sharpen, kSharpenRange, "N",
                 "Sharpen N times, " + RangeText(kSharpenRange) + ", as N uses of Save and Sharpen would (default 0)");
  AddWholeNumber(app, "--threads", options.threads, kThreadsRange, "N",
                 "Threads for the transform, " + RangeText(kThreadsRange) +
                     " (default: one per processor core); the panorama is the same for every count");
  app.add_flag("--no-transform", options.noTransform,
               Wrapped("Save the loaded picture itself (no lens options then); a 16-bit PNG or TIFF stays 16-bit "
                       "when saved as PNG or TIFF"));
  app.add_flag("--force", options.force, "Replace existing output files");
  app.add_option("--codec", options.codec,
                 Wrapped("Videos: h264 (the default), hevc, or ffv1 (lossless, in .mkv files only)"))
      ->check(OneOf({"h264", "hevc", "ffv1"}))
      ->type_name("CODEC");
  AddWholeNumber(app, "--crf", options.crf, kCrfRange, "N",
                 "Videos: the H.264 or HEVC rate factor, " + RangeText(kCrfRange) + ", lower for better (default " +
                     std::to_string(kDefaultCrf) + ")");
  app.add_option("--preset", options.preset,
                 Wrapped(std::string("Videos: the H.264 or HEVC encoder's preset, ultrafast to veryslow, slower for "
                                     "smaller files (default ") + kDefaultPreset + ")"))
      ->check(OneOf({"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower",
                     "veryslow", "placebo"}))
      ->type_name("NAME");
  app.add_flag("-q,--quiet", options.quiet, Wrapped("Print failures only: no progress, no line per file"));
  app.set_version_flag("--version", std::string(kProgram) + " " + kVersion);
}

}  // namespace

int RunConverter(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{std::string("Turns circular fisheye photographs (JPEG) into equirectangular panoramas (JPEG, PNG or "
                           "BMP)") +
                   (kConvertsVideos ? ", and fisheye videos into 360-degree videos (MP4 or Matroska)." : "."),
               kProgram};
  // Paths begin with "/" on some systems; on Windows too they are never options.
  app.allow_windows_style_options(false);
  app.footer(std::string(kExamples) + (kConvertsVideos ? kVideoExample : "") + kMoreExamples);
  Options options;
  AddOptions(app, options);

  Job job;
  std::vector<std::string> outputs;
  try {
    app.parse(argc, argv);
    options.lensGiven = app.count("--lens") > 0;
    options.backAnglesGiven = app.count("--back-yaw") + app.count("--back-pitch") + app.count("--back-roll") > 0;
    options.yawGiven = app.count("--yaw") > 0;
    options.pitchGiven = app.count("--pitch") > 0;
    options.rollGiven = app.count("--roll") > 0;
    options.crfGiven = app.count("--crf") > 0;
    options.presetGiven = app.count("--preset") > 0;
    options.qualityGiven = app.count("--quality") > 0;
    RefuseIdleOptions(app, options);
    job = JobFor(options);
    if (!options.findCircle) outputs = PlanOutputs(options);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? 0 : 2;
  }

  if (options.findCircle) return PrintCircles(options, out, err);
  NoteYawOutsideTheSquare(options, job, err);
  // One line for each file once it is done, the reason if it failed, and a
  // count at the end: what a long batch did can be read off the last lines.
  size_t converted = 0;
  bool usageErrors = false;
  const size_t count = options.inputs.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& input = options.inputs[i];
    bool usageError = false;
    Result result = ConvertOne(options, job, input, outputs[i], err, usageError);
    if (result.ok()) {
      if (!options.quiet) err << "[" << i + 1 << "/" << count << "] " << input << " -> " << outputs[i] << "\n";
      ++converted;
    } else {
      err << "[" << i + 1 << "/" << count << "] " << input << ": failed: " << result.reason() << "\n";
      usageErrors = usageErrors || usageError;
    }
#if defined(QUORVANE_VIDEO)
    // Ctrl-C during a video: its temporary file is gone; the program ends as
    // interrupted, converting nothing more.
    if (CatchInterrupt::Caught() != 0) {
      err.flush();
      CatchInterrupt::EndWithCaughtSignal();
    }
#endif
  }
  if (!options.quiet) {
    err << count << (count == 1 ? " file: " : " files: ") << converted << " converted, " << count - converted
        << " failed\n";
  }
  return usageErrors ? 2 : converted == count ? 0 : 1;
}
