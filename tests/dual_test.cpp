// Two lenses back to back, stitched into the whole sphere: round trips
// against our own forward model, the seam, the alignment search, and the same
// bits on every path, thread count and system.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lens_model.h"
#include "test_pictures.h"
#include "transform/dual_lens.h"
#include "transform/resample_kernels.h"

namespace {

using namespace lens_model;

// The smooth pattern with a finer texture over it, for the alignment to lock onto.
double TexturedWorld(int channel, Vector3 d) {
  return 0.75 * PatternAt(channel, d) + 28 + 30 * std::sin(23 * d.x + 5 * d.z) * std::cos(19 * d.y - 11 * d.z);
}

// A two-lens camera's picture of `world`: the front lens as `lens.front`
// holds it, the back lens at its offset from straight behind (composed here
// from the camera's own axes, not by the engine's turns), its levels times
// `backExposure`.
struct DualShot {
  std::vector<uint8_t> pixels;
  int32_t width = 0;
  int32_t height = 0;
  PixelBuffer Picture() { return {pixels.data(), width, height}; }
};

// What else may differ between the halves: the back lens's exposure per
// channel (blue, green, red; times backExposure), the world it sees, and a
// picture one column wider than twice its height.
struct ShotOptions {
  double backChannels[3] = {1, 1, 1};
  WorldPattern backWorld;
  bool oddWidth = false;
};

DualShot Photograph(const DualLens& lens, int32_t height, const WorldPattern& world, double backExposure,
                    const ShotOptions& options = {}) {
  DualShot shot;
  shot.height = height;
  shot.width = 2 * height + (options.oddWidth ? 1 : 0);
  shot.pixels.assign(4 * static_cast<size_t>(shot.width) * height, 0);
  // The back half starts at column W / 2, rounded down.
  const int32_t half = shot.width / 2;
  const Camera front = CameraOf(lens.front);
  const Camera back = BackCameraOf(front, lens.back.yawDegrees, lens.back.pitchDegrees, lens.back.rollDegrees);
  RenderFisheyeInto(shot.Picture(), 0, half, lens.front, front, FrontCircleOf(lens, shot.width, height), world);
  const WorldPattern backWorld = options.backWorld ? options.backWorld : world;
  RenderFisheyeInto(shot.Picture(), half, shot.width - half, lens.front, back, BackCircleOf(lens, shot.width, height),
                    [&](int channel, Vector3 d) { return options.backChannels[channel] * backWorld(channel, d); },
                    backExposure);
  return shot;
}

std::vector<uint8_t> Stitch(DualShot& shot, const DualLens& lens, int32_t threads = 0) {
  std::vector<uint8_t> sphere(8 * static_cast<size_t>(shot.height) * shot.height, 0);
  StitchDualPicture(shot.Picture(), {sphere.data(), 2 * shot.height, shot.height}, lens, threads);
  return sphere;
}

// The world as the sphere should show it.
std::vector<uint8_t> WorldSphere(int32_t height, const WorldPattern& world) {
  std::vector<uint8_t> sphere(8 * static_cast<size_t>(height) * height, 0);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < 2 * height; ++x)
      for (int c = 0; c < 3; ++c)
        sphere[4 * (static_cast<size_t>(y) * 2 * height + x) + c] =
            Level(world(c, PanoramaDirection(x, y, 2 * height, height)));
  return sphere;
}

DualLens MakeDual(LensModel model, double fov, ImageCircle front, ImageCircle back, BackLensOffset offset) {
  DualLens lens;
  lens.front.model = model;
  lens.front.fovDegrees = fov;
  lens.front.circle = front;
  lens.backCircle = back;
  lens.back = offset;
  return lens;
}

class DualPathTest : public ::testing::Test {
 protected:
  void TearDown() override { UseKernelPath(KernelPath::Automatic); }
};

// Off-centre circles of their own, the back lens about a degree off and 15%
// darker, the camera itself turned: the stitched sphere matches the world,
// and the alignment finds the back lens's offset from the picture alone.
TEST(DualRoundTripTest, TheStitchedSphereMatchesTheWorldAndAlignmentFindsTheOffset) {
  struct Case {
    DualLens lens;
    double cameraYaw, cameraPitch;
  };
  const Case cases[] = {
      {MakeDual(LensModel::Equidistant, 200, {301.2, 298.7, 296}, {297.6, 301.9, 294}, {1.1, -0.8, 0.6}), 0, 0},
      {MakeDual(LensModel::Equisolid, 190, {299.5, 300.5, 298}, {300.8, 299.1, 299}, {-0.7, 0.9, -1.2}), 25, -10},
  };
  for (const Case& c : cases) {
    DualLens lens = c.lens;
    lens.front.yawDegrees = c.cameraYaw;
    lens.front.pitchDegrees = c.cameraPitch;
    SCOPED_TRACE(LensModelName(lens.front.model));
    DualShot shot = Photograph(lens, 600, TexturedWorld, 0.85);
    const double psnr = PsnrOf(Stitch(shot, lens), WorldSphere(600, TexturedWorld));
    EXPECT_GE(psnr, 35.0);

    DualLens unknown = lens;
    unknown.back = {};
    BackLensOffset found;
    ASSERT_TRUE(AlignBackLens(shot.Picture(), unknown, 0, found).ok());
    EXPECT_NEAR(found.yawDegrees, lens.back.yawDegrees, 0.1);
    EXPECT_NEAR(found.pitchDegrees, lens.back.pitchDegrees, 0.1);
    EXPECT_NEAR(found.rollDegrees, lens.back.rollDegrees, 0.1);

    // Of alignments half a degree off and the true one, the true one
    // disagrees least, wherever it stands among them.
    std::vector<DualLens> candidates(3, lens);
    candidates[0].back.yawDegrees += 0.5;
    candidates[2].back.rollDegrees -= 0.5;
    const PixelBuffer pictures[] = {shot.Picture(), shot.Picture()};
    EXPECT_EQ(LeastDisagreement(pictures, candidates), 1u);
  }
}

// On the smooth world, with the back lens 15% darker: along the seam the
// sphere's error on the back's side of the band is within a level of the
// front side's, and no column across the band has a steeper gradient than
// the columns a few degrees away.
TEST(DualSeamTest, NoStepAndNoLineAcrossTheSeam) {
  const int32_t height = 600;
  const DualLens lens = MakeDual(LensModel::Equidistant, 200, {300, 300, 298}, {299, 301, 297}, {0.8, -0.5, 0.4});
  DualShot shot = Photograph(lens, height, PatternAt, 0.85);
  const std::vector<uint8_t> sphere = Stitch(shot, lens);
  const std::vector<uint8_t> world = WorldSphere(height, PatternAt);
  // The seam crosses the equator's middle rows at longitude +-90 degrees,
  // columns width / 4 and 3 width / 4; the band is a few degrees wide.
  const int32_t width = 2 * height;
  const int32_t degree = height / 180;  // columns
  const auto at = [&](const std::vector<uint8_t>& p, int32_t x, int32_t y, int c) {
    return static_cast<double>(p[4 * (static_cast<size_t>(y) * width + x) + c]);
  };
  for (const int32_t seamColumn : {width / 4, 3 * width / 4}) {
    SCOPED_TRACE(seamColumn);
    double frontSide = 0, backSide = 0, count = 0;
    std::vector<double> gradient(16 * degree, 0.0);
    for (int32_t y = height / 3; y < 2 * height / 3; ++y) {
      for (int c = 0; c < 3; ++c) {
        for (int32_t k = 4 * degree; k < 6 * degree; ++k) {
          // The front is nearer longitude 0, the middle of the sphere.
          const int32_t towardsFront = seamColumn < width / 2 ? seamColumn + k : seamColumn - k;
          const int32_t towardsBack = seamColumn < width / 2 ? seamColumn - k : seamColumn + k;
          frontSide += at(sphere, towardsFront, y, c) - at(world, towardsFront, y, c);
          backSide += at(sphere, towardsBack, y, c) - at(world, towardsBack, y, c);
          count += 1;
        }
        for (int32_t k = 0; k < 16 * degree; ++k) {
          const int32_t x = seamColumn - 8 * degree + k;
          gradient[k] += std::abs((at(sphere, x + 1, y, c) - at(world, x + 1, y, c)) - (at(sphere, x, y, c) - at(world, x, y, c)));
        }
      }
    }
    EXPECT_LT(std::abs(frontSide - backSide) / count, 1.0);
    // The band is the middle 6 degrees; columns 5 to 8 degrees away are the reference.
    double farAway = 0;
    for (int32_t k = 0; k < 3 * degree; ++k) farAway = std::max({farAway, gradient[k], gradient[16 * degree - 1 - k]});
    for (int32_t k = 5 * degree; k < 11 * degree; ++k) EXPECT_LT(gradient[k], 1.5 * farAway) << k;
  }
}

// Every path and thread count gives the plain loop's bits, and these
// checksums on every system.
TEST_F(DualPathTest, EveryPathThreadCountAndSystemGivesTheSameBits) {
  const DualLens lens = MakeDual(LensModel::Equidistant, 196, {150.3, 149.2, 149}, {149.1, 151.0, 150}, {0.9, -0.4, 1.3});
  DualShot shot = Photograph(lens, 300, TexturedWorld, 0.8);
  ASSERT_TRUE(UseKernelPath(KernelPath::Plain));
  const std::vector<uint8_t> plain = Stitch(shot, lens, 1);
  for (const KernelPath path : RunnableKernelPaths()) {
    ASSERT_TRUE(UseKernelPath(path));
    for (const int32_t threads : {1, 2, 3}) {
      EXPECT_EQ(Stitch(shot, lens, threads), plain) << KernelPathName(path) << ", " << threads << " threads";
    }
  }
  EXPECT_EQ(Fnv1a(plain.data(), plain.size()), 0xebf5bae2985562eeu);
  for (const int32_t threads : {1, 2}) {
    DualLens unknown = lens;
    unknown.back = {};
    BackLensOffset found;
    ASSERT_TRUE(AlignBackLens(shot.Picture(), unknown, threads, found).ok());
    char printed[64];
    std::snprintf(printed, sizeof printed, "%.2f %.2f %.2f", found.yawDegrees, found.pitchDegrees, found.rollDegrees);
    EXPECT_STREQ(printed, "0.90 -0.40 1.30") << threads << " threads";
  }
}

// The stitch in 16 bits, the gains matched on the 8-bit picture: the same
// bits on every path and thread count, and the 8-bit stitch's sphere to
// within the 8-bit rounding of the picture (45 dB on the 16-bit scale) but
// not merely its levels times 257.
TEST_F(DualPathTest, TheSixteenBitStitchAgreesWithTheEightBitOne) {
  const DualLens lens = MakeDual(LensModel::Equisolid, 200, {150.3, 149.2, 149}, {149.1, 151.0, 150}, {0.9, -0.4, 1.3});
  DualShot shot = Photograph(lens, 300, TexturedWorld, 0.8);
  // Levels between the 8-bit ones, which still reduce to the shot's.
  std::vector<uint16_t> deep = Widened(shot.pixels);
  for (size_t i = 0; i < deep.size(); ++i)
    if (i % 4 != 3 && deep[i] >= 64 && deep[i] <= 65535 - 64) deep[i] = static_cast<uint16_t>(deep[i] + (i * 37 % 127) - 63);
  ASSERT_TRUE(Reduced(deep) == shot.pixels);
  const ChannelGains gains = MatchExposure(shot.Picture(), lens);
  const auto stitch16 = [&](int32_t threads) {
    std::vector<uint16_t> sphere(8 * static_cast<size_t>(shot.height) * shot.height, 0);
    StitchDualPicture(PixelBuffer16{deep.data(), shot.width, shot.height},
                      PixelBuffer16{sphere.data(), 2 * shot.height, shot.height}, lens, gains, threads);
    return sphere;
  };
  ASSERT_TRUE(UseKernelPath(KernelPath::Plain));
  const std::vector<uint16_t> plain = stitch16(1);
  for (const KernelPath path : RunnableKernelPaths()) {
    ASSERT_TRUE(UseKernelPath(path));
    for (const int32_t threads : {1, 3}) EXPECT_TRUE(stitch16(threads) == plain) << KernelPathName(path) << ", " << threads;
  }
  const double psnr = Psnr16Of(plain, Widened(Stitch(shot, lens, 2)));
  EXPECT_GE(psnr, 45.0);
  EXPECT_LT(psnr, 70.0);
}

// What is not two lenses side by side is refused, and each half's circle is
// found in its own coordinates.
TEST(DualPictureTest, PicturesThatAreNotSideBySideAreRefusedAndCirclesAreFoundPerHalf) {
  EXPECT_TRUE(IsSideBySide(2000, 1000));
  EXPECT_TRUE(IsSideBySide(2040, 1000));
  EXPECT_TRUE(IsSideBySide(1960, 1000));
  EXPECT_FALSE(IsSideBySide(2041, 1000));
  EXPECT_FALSE(IsSideBySide(1959, 1000));
  EXPECT_FALSE(IsSideBySide(1000, 1000));
  const DualLens lens = MakeDual(LensModel::Equidistant, 200, {196.4, 203.1, 180.5}, {203.7, 196.2, 185.25}, {});
  DualShot shot = Photograph(lens, 400, TexturedWorld, 0.9);
  ImageCircle front, back;
  ASSERT_TRUE(FindDualCircles(shot.Picture(), front, back).ok());
  EXPECT_NEAR(front.x, 196.4, 0.3);
  EXPECT_NEAR(front.y, 203.1, 0.3);
  EXPECT_NEAR(front.radius, 180.5, 0.3);
  EXPECT_NEAR(back.x, 203.7, 0.3);
  EXPECT_NEAR(back.y, 196.2, 0.3);
  EXPECT_NEAR(back.radius, 185.25, 0.3);
  std::vector<uint8_t> square(4 * 400 * 400, 0);
  BackLensOffset offset;
  EXPECT_FALSE(AlignBackLens({square.data(), 400, 400}, lens, 0, offset).ok());
  EXPECT_FALSE(FindDualCircles({square.data(), 400, 400}, front, back).ok());
}

// What the stitch must get right beyond a plain picture: the back half of a
// picture of odd width starts at column W / 2 rounded down; the exposure is
// matched per channel; and outside the blend band each lens is alone, the
// front on the front's side of it, the back on the back's.
TEST(DualEdgeTest, OddWidthChannelGainsAndTheBandsEdges) {
  const int32_t height = 400;
  const DualLens lens = MakeDual(LensModel::Equidistant, 200, {200.5, 199.5, 198}, {200, 200, 197}, {0.6, -0.4, 0.3});
  ShotOptions odd;
  odd.oddWidth = true;
  odd.backChannels[0] = 0.8;
  odd.backChannels[2] = 1.15;
  DualShot shot = Photograph(lens, height, TexturedWorld, 1.0, odd);
  ASSERT_EQ(shot.width % 2, 1);
  // The back lens's side of the sphere alone: a column's shift shows there.
  const auto backSide = [&](size_t pixel) {
    const int32_t x = static_cast<int32_t>(pixel % (2 * height));
    return x < height / 2 || x >= 3 * height / 2;
  };
  // (53 dB; the back half read a column off gives 41.)
  EXPECT_GE(PsnrOf(Stitch(shot, lens), WorldSphere(height, TexturedWorld), backSide), 47.0);
  const ChannelGains gains = MatchExposure(shot.Picture(), lens);
  EXPECT_NEAR(gains.blue, 1 / 0.8, 0.02);
  EXPECT_NEAR(gains.green, 1.0, 0.02);
  EXPECT_NEAR(gains.red, 1 / 1.15, 0.02);

  // The back lens sees another world: each side of the band shows its own.
  const WorldPattern other = [](int channel, Vector3 d) { return PatternAt(channel, {d.z, d.x, d.y}); };
  ShotOptions two;
  two.backWorld = other;
  DualLens straight = lens;
  straight.back = {};
  DualShot worlds = Photograph(straight, height, PatternAt, 1.0, two);
  const std::vector<uint8_t> sphere = Stitch(worlds, straight);
  const std::vector<uint8_t> front = WorldSphere(height, PatternAt), back = WorldSphere(height, other);
  const ChannelGains backGains = MatchExposure(worlds.Picture(), straight);
  const double gain[3] = {backGains.blue, backGains.green, backGains.red};
  // The band is 3 degrees either side of longitude +-90; half a degree more
  // for the pixels' size.
  const int32_t width = 2 * height;
  for (int32_t y = height / 3; y < 2 * height / 3; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const double longitude = std::abs((x + 0.5 - height) * 180.0 / height);
      const bool frontAlone = longitude < 86.5, backAlone = longitude > 93.5;
      if (!frontAlone && !backAlone) continue;
      const size_t at = 4 * (static_cast<size_t>(y) * width + x);
      for (int c = 0; c < 3; ++c) {
        const double expected = frontAlone ? front[at + c] : std::min(255.0, back[at + c] * gain[c]);
        ASSERT_NEAR(sphere[at + c], expected, 3.0) << (frontAlone ? "front" : "back") << " at " << x << "," << y;
      }
    }
  }
}

}  // namespace
