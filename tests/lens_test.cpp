// The transform through any lens, on the engine alone: conventions and round
// trips against a forward model of our own, the same bits on every path,
// thread count and system, and two transforms at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "imageio/bmp_reader.h"
#include "lens_model.h"
#include "realistic_pictures.h"
#include "test_pictures.h"
#include "transform/lens.h"
#include "transform/resample.h"
#include "transform/resample_kernels.h"
#include "transform/stores.h"

namespace {

using namespace lens_model;

// The pattern as the lens photographs it: black outside the circle.
std::vector<uint8_t> RenderFisheye(const Lens& lens, int32_t width, int32_t height) {
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * height, 0);
  RenderFisheyeInto({pixels.data(), width, height}, 0, width, lens, CameraOf(lens), CircleOf(lens, width, height),
                    PatternAt);
  return pixels;
}

std::vector<uint8_t> Transform(const std::vector<uint8_t>& fisheye, int32_t width, int32_t height, const Lens& lens,
                               int32_t panoramaWidth, int32_t panoramaHeight, int32_t threads = 0) {
  std::vector<uint8_t> panorama(4 * static_cast<size_t>(panoramaWidth) * panoramaHeight, 0);
  TransformPicture({const_cast<uint8_t*>(fisheye.data()), width, height},
                   {panorama.data(), panoramaWidth, panoramaHeight}, lens, threads);
  return panorama;
}

std::vector<uint16_t> Transform16(const std::vector<uint16_t>& fisheye, int32_t width, int32_t height, const Lens& lens,
                                  int32_t panoramaWidth, int32_t panoramaHeight, int32_t threads = 0) {
  std::vector<uint16_t> panorama(4 * static_cast<size_t>(panoramaWidth) * panoramaHeight, 0);
  TransformPicture(PixelBuffer16{const_cast<uint16_t*>(fisheye.data()), width, height},
                   PixelBuffer16{panorama.data(), panoramaWidth, panoramaHeight}, lens, threads);
  return panorama;
}

Lens MakeLens(LensModel model, double fov, ImageCircle circle, double yaw = 0, double pitch = 0, double roll = 0) {
  Lens lens;
  lens.model = model;
  lens.fovDegrees = fov;
  lens.circle = circle;
  lens.yawDegrees = yaw;
  lens.pitchDegrees = pitch;
  lens.rollDegrees = roll;
  return lens;
}

// The forward model above must follow the stated conventions before it can
// judge the transform.
TEST(LensConventionTest, TheForwardModelTurnsTheCameraAsDescribed) {
  const ImageCircle circle{100, 80, 60};
  const Lens up = MakeLens(LensModel::Equidistant, 180, circle, 0, 90, 0);
  const PhotoPoint zenith = PhotoPointOf(up, circle, {0, 1, 0});
  EXPECT_NEAR(zenith.x, 100, 1e-9);
  EXPECT_NEAR(zenith.y, 80, 1e-9);
  // Looking up, the photo's bottom edge sees the horizon at longitude 0.
  const PhotoPoint ahead = PhotoPointOf(up, circle, DirectionAt(0, 0));
  EXPECT_NEAR(ahead.x, 100, 1e-9);
  EXPECT_NEAR(ahead.y, 140, 1e-9);
  const Lens east = MakeLens(LensModel::Equidistant, 180, circle, 90, 0, 0);
  EXPECT_NEAR(PhotoPointOf(east, circle, DirectionAt(kPi / 2, 0)).x, 100, 1e-9);
  // Rolled clockwise, the horizon rises to the right.
  const Lens rolled = MakeLens(LensModel::Equidistant, 180, circle, 0, 0, 10);
  EXPECT_LT(PhotoPointOf(rolled, circle, DirectionAt(Radians(45), 0)).y, 80);
  EXPECT_GT(PhotoPointOf(rolled, circle, DirectionAt(Radians(-45), 0)).y, 80);
}

// Every model at 150 and 180 degrees and its widest field, with an
// off-centre circle and with the camera pointing at the zenith: the sphere
// made of the photographed pattern matches the pattern wherever the lens saw
// it at least 5 degrees inside its edge.
TEST(LensRoundTripTest, EveryModelGivesBackThePatternItPhotographed) {
  const int32_t width = 1120, height = 840, panoramaHeight = 180;
  for (LensModel model :
       {LensModel::Equidistant, LensModel::Equisolid, LensModel::Stereographic, LensModel::Orthographic}) {
    std::vector<double> fields = {150, 180, WidestFovDegrees(model)};
    fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
    for (double fov : fields) {
      for (bool pitched : {false, true}) {
        const ImageCircle circle = pitched ? ImageCircle{559.5, 419.5, 400} : ImageCircle{600.5, 381.25, 340};
        const Lens lens = MakeLens(model, fov, circle, pitched ? 0 : 20, pitched ? 90 : -10, pitched ? 0 : 15);
        SCOPED_TRACE(std::string(LensModelName(model)) + " " + std::to_string(fov) + (pitched ? " pitch 90" : " off-centre"));
        const std::vector<uint8_t> fisheye = RenderFisheye(lens, width, height);
        const int32_t panoramaWidth = 2 * panoramaHeight;
        const std::vector<uint8_t> panorama = Transform(fisheye, width, height, lens, panoramaWidth, panoramaHeight);

        std::vector<uint8_t> expected(panorama.size(), 0);
        std::vector<bool> seen(panorama.size() / 4, false);
        size_t seenCount = 0;
        for (int32_t y = 0; y < panoramaHeight; ++y) {
          for (int32_t x = 0; x < panoramaWidth; ++x) {
            const Vector3 d = PanoramaDirection(x, y, panoramaWidth, panoramaHeight);
            const PhotoPoint point = PhotoPointOf(lens, circle, d);
            const size_t at = static_cast<size_t>(y) * panoramaWidth + x;
            for (int channel = 0; channel < 3; ++channel) expected[4 * at + channel] = Level(PatternAt(channel, d));
            seen[at] = point.theta <= Radians(fov / 2 - 5);
            seenCount += seen[at];
          }
        }
        ASSERT_GT(seenCount, panorama.size() / 4 / 10);
        EXPECT_GE(PsnrOf(panorama, expected, [&](size_t pixel) { return seen[pixel]; }), 40.0);
        // Beyond the field of view the panorama stays black.
        for (size_t pixel = 0; pixel < seen.size(); ++pixel) {
          const int32_t x = static_cast<int32_t>(pixel % panoramaWidth), y = static_cast<int32_t>(pixel / panoramaWidth);
          if (PhotoPointOf(lens, circle, PanoramaDirection(x, y, panoramaWidth, panoramaHeight)).theta >
              Radians(fov / 2 + 0.5)) {
            ASSERT_EQ(panorama[4 * pixel] | panorama[4 * pixel + 1] | panorama[4 * pixel + 2], 0) << x << "," << y;
          }
        }
      }
    }
  }
}

class LensPathTest : public ::testing::Test {
 protected:
  void TearDown() override { UseKernelPath(KernelPath::Automatic); }
};

// Every model, level, pitched (which keeps the mirror image of each row's
// halves) and yawed or rolled (which does not), off-centre and clipped
// circles, squares and spheres of odd and even sizes: every path and thread
// count gives the plain loop's bits, in 8 bits and in 16.
TEST_F(LensPathTest, EveryPathAndThreadCountGivesThePlainLoopsBits) {
  const int32_t width = 301, height = 203;
  const std::vector<uint8_t> picture = MakeNoisePicture(width, height, 23);
  const std::vector<uint16_t> picture16 = MakeNoisePicture16(width, height, 23);
  struct Case {
    Lens lens;
    int32_t panoramaWidth, panoramaHeight;
  };
  const std::vector<Case> cases = {
      {MakeLens(LensModel::Equidistant, 198, {150, 101, 101.5}), 203, 203},
      {MakeLens(LensModel::Equisolid, 180, {160.3, 90.7, 120}, 0, 35), 150, 75},
      {MakeLens(LensModel::Stereographic, 300, {150, 101, 140}, 0, -90), 77, 77},
      {MakeLens(LensModel::Orthographic, 180, {140, 111, 90}, 0, 0, 30), 130, 65},
      {MakeLens(LensModel::Equidistant, 360, {150, 101, 95}, 120, 10, -40), 201, 100},
      {MakeLens(LensModel::Equisolid, 360, {150, 101, 95}, -3, 0, 0), 16, 8},
      {MakeLens(LensModel::Stereographic, 120, {150, 101, 300}, 0, 5, 180), 13, 13},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> reference;
    std::vector<uint16_t> reference16;
    for (KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      for (int32_t threads : {1, 3}) {
        const std::vector<uint8_t> result =
            Transform(picture, width, height, c.lens, c.panoramaWidth, c.panoramaHeight, threads);
        const std::vector<uint16_t> result16 =
            Transform16(picture16, width, height, c.lens, c.panoramaWidth, c.panoramaHeight, threads);
        if (reference.empty()) {
          reference = result;
          reference16 = result16;
          EXPECT_NE(std::count(result.begin(), result.end(), 0), static_cast<ptrdiff_t>(result.size()));
          EXPECT_NE(std::count(result16.begin(), result16.end(), 0), static_cast<ptrdiff_t>(result16.size()));
          continue;
        }
        EXPECT_TRUE(result == reference) << LensModelName(c.lens.model) << " " << c.panoramaWidth << "x"
                                         << c.panoramaHeight << ", " << KernelPathName(path) << ", " << threads;
        EXPECT_TRUE(result16 == reference16) << LensModelName(c.lens.model) << " " << c.panoramaWidth << "x"
                                             << c.panoramaHeight << ", 16 bits, " << KernelPathName(path) << ", "
                                             << threads;
      }
    }
  }
}

// Checksums of the sample's sphere through each model, the same on Linux and
// Windows and on every path. A change here changes what users get.
TEST_F(LensPathTest, TheSamplesSphereThroughEachModelHasTheSameBitsOnEverySystem) {
  const std::vector<uint8_t> bytes = ReadBytes(TestDataPath("fisheye-sample-decoded.bmp"));
  int32_t width = 0, height = 0;
  ASSERT_TRUE(ReadBmpSize(bytes, width, height).ok());
  std::vector<uint8_t> sample(4 * static_cast<size_t>(width) * height);
  ReadBmpPixels(bytes, sample.data());
  struct Golden {
    Lens lens;
    uint64_t checksum;
  };
  const Golden goldens[] = {
      {MakeLens(LensModel::Equidistant, 198, {799.5, 599.5, 600}, 0, 0, 0), 0xd8d491d2e59bc55cu},
      {MakeLens(LensModel::Equisolid, 180, {812.25, 590.5, 610}, 0, 90, 0), 0xfff5259a743c630fu},
      {MakeLens(LensModel::Stereographic, 200, {799.5, 599.5, 640}, 30, 0, 0), 0xd316f53975d88acfu},
      {MakeLens(LensModel::Orthographic, 170, {790, 605, 580}, 0, -20, 12), 0x6b4bc97da2160842u},
  };
  for (const Golden& golden : goldens) {
    for (KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      const std::vector<uint8_t> sphere = Transform(sample, width, height, golden.lens, 600, 300, 2);
      EXPECT_EQ(Fnv1a(sphere.data(), sphere.size()), golden.checksum)
          << LensModelName(golden.lens.model) << ", " << KernelPathName(path) << std::hex << " 0x"
          << Fnv1a(sphere.data(), sphere.size());
    }
  }
}

// The sample as a 16-bit picture: its samples times 257, each the mean of
// itself (twice) and its left and right neighbours, so that most fall
// between the multiples of 257 that 8 bits can hold.
std::vector<uint16_t> SampleIn16Bits(const std::vector<uint8_t>& sample, int32_t width) {
  const std::vector<uint16_t> wide = Widened(sample);
  std::vector<uint16_t> smooth = wide;
  for (size_t i = 4; i + 4 < wide.size(); ++i) {
    if (i % (4 * static_cast<size_t>(width)) < 4 || i % (4 * static_cast<size_t>(width)) >= 4 * (width - 1u)) continue;
    smooth[i] = static_cast<uint16_t>((wide[i - 4] + 2 * wide[i] + wide[i + 4] + 2) / 4);
  }
  return smooth;
}

// The 16-bit transform's own checksums, the same on Linux and Windows and on
// every path and thread count: the program's own lens at the picture's size,
// and a pitched lens into a sphere. A change here changes what users get.
TEST_F(LensPathTest, TheSamplesSixteenBitPanoramaHasTheSameBitsOnEverySystem) {
  const std::vector<uint8_t> bytes = ReadBytes(TestDataPath("fisheye-sample-decoded.bmp"));
  int32_t width = 0, height = 0;
  ASSERT_TRUE(ReadBmpSize(bytes, width, height).ok());
  std::vector<uint8_t> sample(4 * static_cast<size_t>(width) * height);
  ReadBmpPixels(bytes, sample.data());
  const std::vector<uint16_t> sample16 = SampleIn16Bits(sample, width);
  struct Golden {
    Lens lens;
    int32_t panoramaWidth, panoramaHeight;
    uint64_t checksum;
  };
  const Golden goldens[] = {
      {Lens{}, width, height, 0xf795ae3cb3bd9f72u},
      {MakeLens(LensModel::Equisolid, 180, {812.25, 590.5, 610}, 0, 90, 0), 600, 300, 0x4e067a26dd993cf2u},
  };
  for (const Golden& golden : goldens) {
    for (KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      for (int32_t threads : {1, 2}) {
        const std::vector<uint16_t> panorama =
            Transform16(sample16, width, height, golden.lens, golden.panoramaWidth, golden.panoramaHeight, threads);
        const uint64_t checksum = Fnv1a(reinterpret_cast<const uint8_t*>(panorama.data()), 2 * panorama.size());
        EXPECT_EQ(checksum, golden.checksum) << LensModelName(golden.lens.model) << ", " << KernelPathName(path)
                                             << ", " << threads << std::hex << " 0x" << checksum;
      }
    }
  }
}

// The distinct levels of `channel` in the middle square of a panorama.
template <class Sample>
size_t DistinctLevels(const std::vector<Sample>& panorama, int32_t width, int32_t height, int channel) {
  std::vector<Sample> levels;
  for (int32_t y = height * 3 / 8; y < height * 5 / 8; ++y)
    for (int32_t x = width / 2 - height / 8; x < width / 2 + height / 8; ++x)
      levels.push_back(panorama[4 * (static_cast<size_t>(y) * width + x) + channel]);
  std::sort(levels.begin(), levels.end());
  return static_cast<size_t>(std::unique(levels.begin(), levels.end()) - levels.begin());
}

// A smooth sky-like ramp of 16-bit levels keeps its steps through the 16-bit
// transform, where the same picture in 8 bits has only a handful of levels
// there: no banding from the transform.
TEST(SixteenBitTest, ASmoothRampKeepsMoreThanEightBits) {
  const int32_t width = 640, height = 480;
  std::vector<uint16_t> ramp(4 * static_cast<size_t>(width) * height, 0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint16_t* pixel = &ramp[4 * (static_cast<size_t>(y) * width + x)];
      pixel[0] = static_cast<uint16_t>(30000 + 3 * x + y);  // a few 8-bit levels across the whole picture
      pixel[1] = static_cast<uint16_t>(12000 + 2 * y);
      pixel[2] = static_cast<uint16_t>(50000 - x);
    }
  }
  const Lens lens = MakeLens(LensModel::Equidistant, 180, {319.5, 239.5, 230});
  const std::vector<uint16_t> panorama16 = Transform16(ramp, width, height, lens, 400, 400, 2);
  const std::vector<uint8_t> panorama8 = Transform(Reduced(ramp), width, height, lens, 400, 400, 2);
  for (int channel = 0; channel < 3; ++channel) {
    const size_t levels16 = DistinctLevels(panorama16, 400, 400, channel);
    const size_t levels8 = DistinctLevels(panorama8, 400, 400, channel);
    EXPECT_GE(levels8, 2u) << channel;
    EXPECT_GE(levels16, 40 * levels8) << channel << ": " << levels16 << " levels in 16 bits, " << levels8 << " in 8";
  }
}

// A 16-bit photograph through a lens (the world rendered at twice the size
// and binned 2 x 2, as a sensor's pixels sum the light, so its levels fall
// between 8-bit ones) gives the panorama the 8-bit path makes of it reduced
// to 8 bits, to within that reduction's rounding: at least 45 dB on the
// 16-bit scale (8-bit rounding alone costs about 56 dB).
TEST(SixteenBitTest, APhotographsPanoramaAgreesWithTheEightBitPaths) {
  struct Case {
    const char* world;
    Lens lens;
  };
  const int32_t width = 720, height = 540;
  const Case cases[] = {
      {"forest.jpg", MakeLens(LensModel::Equisolid, 185, {359.5, 269.5, 262})},
      {"sky.jpg", MakeLens(LensModel::Equidistant, 200, {362.0, 265.5, 255}, 0, 90, 10)},
  };
  for (const Case& c : cases) {
    Lens doubled = c.lens;
    doubled.circle = ImageCircle{2 * c.lens.circle->x + 0.5, 2 * c.lens.circle->y + 0.5, 2 * c.lens.circle->radius};
    realistic::Picture large =
        realistic::RenderFisheye(realistic::WorldPhoto(c.world), 2 * width, 2 * height, doubled, *doubled.circle);
    realistic::AddNoise(large, 2.0, 5);
    const std::vector<uint16_t> photo = realistic::Binned16(large);
    const std::vector<uint16_t> panorama16 = Transform16(photo, width, height, c.lens, 720, 360, 2);
    const std::vector<uint16_t> panorama8 = Widened(Transform(Reduced(photo), width, height, c.lens, 720, 360, 2));
    const double psnr = Psnr16Of(panorama16, panorama8);
    EXPECT_GE(psnr, 45.0) << c.world;
    EXPECT_LT(psnr, 70.0) << c.world << ": the 16-bit path kept no more than 8 bits";
  }
}

// The engine holds no state between transforms: two of different sizes and
// lenses at once, each on two threads, give the bytes of their runs alone.
TEST(LensConcurrencyTest, TwoTransformsAtOnceGiveTheirSoloBytes) {
  const std::vector<uint8_t> first = MakeNoisePicture(640, 480, 31);
  const std::vector<uint8_t> second = MakeFPicture(333, 517);
  const Lens firstLens = MakeLens(LensModel::Equisolid, 185, {320, 240, 250}, 10, 20, 30);
  const Lens secondLens{};
  const std::vector<uint8_t> firstAlone = Transform(first, 640, 480, firstLens, 600, 300, 2);
  const std::vector<uint8_t> secondAlone = Transform(second, 333, 517, secondLens, 333, 517, 2);
  for (int round = 0; round < 3; ++round) {
    std::vector<uint8_t> firstTogether, secondTogether;
    std::thread other([&] { firstTogether = Transform(first, 640, 480, firstLens, 600, 300, 2); });
    secondTogether = Transform(second, 333, 517, secondLens, 333, 517, 2);
    other.join();
    EXPECT_TRUE(firstTogether == firstAlone) << "round " << round;
    EXPECT_TRUE(secondTogether == secondAlone) << "round " << round;
  }
}

}  // namespace
