// A clip's map against the picture's own passes: the same bytes, frame after
// frame, on every path and thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "realistic_pictures.h"
#include "test_pictures.h"
#include "transform/calibrated_lens.h"
#include "transform/clip_map.h"
#include "transform/dual_lens.h"
#include "transform/resample.h"
#include "transform/resample_kernels.h"
#include "transform/sampler.h"

namespace {

// Pixels the pass should leave alone stay recognisable.
constexpr uint8_t kUntouched = 0x5A;

class ClipMapTest : public ::testing::Test {
 protected:
  void TearDown() override { UseKernelPath(KernelPath::Automatic); }
};

// One lens's frame of `world`: noisy, so that the sampler clamps often.
realistic::Picture LensFrame(const std::string& world, int32_t width, int32_t height, const Lens& lens,
                             uint32_t seed) {
  realistic::Picture frame =
      realistic::RenderFisheye(realistic::WorldPhoto(world), width, height, lens, CircleOf(lens, width, height));
  realistic::AddNoise(frame, 6.0, seed);
  return frame;
}

// Two lenses side by side, the back one darker.
realistic::Picture DualFrame(const std::string& world, int32_t width, int32_t height, const DualLens& lens,
                             uint32_t seed) {
  const int32_t half = FrontHalfWidth(width);
  const realistic::Picture& photo = realistic::WorldPhoto(world);
  const realistic::Picture front =
      realistic::RenderFisheye(photo, half, height, lens.front, FrontCircleOf(lens, width, height));
  realistic::Picture back =
      realistic::RenderFisheye(photo, width - half, height, BackLensOf(lens), BackCircleOf(lens, width, height));
  realistic::ScaleLight(back, 0.8);
  realistic::Picture frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.resize(4 * static_cast<size_t>(width) * height);
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(frame.At(0, y), front.At(0, y), 4 * static_cast<size_t>(half));
    std::memcpy(frame.At(half, y), back.At(0, y), 4 * static_cast<size_t>(width - half));
  }
  realistic::AddNoise(frame, 6.0, seed);
  return frame;
}

std::shared_ptr<const CalibratedLens> KannalaBrandtLens(int32_t width, int32_t height) {
  LensCalibration c;
  c.kind = LensCalibration::Kind::KannalaBrandt;
  c.width = width;
  c.height = height;
  c.fx = 0.24 * width;
  c.fy = 0.238 * width;
  c.cx = width / 2.0 + 3.2;
  c.cy = height / 2.0 - 4.3;
  c.skew = 0.004;
  c.k[0] = 0.021;
  c.k[1] = -0.0065;
  c.k[2] = 0.0012;
  c.k[3] = -0.0002;
  CalibratedLens placed;
  EXPECT_TRUE(PlaceCalibration(c, width, height, placed).ok());
  return std::make_shared<const CalibratedLens>(placed);
}

// Two frames of different worlds through one map (which must hold no pixel
// of the first) against TransformPicture, then ClearSideMargins where the
// program's own lens keeps its square alone.
TEST_F(ClipMapTest, OneLensFramesAreThePicturePassesBytes) {
  struct Case {
    const char* name;
    Lens lens;
    int32_t width, height;
    SaveShape shape;
    int32_t panoramaHeight;
  };
  Lens turned;
  turned.model = LensModel::Equisolid;
  turned.fovDegrees = 185;
  turned.circle = ImageCircle{241.3, 176.8, 171.5};
  turned.yawDegrees = 170;  // the field wraps round the sphere's back
  turned.pitchDegrees = 21;
  turned.rollDegrees = -7.5;
  Lens stereographic;
  stereographic.model = LensModel::Stereographic;
  stereographic.fovDegrees = 150;
  Lens calibrated;
  calibrated.fovDegrees = 360;
  calibrated.calibrated = KannalaBrandtLens(480, 360);
  calibrated.pitchDegrees = -12;
  const Case cases[] = {
      {"program lens", Lens{}, 481, 361, SaveShape::Square, 0},
      {"turned equisolid, sphere", turned, 480, 360, SaveShape::Sphere, 317},
      {"stereographic, rectangle", stereographic, 400, 400, SaveShape::Rectangle, 0},
      {"calibrated, sphere", calibrated, 480, 360, SaveShape::Sphere, 240},
  };
  for (const Case& c : cases) {
    const PanoramaSize size = PanoramaSizeFor(c.lens, c.shape, c.width, c.height, c.panoramaHeight);
    ASSERT_EQ(size.programLens, &c == &cases[0]) << c.name;
    const realistic::Picture frames[] = {LensFrame("forest.jpg", c.width, c.height, c.lens, 1),
                                         LensFrame("lake.jpg", c.width, c.height, c.lens, 2)};
    const size_t bytes = 4 * static_cast<size_t>(size.width) * size.height;
    const ClipMap map = ClipMap::ForLens(c.lens, c.width, c.height, size, 2);
    for (const KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      for (const realistic::Picture& frame : frames) {
        std::vector<uint8_t> expected(bytes, kUntouched);
        const PixelBuffer expectedView{expected.data(), size.width, size.height};
        TransformPicture(frame.View(), expectedView, c.lens, 1);
        if (size.programLens) ClearSideMargins(expectedView);
        ASSERT_NE(expected, std::vector<uint8_t>(bytes, kUntouched)) << c.name;
        for (const int32_t threads : {1, 3}) {
          std::vector<uint8_t> panorama(bytes, kUntouched);
          map.Apply(frame.View(), {panorama.data(), size.width, size.height}, {}, threads);
          EXPECT_TRUE(panorama == expected) << c.name << ", " << KernelPathName(path) << ", " << threads << " threads";
        }
      }
    }
  }
}

// Two lenses: the stitch with the gains handed in, the blend across the seam
// included, for gains that change every byte of the back and for none.
TEST_F(ClipMapTest, TwoLensFramesAreTheStitchsBytes) {
  struct Case {
    const char* name;
    DualLens lens;
    int32_t width, height, sphereHeight;
    ChannelGains gains;
  };
  DualLens wide;
  wide.front.fovDegrees = 200;
  wide.back = {0.7, -0.4, 0.3};
  DualLens placed;
  placed.front.model = LensModel::Equisolid;
  placed.front.fovDegrees = 192;
  placed.front.circle = ImageCircle{150.3, 149.2, 149};
  placed.backCircle = ImageCircle{149.1, 151.0, 150};
  placed.back = {0.9, -0.4, 1.3};
  placed.front.yawDegrees = 30;
  placed.front.pitchDegrees = 8;
  placed.front.rollDegrees = -4;
  const Case cases[] = {
      {"200 degrees, gains", wide, 600, 300, 300, {1.21, 1.18, 1.3}},
      {"200 degrees, no gains", wide, 600, 300, 300, {}},
      {"turned camera, odd width, own circles", placed, 601, 300, 229, {0.9, 1.05, 1.6}},
  };
  for (const Case& c : cases) {
    const PanoramaSize size = DualSphereSize(c.width, c.height, c.sphereHeight);
    const realistic::Picture frames[] = {DualFrame("forest.jpg", c.width, c.height, c.lens, 3),
                                         DualFrame("sky.jpg", c.width, c.height, c.lens, 4)};
    const size_t bytes = 4 * static_cast<size_t>(size.width) * size.height;
    const ClipMap map = ClipMap::ForDual(c.lens, c.width, c.height, size, 0);
    for (const KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      for (const realistic::Picture& frame : frames) {
        std::vector<uint8_t> expected(bytes, kUntouched);
        StitchDualPicture(frame.View(), {expected.data(), size.width, size.height}, c.lens, c.gains, 1);
        for (const int32_t threads : {1, 3}) {
          std::vector<uint8_t> panorama(bytes, kUntouched);
          map.Apply(frame.View(), {panorama.data(), size.width, size.height}, c.gains, threads);
          EXPECT_TRUE(panorama == expected) << c.name << ", " << KernelPathName(path) << ", " << threads << " threads";
        }
      }
    }
  }
}

// A video frame's planes through the maps made for them. Luma: the same
// bytes on every path, the pixel map's grey picture's to rounding, gains and
// blend included.
// Chroma: where the mean of each 2 x 2 block of the luma panorama falls, on
// a photograph whose chroma plane is its luma plane's 2 x 2 means.
TEST_F(ClipMapTest, PlanesFollowThePixelMap) {
  DualLens wide;
  wide.front.fovDegrees = 200;
  wide.back = {0.7, -0.4, 0.3};
  Lens calibrated;
  calibrated.fovDegrees = 360;
  calibrated.calibrated = KannalaBrandtLens(480, 360);
  // The least agreement of chroma: measured 29.7 and 35.1 dB; the map placed
  // half a luma pixel off each way gives 24.3 and 29.8.
  struct Case {
    const char* name;
    bool dual;
    int32_t width, height;
    double leastDecibels;
  };
  const Case cases[] = {{"two lenses", true, 600, 300, 29.0}, {"calibrated lens", false, 480, 360, 34.5}};
  for (const Case& c : cases) {
    const PanoramaSize size = c.dual ? DualSphereSize(c.width, c.height, 300)
                                     : PanoramaSizeFor(calibrated, SaveShape::Sphere, c.width, c.height, 240);
    const auto mapFor = [&](bool chroma) {
      return c.dual ? ClipMap::ForDual(wide, c.width, c.height, size, 2, chroma)
                    : ClipMap::ForLens(calibrated, c.width, c.height, size, 2, chroma);
    };
    realistic::Picture frame = c.dual ? DualFrame("forest.jpg", c.width, c.height, wide, 5)
                                      : LensFrame("forest.jpg", c.width, c.height, calibrated, 6);
    // Grey: every channel the green one; the plane, padded.
    const ptrdiff_t stride = c.width + 24;
    std::vector<uint8_t> luma(static_cast<size_t>(stride) * c.height);
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        uint8_t* pixel = frame.At(x, y);
        pixel[0] = pixel[2] = pixel[1];
        luma[static_cast<size_t>(y * stride + x)] = pixel[1];
      }
    }
    const ChannelGains gains{1.2, 1.2, 1.2};
    ClipMap lumaMap = mapFor(false);
    ASSERT_TRUE(lumaMap.AddressPlane(stride)) << c.name;
    ASSERT_FALSE(lumaMap.AddressPlane(stride)) << c.name;
    const size_t pixels = static_cast<size_t>(size.width) * size.height;
    std::vector<uint8_t> lumaPanorama;
    for (const KernelPath path : RunnableKernelPaths()) {
      ASSERT_TRUE(UseKernelPath(path));
      std::vector<uint8_t> expected(4 * pixels, kUntouched);
      mapFor(false).Apply(frame.View(), {expected.data(), size.width, size.height}, gains, 1);
      for (const int32_t threads : {1, 3}) {
        std::vector<uint8_t> plane(pixels, kUntouched);
        const ClipMap::Plane lumaPlane{luma.data(), plane.data(), {0.0f, 1.2f}};
        lumaMap.ApplyPlanes(&lumaPlane, 1, size.width, threads);
        // The plane map's fractions and weights are rounded finer than a
        // level: now and then a byte rounds the other way (the back lens's
        // under its gain).
        size_t differing = 0;
        int worst = 0;
        for (size_t i = 0; i < pixels; ++i) {
          const size_t bottomUp = (size.height - 1 - i / size.width) * size.width + i % size.width;
          differing += plane[i] != expected[4 * bottomUp + 1];
          worst = std::max(worst, std::abs(plane[i] - expected[4 * bottomUp + 1]));
        }
        EXPECT_LE(worst, 2) << c.name;  // a level, then the gain of 1.2
        EXPECT_LT(differing, pixels / 200) << c.name;
        if (lumaPanorama.empty()) lumaPanorama = plane;
        EXPECT_TRUE(plane == lumaPanorama) << c.name << ", " << KernelPathName(path) << ", " << threads << " threads";
      }
    }

    const int32_t chromaWidth = c.width / 2;
    const int32_t chromaHeight = c.height / 2;
    std::vector<uint8_t> chroma(static_cast<size_t>(chromaWidth) * chromaHeight);
    const auto mean = [](const uint8_t* top, ptrdiff_t rowBytes) {
      return static_cast<uint8_t>((top[0] + top[1] + top[rowBytes] + top[rowBytes + 1] + 2) / 4);
    };
    for (int32_t y = 0; y < chromaHeight; ++y)
      for (int32_t x = 0; x < chromaWidth; ++x)
        chroma[static_cast<size_t>(y * chromaWidth + x)] = mean(&luma[static_cast<size_t>(2 * y * stride + 2 * x)], stride);
    ClipMap chromaMap = mapFor(true);
    ASSERT_EQ(chromaMap.Size().width, size.width / 2);
    ASSERT_TRUE(chromaMap.AddressPlane(chromaWidth)) << c.name;
    const int32_t outWidth = size.width / 2;
    std::vector<uint8_t> plane(static_cast<size_t>(outWidth) * (size.height / 2), kUntouched);
    std::vector<uint8_t> twin(plane.size(), kUntouched);
    const ClipMap::Plane chromaPlanes[2] = {{chroma.data(), plane.data(), {0.0f, 1.2f}},
                                            {chroma.data(), twin.data(), {0.0f, 1.2f}}};
    chromaMap.ApplyPlanes(chromaPlanes, 2, outWidth, 2);
    EXPECT_TRUE(twin == plane) << c.name;
    double squares = 0;
    int64_t counted = 0;
    for (int32_t y = 0; y < size.height / 2; ++y) {
      for (int32_t x = 0; x < outWidth; ++x) {
        const uint8_t* block = &lumaPanorama[static_cast<size_t>(2 * y * size.width + 2 * x)];
        const uint8_t got = plane[static_cast<size_t>(y * outWidth + x)];
        const bool blockSampled = block[0] != kUntouched && block[1] != kUntouched &&
                                  block[size.width] != kUntouched && block[size.width + 1] != kUntouched;
        if (!blockSampled || got == kUntouched) continue;
        const double difference = static_cast<double>(got) - mean(block, size.width);
        squares += difference * difference;
        ++counted;
      }
    }
    ASSERT_GT(counted, int64_t{outWidth} * size.height / 4) << c.name;
    const double psnr = 10.0 * std::log10(255.0 * 255.0 * counted / squares);
    EXPECT_GT(psnr, c.leastDecibels) << c.name;
  }
}

// The plane samplers themselves, on a noisy plane: the vector form gives
// the plain one's bytes, for one plane and for two, with pixels left alone
// among them (the vector's gathered reads) and a count no vector divides.
// The planes' integer weights are the cubic weights to within their
// rounding at every fraction, and always sum to one, so a flat area stays flat.
TEST_F(ClipMapTest, PlaneWeightsAreTheCubicWeights) {
  double worst = 0.0;
  for (int32_t t = -16384; t <= 16384; ++t) {
    const std::array<int32_t, 4> weights = PlaneWeights(t);
    const std::array<float, 4> cubic = CubicWeights(static_cast<float>(t) * kFractionStep);
    ASSERT_EQ(weights[0] + weights[1] + weights[2] + weights[3], kPlaneWeightOne) << t;
    for (int j = 0; j < 4; ++j) worst = std::max(worst, std::abs(weights[j] - double{cubic[j]} * kPlaneWeightOne));
  }
  EXPECT_LT(worst, 1.5);
}

TEST_F(ClipMapTest, PlaneSamplersAgree) {
  constexpr int32_t kWidth = 300;
  constexpr int32_t kHeight = 200;
  const std::vector<uint8_t> noise = MakeNoisePicture(kWidth, kHeight, 7);
  const uint8_t* planes[2] = {noise.data(), noise.data() + noise.size() / 2};
  constexpr int32_t kCount = 1001;
  std::vector<int32_t> taps(kCount + 16, -1);
  std::vector<uint32_t> fractions(kCount + 16, 0);
  uint32_t state = 12345;
  const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  for (int32_t i = 0; i < kCount; ++i) {
    if (next() % 7 == 0) continue;  // left alone
    const int32_t x = static_cast<int32_t>(next() % (kWidth - 4));
    const int32_t y = 3 + static_cast<int32_t>(next() % (kHeight / 2 - 4));
    taps[i] = y * kWidth + x;
    fractions[i] = PackFractions((next() % 1001) / 1000.0f - 0.5f, (next() % 1001) / 1000.0f - 0.5f);
  }
  for (const int32_t count : {1, 2}) {
    const auto run = [&](PlaneSampler sample) {
      std::vector<uint8_t> out(2 * static_cast<size_t>(kCount), kUntouched);
      PlaneSet set;
      set.planes = count;
      for (int32_t p = 0; p < count; ++p) {
        set.sources[p] = planes[p];
        set.destinations[p] = out.data() + static_cast<size_t>(p) * kCount;
      }
      sample(set, taps.data(), fractions.data(), kCount, -kWidth);
      return out;
    };
    const std::vector<uint8_t> expected = run(SamplePlanesPlain);
    ASSERT_LT(std::count(expected.begin(), expected.begin() + count * kCount, kUntouched), count * kCount / 4);
    if (ProcessorHasAvx2()) {
      EXPECT_TRUE(run(SamplePlanesAvx2) == expected) << count << " planes";
    }
  }
}

}  // namespace
