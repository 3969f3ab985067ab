#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "app/app_state.h"
#include "window_stand_ins.h"
#include "imageio/bmp_reader.h"
#include "imageio/load_picture.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/projection.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"
#include "transform/resample_kernels.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "transform/transform_command.h"
#include "imageio/load_fisheye.h"

namespace {

constexpr uint8_t kUntouched = 0x5A;

// Runs one pass over `source` into a destination of the same size that starts
// filled with kUntouched, so skipped pixels are recognisable.
std::vector<uint8_t> Resample(const std::vector<uint8_t>& source, int32_t width, int32_t height, int32_t mode,
                              float scale = 1.0f) {
  std::vector<uint8_t> destination(source.size(), kUntouched);
  TransformRecord record{width, height, 4 * width, destination.data(), width, height, 4 * width, source.data(), scale};
  ProjectionMode = mode;
  ResampleImage(record);
  ProjectionMode = Centred;
  return destination;
}

bool IsUntouched(const uint8_t* pixel) {
  return pixel[0] == kUntouched && pixel[1] == kUntouched && pixel[2] == kUntouched && pixel[3] == kUntouched;
}

TEST(ResampleTest, CentredCopiesThePixelsWhoseNeighbourhoodIsInsideAndSkipsTheRest) {
  const int32_t width = 9, height = 7;
  std::vector<uint8_t> source = MakeNoisePicture(width, height, 1);
  std::vector<uint8_t> out = Resample(source, width, height, Centred);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const size_t at = 4 * (static_cast<size_t>(y) * width + x);
      if (x >= 1 && x <= width - 3 && y >= 1 && y <= height - 3) {
        EXPECT_EQ(0, std::memcmp(&out[at], &source[at], 3)) << x << "," << y;
        EXPECT_EQ(out[at + 3], kUntouched) << "unused byte written at " << x << "," << y;
      } else {
        EXPECT_TRUE(IsUntouched(&out[at])) << x << "," << y;
      }
    }
  }
  EXPECT_EQ(Resample(source, width, height, Scaled, 1.0f), out);
}

TEST(ResampleTest, ScaledSamplesBetweenPixelsAndReservedModesWriteNothing) {
  const int32_t width = 16, height = 16;
  // A horizontal ramp: cubic interpolation reproduces it exactly.
  std::vector<uint8_t> source(4 * width * height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) source[4 * (y * width + x) + 2] = static_cast<uint8_t>(10 * x);
  std::vector<uint8_t> out = Resample(source, width, height, Scaled, 0.25f);
  // Column 10 is 2.5 right of the centre 7.5, so it samples 0.625 right of it.
  EXPECT_EQ(out[4 * (8 * width + 10) + 2], 81);  // 8.125 x 10
  EXPECT_EQ(out[4 * (8 * width + 11) + 2], 84);  // 8.375 x 10
  EXPECT_EQ(out[4 * (8 * width + 4) + 2], 66);   // 6.625 x 10
  for (int32_t mode : {1, 5, 7}) {
    std::vector<uint8_t> reserved = Resample(source, width, height, mode);
    EXPECT_TRUE(std::all_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b == kUntouched; })) << mode;
  }
}

TEST(ResampleTest, SourcesSmallerThanTheNeighbourhoodAreAllSkipped) {
  for (auto [width, height] : {std::pair{3, 10}, std::pair{10, 3}, std::pair{1, 1}}) {
    SetupProjection(height);
    std::vector<uint8_t> source = MakeNoisePicture(width, height, 2);
    for (int32_t mode : {Centred, Fisheye}) {
      std::vector<uint8_t> out = Resample(source, width, height, mode);
      EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kUntouched; }))
          << width << "x" << height << " mode " << mode;
    }
  }
}

TEST(RunTransformTest, ClearsWholeColumnsOutsideTheSavedSquareInTheDisplayOnly) {
  struct Case {
    int32_t width, height, left, right;  // display columns [left, right) survive
  };
  for (Case c : {Case{1600, 1200, 200, 1400}, Case{1201, 1200, 0, 1200}, Case{1203, 1200, 1, 1201},
                 Case{400, 400, 0, 400}, Case{300, 400, 0, 300}}) {
    // Bright noise so that every sampled pixel is visibly nonzero.
    std::vector<uint8_t> picture = MakeNoisePicture(c.width, c.height, 3);
    for (size_t i = 0; i < picture.size(); ++i)
      if (i % 4 != 3) picture[i] |= 0x80;
    InstallPicture(picture, c.width, c.height);
    RunTransform();
    EXPECT_EQ(ImageReady, 1);
    EXPECT_EQ(BusyFlag, 1);
    const int32_t y = c.height / 2;
    for (int32_t x = 0; x < c.width; ++x) {
      const uint8_t* shown = DisplayBuffer().Pixel(x, y);
      const uint8_t* computed = PanoramaBuffer().Pixel(x, y);
      bool black = shown[0] == 0 && shown[1] == 0 && shown[2] == 0 && shown[3] == 0;
      if (x < c.left || x >= c.right) {
        EXPECT_TRUE(black) << c.width << "x" << c.height << " column " << x;
      } else {
        EXPECT_EQ(0, std::memcmp(shown, computed, 4)) << c.width << "x" << c.height << " column " << x;
      }
    }
    // The panorama keeps the margins the display loses.
    if (c.left > 0) {
      EXPECT_NE(PanoramaBuffer().Pixel(c.left - 1, y)[2], 0);
    }
  }
}

TEST(RunTransformTest, IsRepeatableAndLeavesTheUnusedByteZero) {
  std::vector<uint8_t> picture = MakeFPicture(160, 120);
  for (size_t i = 3; i < picture.size(); i += 4) picture[i] = 0xFF;  // must not leak through
  InstallPicture(picture, 160, 120);
  RunTransform();
  std::vector<uint8_t> first = DisplayCopy();
  SharpenLevel -= 32;
  SharpenDisplay();
  RunTransform();
  EXPECT_EQ(DisplayCopy(), first) << "a second Transform replaces the sharpened picture with the same panorama";
  EXPECT_EQ(SharpenLevel, 95);
  const size_t panoramaBytes = 4 * size_t{160} * 121;
  for (size_t i = 3; i < panoramaBytes; i += 4) ASSERT_EQ(PanoramaPixels[i], 0) << i;
  EXPECT_EQ(ProjectionMode, Centred);
  EXPECT_FALSE(HeadlessPriorityRaised);
}

TEST(RunTransformTest, WithNothingLoadedOnlyMarksThePictureReady) {
  ResetProgramState();
  int redraws = HeadlessRedraws;
  RunTransform();
  EXPECT_EQ(ImageReady, 1);
  EXPECT_EQ(HeadlessRedraws, redraws + 1);
  EXPECT_EQ(DisplayPixels, nullptr);
}

// A pattern on the sphere, smooth enough for cubic interpolation, different in
// each channel so that swapped channels or mirrored axes show.
double Pattern(int channel, double azimuth, double polar) {
  switch (channel) {
    case 0: return 128 + 90 * std::sin(3 * azimuth + 0.4) * std::sin(polar);
    case 1: return 128 + 80 * std::cos(2 * polar) + 30 * std::sin(azimuth);
    default: return 120 + 100 * std::sin(2 * azimuth) * std::cos(3 * polar + 0.2);
  }
}

// Renders the pattern into a fisheye picture through the lens model itself
// (equidistant: distance from the centre = angle off the axis x scale), then
// converts it back and compares the panorama with the pattern.
TEST(RunTransformTest, RecoversAPatternRenderedThroughTheLensModel) {
  const int32_t width = 480, height = 360;
  SetupProjection(height);
  const double scale = FisheyeScaleU;
  const double centreX = width / 2.0 - 0.5, centreY = height / 2.0 - 0.5;
  std::vector<uint8_t> fisheye(4 * width * height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const double u = x - centreX, v = y - centreY;
      const double distance = std::max(std::hypot(u, v), 1e-9);
      const double offAxis = distance / scale;
      const double dirX = std::sin(offAxis) * u / distance, dirY = std::sin(offAxis) * v / distance;
      const double dirZ = std::cos(offAxis);
      const double azimuth = std::atan2(dirX, dirZ), polar = std::acos(std::clamp(dirY, -1.0, 1.0));
      for (int channel = 0; channel < 3; ++channel) {
        fisheye[4 * (y * width + x) + channel] =
            static_cast<uint8_t>(std::lround(std::clamp(Pattern(channel, azimuth, polar), 0.0, 255.0)));
      }
    }
  }
  InstallPicture(fisheye, width, height);
  RunTransform();

  double squaredError = 0;
  int64_t count = 0;
  const int32_t left = SquareLeft(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = left; x < left + height; ++x) {
      const double azimuth = (x - centreX) * RadiansPerPixel;
      const double polar = HalfPi - (y - centreY) * RadiansPerPixel;
      const uint8_t* pixel = DisplayBuffer().Pixel(x, y);
      for (int channel = 0; channel < 3; ++channel) {
        const double error = pixel[channel] - Pattern(channel, azimuth, polar);
        squaredError += error * error;
        ++count;
      }
    }
  }
  const double psnr = 10 * std::log10(255.0 * 255.0 / (squaredError / count));
  EXPECT_GE(psnr, 35.0);
}

// Puts the path and thread count back for the tests that follow.
class KernelPathTest : public ::testing::Test {
 protected:
  void TearDown() override {
    UseKernelPath(KernelPath::Automatic);
  }
};

TEST_F(KernelPathTest, SseTwoIsAlwaysThereAndAutomaticPicksTheFastest) {
  std::vector<KernelPath> paths = RunnableKernelPaths();
  ASSERT_GE(paths.size(), 2u) << "every x86-64 processor has SSE2";
  EXPECT_EQ(ActiveKernelPath(), ProcessorHasAvx2() ? KernelPath::Avx2 : KernelPath::Sse2);
  EXPECT_EQ(UseKernelPath(KernelPath::Avx2), ProcessorHasAvx2());
}

// The panorama may not depend on how the work is split or which instructions
// do it: every path and thread count gives the plain loop's bits. Noise makes
// the sampler clamp often; odd widths leave partial vectors at every row end.
TEST_F(KernelPathTest, EveryPathAndThreadCountGivesThePlainLoopsBits) {
  struct Size {
    int32_t width, height;
  };
  // Odd and even widths, and narrow ones, where a row's mirrored right half
  // ends in a part vector.
  for (Size size : {Size{1203, 901}, Size{1204, 901}, Size{301, 457}, Size{13, 6}, Size{10, 7}, Size{16, 9}}) {
    const std::vector<uint8_t> picture = MakeNoisePicture(size.width, size.height, 11);
    const PixelBuffer source{const_cast<uint8_t*>(picture.data()), size.width, size.height};
    std::vector<uint16_t> picture16 = MakeNoisePicture16(size.width, size.height, 11);
    std::vector<std::vector<uint8_t>> reference;
    for (KernelPath path : RunnableKernelPaths()) {
      for (int32_t threads : {1, 2, 3, 8}) {
        ASSERT_TRUE(UseKernelPath(path));
        std::vector<std::vector<uint8_t>> results;
        results.emplace_back(picture.size(), kUntouched);
        TransformPicture(source, {results.back().data(), size.width, size.height}, Lens{}, threads);
        results.push_back(Resample(picture, size.width, size.height, Centred));
        results.push_back(Resample(picture, size.width, size.height, Scaled, 0.37f));
        results.push_back(Resample(picture, size.width, size.height, Scaled, -1.9f));
        // 16 bits through the program's own lens, as bytes.
        results.emplace_back(2 * picture16.size(), kUntouched);
        TransformPicture(PixelBuffer16{picture16.data(), size.width, size.height},
                         PixelBuffer16{reinterpret_cast<uint16_t*>(results.back().data()), size.width, size.height},
                         Lens{}, threads);
        if (reference.empty()) {
          reference = results;
          continue;
        }
        for (size_t i = 0; i < results.size(); ++i) {
          EXPECT_TRUE(results[i] == reference[i])
              << size.width << "x" << size.height << " " << KernelPathName(path) << ", " << threads
              << " threads, pass " << i;
        }
      }
    }
  }
}

// The pixels of samples/fisheye-sample.jpg. The Windows picture loader
// decodes JPEG files a little differently from libjpeg-turbo, so the Linux
// build's decoding is kept as a BMP, and every build starts from it.
std::vector<uint8_t> DecodedSample(int32_t& width, int32_t& height) {
  const std::vector<uint8_t> bytes = ReadBytes(TestDataPath("fisheye-sample-decoded.bmp"));
  EXPECT_TRUE(ReadBmpSize(bytes, width, height).ok());
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * height);
  ReadBmpPixels(bytes, pixels.data());
  return pixels;
}

// Checksums of the sample's panorama and of the display after Transform, the
// same on Linux and Windows, for every path and thread count. A change here
// changes what users get: it must be deliberate.
constexpr uint64_t kSamplePanoramaChecksum = 0xc925ed71beb17883u;
constexpr uint64_t kSampleDisplayChecksum = 0x8bc95f3823d77c99u;

TEST_F(KernelPathTest, TheSamplesPanoramaHasTheSameBitsOnEverySystem) {
  int32_t width = 0, height = 0;
  const std::vector<uint8_t> pixels = DecodedSample(width, height);
  ASSERT_EQ(width, 1600);
  ASSERT_EQ(height, 1200);
  InstallPicture(pixels, width, height);
  const size_t bytes = 4 * static_cast<size_t>(width) * height;
  for (KernelPath path : RunnableKernelPaths()) {
    ASSERT_TRUE(UseKernelPath(path));
    for (int32_t threads : {1, 2}) {
      std::vector<uint8_t> panorama(bytes);
      TransformPicture(SourceBuffer(), {panorama.data(), width, height}, Lens{}, threads);
      EXPECT_EQ(Fnv1a(panorama.data(), bytes), kSamplePanoramaChecksum) << KernelPathName(path) << ", " << threads;
    }
    RunTransform();
    EXPECT_EQ(Fnv1a(PanoramaPixels, bytes), kSamplePanoramaChecksum) << KernelPathName(path);
    EXPECT_EQ(Fnv1a(DisplayPixels, bytes), kSampleDisplayChecksum) << KernelPathName(path);
  }
}

#if !defined(_WIN32)
TEST(GoldenPictureTest, TheKeptPixelsAreWhatTheLoaderMakesOfTheSample) {
  ResetProgramState();
  ASSERT_TRUE(LoadFisheyeImage(SamplePath("fisheye-sample.jpg")).ok());
  int32_t width = 0, height = 0;
  const std::vector<uint8_t> pixels = DecodedSample(width, height);
  ASSERT_EQ(SourceWidth, width);
  ASSERT_EQ(SourceHeight, height);
  EXPECT_EQ(0, std::memcmp(SourcePixels, pixels.data(), pixels.size()))
      << "tests/data/fisheye-sample-decoded.bmp no longer matches samples/fisheye-sample.jpg";
}
#endif

}  // namespace
