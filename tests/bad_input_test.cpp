// The bad and awkward input files of tests/data/bad, each with the outcome
// outcomes.txt gives for this system: through the converter (status, message,
// nothing written) and through the loader (a refused file changes nothing; a
// valid one loads upright at its size).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "app/app_state.h"
#include "window_stand_ins.h"
#include "cli/convert.h"
#include "imageio/load_picture.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/projection.h"
#include "transform/resample.h"
#include "transform/stores.h"
#include "unprivileged.h"
#include "transform/transform_command.h"
#include "imageio/load_fisheye.h"

namespace fs = std::filesystem;

namespace {

struct PixelCheck {
  int32_t x, y;  // from the left, from the top
  int red, green, blue;
};

struct Case {
  std::string name;  // UTF-8
  bool ok = false;
  std::string reason;  // a part of the reason, for a refused file
  int32_t width = 0, height = 0;
  int tolerance = 24;
  std::vector<PixelCheck> pixels;
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

Case ParseOutcome(const std::string& name, const std::string& outcome) {
  Case result;
  result.name = name;
  if (outcome.rfind("fail ", 0) == 0) {
    result.reason = outcome.substr(5);
    return result;
  }
  std::istringstream in(outcome);
  std::string word;
  in >> word;
  EXPECT_EQ(word, "ok") << name << ": " << outcome;
  result.ok = true;
  char times = 0;
  in >> result.width >> times >> result.height;
  while (in >> word) {
    if (word[0] == '~') {
      result.tolerance = std::stoi(word.substr(1));
      continue;
    }
    PixelCheck check{};
    char c1, c2, c3, c4;
    std::istringstream pixel(word);
    pixel >> check.x >> c1 >> check.y >> c2 >> check.red >> c3 >> check.green >> c4 >> check.blue;
    EXPECT_FALSE(pixel.fail()) << name << ": " << word;
    result.pixels.push_back(check);
  }
  return result;
}

// The cases with this system's outcomes.
std::vector<Case> ReadOutcomes() {
  std::ifstream in(TestDataPath("bad/outcomes.txt"));
  EXPECT_TRUE(in.good()) << "no outcomes.txt";
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() != 3) {
      ADD_FAILURE() << "not three fields: " << line;
      continue;
    }
#ifdef _WIN32
    const std::string& outcome = fields[2] == "same" ? fields[1] : fields[2];
#else
    const std::string& outcome = fields[1];
#endif
    cases.push_back(ParseOutcome(fields[0], outcome));
  }
  return cases;
}

fs::path Utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

// The name as the program's narrow file functions take it: on Windows in the
// system's code page, which must be able to spell it.
std::string NarrowName(const fs::path& path) {
#ifdef _WIN32
  const std::wstring wide = path.wstring();
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  std::string narrow(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), narrow.data(), size, nullptr, &lossy);
  EXPECT_FALSE(lossy) << "the code page cannot spell " << path.u8string().size() << " bytes of name";
  return narrow;
#else
  return path.string();
#endif
}

// Runs `body` while `file` cannot be read: without read rights for an
// ordinary user on Linux, held open without sharing by another handle on
// Windows.
std::string WhileUnreadable(const fs::path& file, const std::function<std::string()>& body) {
#ifdef _WIN32
  HANDLE held = CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return "cannot hold the file open";
  std::string result = body();
  CloseHandle(held);
  return result;
#else
  chmod(file.c_str(), 0);
  std::string result = RunUnprivileged(body);
  chmod(file.c_str(), 0644);
  return result;
#endif
}

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::u8string name = entry.path().lexically_relative(folder).u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What differs between the expected colours and a picture in the program's
// layout (bottom row first); empty when nothing does.
std::string PixelProblems(const Case& c, const PixelBuffer& picture, int32_t columnOffset) {
  std::string problems;
  for (const PixelCheck& check : c.pixels) {
    const int32_t x = check.x - columnOffset;
    if (x < 0 || x >= picture.width) continue;  // outside a saved square
    const uint8_t* p = picture.Pixel(x, picture.height - 1 - check.y);
    if (std::abs(p[2] - check.red) > c.tolerance || std::abs(p[1] - check.green) > c.tolerance ||
        std::abs(p[0] - check.blue) > c.tolerance || p[3] != 0) {
      problems += " pixel " + std::to_string(check.x) + "," + std::to_string(check.y) + " is " +
                  std::to_string(p[2]) + "," + std::to_string(p[1]) + "," + std::to_string(p[0]) + "/" +
                  std::to_string(p[3]) + ";";
    }
  }
  return problems;
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cases_ = ReadOutcomes();
    // A copy, so that nothing the program might write lands among the
    // committed files and the unreadable file can be made so.
    corpus_ = ScratchFolder("bad-inputs") / "corpus";
    output_ = corpus_.parent_path() / "output";
    fs::copy(Utf8Path(TestDataPath("bad")), corpus_, fs::copy_options::recursive);
    fs::create_directories(output_);
    fs::remove(corpus_ / "outcomes.txt");
    fs::remove(corpus_ / "make-bad-inputs");
    before_ = Listing(corpus_);
  }

  // Runs `body` for the case, made unreadable if it is the unreadable file.
  std::string RunFor(const Case& c, const std::function<std::string()>& body) {
    return c.name == "unreadable.jpg" ? WhileUnreadable(corpus_ / c.name, body) : body();
  }

  std::vector<Case> cases_;
  fs::path corpus_, output_;
  std::vector<std::string> before_;
};

TEST_F(BadInputTest, EveryFileHasAnOutcomeAndEveryOutcomeAFile) {
  std::set<std::string> listed;
  for (const Case& c : cases_) listed.insert(c.name);
  EXPECT_GE(listed.size(), 40u);
  EXPECT_EQ(listed.size(), cases_.size()) << "a file listed twice";
  std::set<std::string> present;
  for (const auto& entry : fs::directory_iterator(corpus_)) {
    const std::u8string name = entry.path().filename().u8string();
    present.emplace(name.begin(), name.end());
  }
  present.insert("missing.jpg");
  EXPECT_EQ(listed, present);
}

TEST_F(BadInputTest, TheConverterRefusesOrConvertsEachFileAsItMust) {
  const std::string output = NarrowName(output_ / "result.bmp");
  for (const Case& c : cases_) {
    SCOPED_TRACE(c.name);
    const std::string input = NarrowName(corpus_ / Utf8Path(c.name));
    auto convert = [&](std::vector<std::string> args) {
      return RunFor(c, [&] {
        args.insert(args.begin(), "quorvane-convert");
        args.insert(args.end(), {"-o", output, input});
        std::vector<const char*> argv;
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        std::ostringstream out, err;
        const int status = RunConverter(static_cast<int>(argv.size()), argv.data(), out, err);
        return std::to_string(status) + "\n" + err.str();
      });
    };
    const std::string ran = convert({"--no-transform"});
    const int status = std::atoi(ran.c_str());
    const std::string log = ran.substr(ran.find('\n') + 1);
    if (!c.ok) {
      EXPECT_EQ(status, 1) << log;
      const std::string head = "] " + input + ": failed: ";
      const size_t at = log.find(head);
      ASSERT_NE(at, std::string::npos) << log;
      const std::string message = log.substr(at, log.find('\n', at) - at);
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
      EXPECT_TRUE(fs::is_empty(output_)) << "something was written";
      EXPECT_EQ(Listing(corpus_), before_) << "something was written beside the input";
      continue;
    }
    ASSERT_EQ(status, 0) << log;
    std::vector<uint8_t> file = ReadBytes(output_ / "result.bmp");
    const int32_t side = c.height;
    ASSERT_EQ(file.size(), 54u + 4ull * side * side);
    int32_t fileWidth = 0, fileHeight = 0;
    std::memcpy(&fileWidth, &file[18], 4);
    std::memcpy(&fileHeight, &file[22], 4);
    EXPECT_EQ(fileWidth, side);
    EXPECT_EQ(fileHeight, side);
    EXPECT_EQ(PixelProblems(c, {file.data() + 54, side, side}, SquareLeft(c.width, c.height)), "");
    fs::remove(output_ / "result.bmp");

    // Through the transform and the sharpen filter too, where that is quick:
    // tiny and thin pictures must not trip them.
    if (int64_t{c.width} * c.height <= 1'000'000) {
      const std::string again = convert({"--shape", "rectangle", "--sharpen", "2"});
      EXPECT_EQ(std::atoi(again.c_str()), 0) << again;
      EXPECT_EQ(fs::file_size(output_ / "result.bmp"), 54u + 8ull * side * side);
      fs::remove(output_ / "result.bmp");
    }
    EXPECT_EQ(Listing(corpus_), before_) << "something was written beside the input";
  }
}

// Everything a load may change, to compare before and after a refused one.
struct ProgramState {
  int32_t sourceWidth = SourceWidth, sourceHeight = SourceHeight;
  int32_t displayWidth = DisplayWidth, displayHeight = DisplayHeight, displayRowBytes = DisplayRowBytes;
  const uint8_t* sourcePixels = SourcePixels;
  const uint8_t* panoramaPixels = PanoramaPixels;
  const uint8_t* displayPixels = DisplayPixels;
  std::vector<uint8_t> source{SourcePixels, SourcePixels + 4 * size_t(SourceWidth) * SourceHeight};
  std::vector<uint8_t> panorama{PanoramaPixels, PanoramaPixels + 4 * size_t(SourceWidth) * (SourceHeight + 1)};
  std::vector<uint8_t> display{DisplayPixels, DisplayPixels + 4 * size_t(DisplayWidth) * (DisplayHeight + 100)};
  int32_t sharpenLevel = SharpenLevel, imageReady = ImageReady;
  float radius = PanoramaRadius;
  std::string title = HeadlessTitle;
  int redraws = HeadlessRedraws;
  BitmapInfoHeader info = DisplayInfo;

  // The parts that differ from `before`, by name.
  std::string Differences(const ProgramState& before) const {
    std::string differences;
    auto check = [&](bool same, const char* what) {
      if (!same) differences += std::string(" ") + what;
    };
    check(sourceWidth == before.sourceWidth && sourceHeight == before.sourceHeight, "source size");
    check(displayWidth == before.displayWidth && displayHeight == before.displayHeight &&
              displayRowBytes == before.displayRowBytes,
          "display size");
    check(sourcePixels == before.sourcePixels && panoramaPixels == before.panoramaPixels &&
              displayPixels == before.displayPixels,
          "store addresses");
    check(source == before.source, "source pixels");
    check(panorama == before.panorama, "panorama pixels");
    check(display == before.display, "display pixels");
    check(sharpenLevel == before.sharpenLevel, "sharpen level");
    check(imageReady == before.imageReady, "ImageReady");
    check(radius == before.radius, "projection");
    check(title == before.title, "title");
    check(redraws == before.redraws, "redraws");
    check(std::memcmp(&info, &before.info, sizeof info) == 0, "DisplayInfo");
    return differences;
  }
};

TEST_F(BadInputTest, ARefusedFileChangesNothingInTheProgram) {
  ResetProgramState();
  ASSERT_TRUE(LoadFisheyeImage(TestDataPath("f-35x39.jpg")).ok());
  RunTransform();
  SharpenLevel = 31;
  const ProgramState before;
  for (const Case& c : cases_) {
    if (c.ok) continue;
    SCOPED_TRACE(c.name);
    const std::string problems = RunFor(c, [&] {
      Result result = LoadFisheyeImage(NarrowName(corpus_ / Utf8Path(c.name)));
      if (result.ok()) return std::string("loaded");
      std::string found = ProgramState().Differences(before);
      if (result.reason().find(c.reason) == std::string::npos) found += " reason: " + result.reason();
      return found;
    });
    EXPECT_EQ(problems, "");
  }
}

TEST_F(BadInputTest, AwkwardButValidPicturesLoadUprightAtTheirSize) {
  for (const Case& c : cases_) {
    if (!c.ok) continue;
    SCOPED_TRACE(c.name);
    ResetProgramState();
    const std::string name = NarrowName(corpus_ / Utf8Path(c.name));
    Result result = LoadFisheyeImage(name);
    ASSERT_TRUE(result.ok()) << result.reason();
    EXPECT_EQ(SourceWidth, c.width);
    EXPECT_EQ(SourceHeight, c.height);
    EXPECT_EQ(HeadlessTitle, "  " + name);
    EXPECT_EQ(PixelProblems(c, SourceBuffer(), 0), "");
    const std::vector<uint8_t> source(SourcePixels, SourcePixels + 4 * size_t(SourceWidth) * SourceHeight);
    for (size_t i = 3; i < source.size(); i += 4) ASSERT_EQ(source[i], 0) << "unused byte of pixel " << i / 4;
    EXPECT_TRUE(DisplayCopy() == source);
  }
}

}  // namespace
