#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "app/app_state.h"
#include "window_stand_ins.h"
#include "imageio/bmp_writer.h"
#include "imageio/decode_picture.h"
#include "imageio/load_picture.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/projection.h"
#include "transform/resample.h"
#include "transform/stores.h"
#include "transform/transform_command.h"
#include "imageio/load_fisheye.h"
#include "imageio/write_display.h"

namespace fs = std::filesystem;

namespace {

// Mean absolute difference per channel byte, over the colour bytes only.
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (i % 4 != 3) sum += std::abs(a[i] - b[i]);
  return sum / (a.size() * 3 / 4);
}

// Sets the size a JPEG's frame header declares.
std::vector<uint8_t> WithDeclaredSize(std::vector<uint8_t> jpeg, uint16_t width, uint16_t height) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = height >> 8;
      jpeg[i + 6] = height & 0xFF;
      jpeg[i + 7] = width >> 8;
      jpeg[i + 8] = width & 0xFF;
      return jpeg;
    }
  }
  ADD_FAILURE() << "no frame header";
  return jpeg;
}

TEST(LoadTest, LoadsAJpegUprightIntoEveryStore) {
  ResetProgramState();
  const std::string name = TestDataPath("f-35x39.jpg");
  ASSERT_TRUE(LoadFisheyeImage(name).ok());
  EXPECT_EQ(SourceWidth, 35);
  EXPECT_EQ(SourceHeight, 39);
  EXPECT_EQ(DisplayWidth, 35);
  EXPECT_EQ(DisplayHeight, 39);
  EXPECT_EQ(DisplayRowBytes, 140);
  EXPECT_EQ(SharpenLevel, 127);
  EXPECT_EQ(ImageReady, 1);
  EXPECT_EQ(HeadlessTitle, "  " + name);
  EXPECT_EQ(HeadlessTitle.size(), name.size() + 2);
  EXPECT_EQ(DisplayInfo.size, 40u);
  EXPECT_EQ(DisplayInfo.width, 35);
  EXPECT_EQ(DisplayInfo.height, 39);
  EXPECT_EQ(DisplayInfo.planes, 1);
  EXPECT_EQ(DisplayInfo.bitCount, 32);
  EXPECT_EQ(DisplayInfo.compression, 0u);
  EXPECT_EQ(DisplayInfo.sizeImage, 0u);
  EXPECT_EQ(PanoramaRadius, static_cast<float>(2.0 * 39 * 0.159154));

  // Compared with the picture the JPEG was made from: bottom row first, the
  // F's bar at the top, red where the F is.
  int32_t width = 0, height = 0;
  std::vector<uint8_t> reference = ReadPpm(TestDataPath("f-35x39.ppm"), width, height);
  std::vector<uint8_t> source(SourcePixels, SourcePixels + reference.size());
  EXPECT_LT(MeanDifference(source, reference), 3.0);
  const uint8_t* barPixel = SourceBuffer().Pixel(20, 39 - 1 - 8);
  EXPECT_GT(barPixel[2], 200);
  EXPECT_LT(barPixel[0], 60);
  const uint8_t* groundPixel = SourceBuffer().Pixel(20, 8);  // low in the picture, right of the stem
  EXPECT_GT(groundPixel[0], 200);
  EXPECT_LT(groundPixel[2], 60);
  for (size_t i = 3; i < source.size(); i += 4) ASSERT_EQ(source[i], 0) << "unused byte at " << i;

  EXPECT_EQ(DisplayCopy(), source);
  const uint8_t* spare = DisplayPixels + source.size();
  EXPECT_TRUE(std::all_of(spare, spare + 140 * kDisplaySpareRows, [](uint8_t b) { return b == 0; }));
  const uint8_t* panorama = PanoramaPixels;
  EXPECT_TRUE(std::all_of(panorama, panorama + 140 * 40, [](uint8_t b) { return b == 0; }));
}

TEST(LoadTest, ProgressiveJpegsLoadToo) {
  ResetProgramState();
  ASSERT_TRUE(LoadFisheyeImage(TestDataPath("f-35x39-progressive.jpg")).ok());
  int32_t width = 0, height = 0;
  std::vector<uint8_t> reference = ReadPpm(TestDataPath("f-35x39.ppm"), width, height);
  // Quality 85 with halved colour resolution: decoders differ at the F's
  // edges, but the picture stays the same way round.
  EXPECT_LT(MeanDifference(DisplayCopy(), reference), 16.0);
  const uint8_t* stem = SourceBuffer().Pixel(9, 39 - 1 - 25);
  EXPECT_GT(stem[2], 150);
  EXPECT_LT(stem[0], 100);
  const uint8_t* ground = SourceBuffer().Pixel(28, 5);
  EXPECT_GT(ground[0], 150);
  EXPECT_LT(ground[2], 100);
}

TEST(LoadTest, ASavedPanoramaOpensAgain) {
  const fs::path folder = ScratchFolder("reopen");
  InstallPicture(MakeFPicture(64, 48), 64, 48);
  RunTransform();
  SaveAsRectangle = 1;
  std::string name = (folder / "pano.bmp").string();
  ASSERT_TRUE(WriteBmpFile(name).ok());
  std::vector<uint8_t> shown = DisplayCopy();

  ASSERT_TRUE(LoadFisheyeImage(name).ok());
  ASSERT_EQ(SourceWidth, 96);
  ASSERT_EQ(SourceHeight, 48);
  for (int32_t y = 0; y < 48; ++y) {
    EXPECT_EQ(0, std::memcmp(SourceBuffer().Row(y), shown.data() + 4 * (64 * y + 8), 4 * 48)) << y;
    const uint8_t* right = SourceBuffer().Pixel(48, y);
    EXPECT_TRUE(std::all_of(right, right + 4 * 48, [](uint8_t b) { return b == 0; })) << y;
  }
}

// Whatever goes wrong while loading, the program keeps what it had.
class FailedLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ResetProgramState();
    ASSERT_TRUE(LoadFisheyeImage(TestDataPath("f-35x39.jpg")).ok());
    RunTransform();
    SharpenLevel = 31;
    title_ = HeadlessTitle;
    source_ = std::vector<uint8_t>(SourcePixels, SourcePixels + 4 * 35 * 39);
    display_ = DisplayCopy();
    sourcePixels_ = SourcePixels;
    displayPixels_ = DisplayPixels;
    panoramaPixels_ = PanoramaPixels;
    radius_ = PanoramaRadius;
  }

  void ExpectFailureChangingNothing(const std::string& name, const std::string& reasonPart) {
    Result result = LoadFisheyeImage(name);
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_NE(result.reason().find(reasonPart), std::string::npos) << result.reason();
    EXPECT_EQ(SourceWidth, 35);
    EXPECT_EQ(SourceHeight, 39);
    EXPECT_EQ(DisplayWidth, 35);
    EXPECT_EQ(DisplayHeight, 39);
    EXPECT_EQ(SourcePixels, sourcePixels_);
    EXPECT_EQ(DisplayPixels, displayPixels_);
    EXPECT_EQ(PanoramaPixels, panoramaPixels_);
    EXPECT_EQ(std::vector<uint8_t>(SourcePixels, SourcePixels + source_.size()), source_);
    EXPECT_EQ(DisplayCopy(), display_);
    EXPECT_EQ(SharpenLevel, 31);
    EXPECT_EQ(HeadlessTitle, title_);
    EXPECT_EQ(PanoramaRadius, radius_);
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    WriteBytes(folder_ / name, bytes);
    return (folder_ / name).string();
  }

  fs::path folder_;
  std::string title_;
  std::vector<uint8_t> source_, display_;
  uint8_t *sourcePixels_ = nullptr, *displayPixels_ = nullptr, *panoramaPixels_ = nullptr;
  float radius_ = 0;
};

TEST_F(FailedLoadTest, MissingEmptyAndForeignFiles) {
  ExpectFailureChangingNothing((folder_ / "missing.jpg").string(), "cannot read");
  ExpectFailureChangingNothing(folder_.string(), "");  // a folder
  ExpectFailureChangingNothing(Write("empty.jpg", {}), "");
  ExpectFailureChangingNothing(TestDataPath("not-a-picture.jpg"), "");
}

TEST_F(FailedLoadTest, TruncatedAndCorruptJpegs) {
  const std::vector<uint8_t> jpeg = ReadBytes(TestDataPath("f-35x39.jpg"));
  for (size_t keep : {size_t{4}, size_t{100}, jpeg.size() / 2, jpeg.size() - 40}) {
    ExpectFailureChangingNothing(Write("cut.jpg", std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + keep)), "");
  }
}

TEST_F(FailedLoadTest, PicturesOverTheLimitAreRefusedFromTheHeader) {
  const std::vector<uint8_t> jpeg = ReadBytes(TestDataPath("f-35x39.jpg"));
  ExpectFailureChangingNothing(Write("huge.jpg", WithDeclaredSize(jpeg, 65535, 65535)), "too large");
  // 10000 x 5001 is one row over 50,000,000 pixels; 10000 x 5000 is allowed
  // in, and then fails only because the data is not there.
  ExpectFailureChangingNothing(Write("over.jpg", WithDeclaredSize(jpeg, 10000, 5001)), "too large");
  Result atLimit = LoadFisheyeImage(Write("limit.jpg", WithDeclaredSize(jpeg, 10000, 5000)));
#ifdef _WIN32
  // The Windows picture loader fills in missing data instead of failing.
  if (atLimit.ok()) {
    EXPECT_EQ(SourceWidth, 10000);
    EXPECT_EQ(SourceHeight, 5000);
    return;
  }
#endif
  ASSERT_FALSE(atLimit.ok());
  EXPECT_EQ(atLimit.reason().find("too large"), std::string::npos) << atLimit.reason();
}

#ifndef _WIN32
// A few hundred bytes that declare 49 megapixels must not make the load take
// hundreds of megabytes before the decoder finds the data missing. Measured in
// a child process, whose peak memory starts where the parent's is.
TEST_F(FailedLoadTest, ATinyFileDeclaringAHugePictureCostsLittleMemory) {
  const std::vector<uint8_t> jpeg = ReadBytes(TestDataPath("f-35x39.jpg"));
  const std::string name = Write("bomb.jpg", WithDeclaredSize(jpeg, 7000, 7000));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
    bool refused = !LoadFisheyeImage(name).ok();
    rusage after = {};
    getrusage(RUSAGE_SELF, &after);
    const long grownKb = after.ru_maxrss - before.ru_maxrss;
    _exit(refused && grownKb < 64 * 1024 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "refused, with less than 64 MB more memory";
}
#endif

TEST(LoadTest, AFailedFirstLoadLeavesTheProgramEmpty) {
  ResetProgramState();
  EXPECT_FALSE(LoadFisheyeImage(TestDataPath("not-a-picture.jpg")).ok());
  EXPECT_EQ(ImageReady, 0);
  EXPECT_EQ(SourceWidth, 0);
  EXPECT_EQ(DisplayPixels, nullptr);
  EXPECT_EQ(SharpenLevel, 0);
  EXPECT_EQ(DisplayInfo.size, 0u);
  EXPECT_TRUE(HeadlessTitle.empty());
  EXPECT_EQ(HeadlessRedraws, 0);
}

TEST(DecodePictureTest, ReportsNothingButTheReasonOnFailure) {
  std::vector<uint8_t> destination(16, 0xCC);
  int32_t width = 7, height = 9;
  const uint8_t garbage[] = {0xFF, 0xD8, 0xFF, 0x00, 0x01};
  Result result = DecodePicture(garbage, destination.data(), 4, width, height);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(width, 7);
  EXPECT_EQ(height, 9);

  std::vector<uint8_t> jpeg = ReadBytes(TestDataPath("f-35x39.jpg"));
  result = DecodePicture(jpeg, destination.data(), 35 * 39 - 1, width, height);
  EXPECT_NE(result.reason().find("too large"), std::string::npos) << result.reason();
  EXPECT_EQ(destination, std::vector<uint8_t>(16, 0xCC)) << "refused before writing";
}

TEST(LoadTest, ANewLoadReplacesEverythingAndShowsTheFisheyeAgain) {
  const fs::path folder = ScratchFolder("second-load");
  InstallPicture(MakeFPicture(40, 30), 40, 30);
  std::string name = (folder / "square.bmp").string();
  ASSERT_TRUE(WriteBmpFile(name).ok());  // a 30 x 30 picture

  ASSERT_TRUE(LoadFisheyeImage(TestDataPath("f-35x39.jpg")).ok());
  RunTransform();
  SharpenLevel = -1;
  ASSERT_TRUE(LoadFisheyeImage(name).ok());
  EXPECT_EQ(SourceWidth, 30);
  EXPECT_EQ(DisplayHeight, 30);
  EXPECT_EQ(SharpenLevel, 127);
  EXPECT_EQ(DisplayCopy(), std::vector<uint8_t>(SourcePixels, SourcePixels + 4 * 30 * 30));
  EXPECT_EQ(PanoramaRadius, static_cast<float>(2.0 * 30 * 0.159154));
}

}  // namespace
