// Real cameras: photographs of real scenes (realistic_pictures.h) through
// calibrated lenses, one lens and two unequal lenses side by side, turned back
// into the world; and two-lens cameras that measure their own lenses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "calibration_model.h"
#include "lens_model.h"
#include "realistic_pictures.h"
#include "test_pictures.h"
#include "transform/calibrated_lens.h"
#include "transform/dual_lens.h"
#include "transform/resample.h"

namespace {

using namespace lens_model;

// The direction each pixel of a picture `width` x `height` sees through
// `calibration`, held as `camera`: none past its crop or its fold. Pixels are
// asked for row by row, so each starts from its neighbour's answer.
// With `scale`, the lens's radii are that much larger than the calibration
// says.
realistic::PixelDirection Through(const LensCalibration& calibration, int32_t width, int32_t height,
                                  const Camera& camera, double scale = 1) {
  CalibratedLens placed;
  EXPECT_TRUE(PlaceCalibration(calibration, width, height, placed).ok());
  auto near = std::make_shared<calibration_model::Guess>();
  return [=](double x, double y, Vector3& direction) {
    x = placed.centreX + (x - placed.centreX) / scale;
    y = placed.centreY + (y - placed.centreY) / scale;
    if (placed.crop && std::hypot(x - placed.crop->x, y - placed.crop->y) > placed.crop->radius) return false;
    double theta, phi;
    if (!calibration_model::Unproject(calibration, width, height, x, y, theta, phi, near.get()) &&
        !calibration_model::Unproject(calibration, width, height, x, y, theta, phi))
      return false;
    if (theta > placed.thetaLimit) return false;
    direction = calibration_model::WorldDirection(camera, theta, phi);
    return true;
  };
}

// Whether a direction lands well inside the picture and the field of
// `calibration` held as `camera`: a sample there saw only the scene.
bool WellInside(const LensCalibration& calibration, const CalibratedLens& placed, int32_t width, int32_t height,
                const Camera& camera, Vector3 d) {
  double theta, phi, x, y;
  calibration_model::LensAngles(camera, d, theta, phi);
  if (theta > placed.thetaLimit - 0.05) return false;
  calibration_model::Project(calibration, width, height, theta, phi, x, y);
  const double margin = 4;
  if (!(x > margin && y > margin && x < width - 1 - margin && y < height - 1 - margin)) return false;
  return !placed.crop || std::hypot(x - placed.crop->x, y - placed.crop->y) < placed.crop->radius - margin;
}

// PSNR of `sphere` against the world itself over the directions `counted`.
double PsnrAgainstWorld(const realistic::Picture& world, const std::vector<uint8_t>& sphere, int32_t height,
                        const std::function<bool(Vector3)>& counted) {
  const int32_t width = 2 * height;
  std::vector<uint8_t> expected(sphere.size(), 0);
  std::vector<bool> inside(sphere.size() / 4, false);
  size_t count = 0;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const Vector3 d = PanoramaDirection(x, y, width, height);
      const size_t at = static_cast<size_t>(y) * width + x;
      const realistic::Colour colour = realistic::WorldColour(world, d);
      expected[4 * at] = Level(colour.blue);
      expected[4 * at + 1] = Level(colour.green);
      expected[4 * at + 2] = Level(colour.red);
      inside[at] = counted(d);
      count += inside[at];
    }
  }
  EXPECT_GT(count, inside.size() / 5);
  return PsnrOf(sphere, expected, [&](size_t pixel) { return inside[pixel]; });
}

// The sphere an independent inverse makes of `picture`: each direction's
// point in it (`pointOf`: false where none) read bilinearly. On a detailed
// photograph no resampler gives the world back at 35 dB; this says what the
// picture allows.
std::vector<uint8_t> IndependentSphere(const realistic::Picture& picture, int32_t height,
                                       const std::function<bool(Vector3, double&, double&)>& pointOf) {
  const int32_t width = 2 * height;
  std::vector<uint8_t> sphere(4 * static_cast<size_t>(width) * height, 0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      double px, py;
      if (!pointOf(PanoramaDirection(x, y, width, height), px, py)) continue;
      const int32_t left = static_cast<int32_t>(std::floor(px)), top = static_cast<int32_t>(std::floor(py));
      if (left < 0 || top < 0 || left + 1 >= picture.width || top + 1 >= picture.height) continue;
      const double ax = px - left, ay = py - top;
      for (int c = 0; c < 3; ++c) {
        const double upper = picture.At(left, top)[c] * (1 - ax) + picture.At(left + 1, top)[c] * ax;
        const double lower = picture.At(left, top + 1)[c] * (1 - ax) + picture.At(left + 1, top + 1)[c] * ax;
        sphere[4 * (static_cast<size_t>(y) * width + x) + c] = Level(upper * (1 - ay) + lower * ay);
      }
    }
  }
  return sphere;
}

// A two-lens camera's lenses: unequal (195.5 and 192.0 degrees across the
// half's width, different polynomials), centres off the halves' middles,
// circles larger than the halves, so the frame clips them on all four sides.
LensCalibration CameraLens(bool back) {
  LensCalibration c;
  c.kind = LensCalibration::Kind::Hugin;
  c.width = 640;
  c.height = 640;
  c.projectionCode = 3;
  c.model = LensModel::Equidistant;
  c.fovDegrees = back ? 192.0 : 195.5;
  c.b = back ? 0.31 : 0.26;
  c.c = back ? -0.04 : 0.02;
  c.shiftX = back ? -5.5 : 4.0;
  c.shiftY = back ? 3.0 : -2.5;
  return c;
}

TEST(RealCameraTest, OneCalibratedLensGivesBackTheWorld) {
  LensCalibration hugin = CameraLens(false);
  hugin.width = 960;
  hugin.height = 720;
  hugin.fovDegrees = 250;
  hugin.a = 0.01;
  hugin.shearX = 1.5;
  hugin.shearY = -1.0;
  hugin.crop = CropRectangle{150, 810, 30, 690};
  LensCalibration opencv;
  opencv.kind = LensCalibration::Kind::KannalaBrandt;
  opencv.fx = 241.5;
  opencv.fy = 238.0;
  opencv.cx = 478.2;
  opencv.cy = 361.7;
  opencv.k[0] = 0.03;
  opencv.k[1] = -0.008;
  opencv.k[2] = 0.0015;
  for (const auto& [name, calibration, scene] : {std::tuple{"hugin", hugin, "forest.jpg"},
                                                 std::tuple{"opencv", opencv, "lake.jpg"}}) {
    SCOPED_TRACE(name);
    const realistic::Picture& world = realistic::WorldPhoto(scene);
    Lens lens;
    lens.fovDegrees = 360;
    lens.yawDegrees = 40;
    lens.pitchDegrees = 10;
    lens.rollDegrees = -6;
    const Camera camera = CameraOf(lens);
    const realistic::Picture picture =
        realistic::RenderFisheye(world, 960, 720, Through(calibration, 960, 720, camera));
    CalibratedLens placed;
    ASSERT_TRUE(PlaceCalibration(calibration, 960, 720, placed).ok());
    lens.calibrated = std::make_shared<const CalibratedLens>(placed);
    const int32_t height = 512;
    std::vector<uint8_t> sphere(4 * static_cast<size_t>(2 * height) * height, 0);
    TransformPicture(picture.View(), {sphere.data(), 2 * height, height}, lens, 0);
    const auto inside = [&](Vector3 d) { return WellInside(calibration, placed, 960, 720, camera, d); };
    const double psnr = PsnrAgainstWorld(world, sphere, height, inside);
    const std::vector<uint8_t> independent = IndependentSphere(picture, height, [&](Vector3 d, double& x, double& y) {
      double theta, phi;
      calibration_model::LensAngles(camera, d, theta, phi);
      calibration_model::Project(calibration, 960, 720, theta, phi, x, y);
      return true;
    });
    const double bar = PsnrAgainstWorld(world, independent, height, inside);
    EXPECT_GE(psnr, std::min(35.0, bar - 1.0)) << "an independent inverse: " << bar << " dB";
    std::printf("%s: %.2f dB against the world (an independent inverse %.2f)\n", name, psnr, bar);
  }
}

// The camera's picture: each half photographed through its own lens, the
// back one behind, turned by `offset`.
struct Camera2 {
  realistic::Picture picture;
  DualLens lens;  // the truth
};

// Two halves side by side.
realistic::Picture SideBySide(const realistic::Picture& left, const realistic::Picture& right) {
  realistic::Picture picture{std::vector<uint8_t>(4 * static_cast<size_t>(left.width + right.width) * left.height),
                             left.width + right.width, left.height};
  for (int32_t y = 0; y < left.height; ++y) {
    std::copy_n(left.At(0, y), 4 * left.width, picture.At(0, y));
    std::copy_n(right.At(0, y), 4 * right.width, picture.At(left.width, y));
  }
  return picture;
}

// With `scales`, each lens's radii are that much larger than its
// calibration says; the camera is held pitched up by `pitch`.
Camera2 PhotographTwoLenses(const realistic::Picture& world, const LensCalibration& front,
                            const LensCalibration& back, const BackLensOffset& offset, double pitch = 0,
                            std::pair<double, double> scales = {1, 1}) {
  const int32_t half = 640, height = 640;
  Camera2 camera;
  camera.lens.front.fovDegrees = 360;
  camera.lens.front.yawDegrees = 15;
  camera.lens.front.pitchDegrees = pitch;
  camera.lens.back = offset;
  CalibratedLens placed;
  EXPECT_TRUE(PlaceCalibration(front, half, height, placed).ok());
  camera.lens.front.calibrated = std::make_shared<const CalibratedLens>(placed);
  EXPECT_TRUE(PlaceCalibration(back, half, height, placed).ok());
  camera.lens.backCalibrated = std::make_shared<const CalibratedLens>(placed);
  const realistic::Picture left = realistic::RenderFisheye(
      world, half, height, Through(front, half, height, CameraOf(camera.lens.front), scales.first));
  const realistic::Picture right = realistic::RenderFisheye(
      world, half, height, Through(back, half, height, CameraOf(BackLensOf(camera.lens)), scales.second));
  camera.picture = SideBySide(left, right);
  return camera;
}

TEST(RealCameraTest, TwoUnequalCalibratedLensesStitchIntoTheWorld) {
  const realistic::Picture& world = realistic::WorldPhoto("forest.jpg");
  const LensCalibration front = CameraLens(false), back = CameraLens(true);
  const Camera2 camera = PhotographTwoLenses(world, front, back, {0.7, 0.9, -1.4});
  const int32_t height = 512;
  std::vector<uint8_t> sphere(4 * static_cast<size_t>(2 * height) * height, 0);
  StitchDualPicture(camera.picture.View(), {sphere.data(), 2 * height, height}, camera.lens, 0);
  const Camera frontCamera = CameraOf(camera.lens.front), backCamera = CameraOf(BackLensOf(camera.lens));
  // Whichever lens the seam gives the direction to sees it well.
  const auto frontSide = [&](Vector3 d) { return Dot(d, frontCamera.ahead) >= Dot(d, backCamera.ahead); };
  const auto inside = [&](Vector3 d) {
    return frontSide(d) ? WellInside(front, *camera.lens.front.calibrated, 640, 640, frontCamera, d)
                        : WellInside(back, *camera.lens.backCalibrated, 640, 640, backCamera, d);
  };
  const double psnr = PsnrAgainstWorld(world, sphere, height, inside);
  const std::vector<uint8_t> independent =
      IndependentSphere(camera.picture, height, [&](Vector3 d, double& x, double& y) {
        double theta, phi;
        const bool ahead = frontSide(d);
        calibration_model::LensAngles(ahead ? frontCamera : backCamera, d, theta, phi);
        calibration_model::Project(ahead ? front : back, 640, 640, theta, phi, x, y);
        if (!ahead) x += 640;
        return true;
      });
  const double bar = PsnrAgainstWorld(world, independent, height, inside);
  EXPECT_GE(psnr, std::min(35.0, bar - 1.0)) << "an independent inverse: " << bar << " dB";
  std::printf("two calibrated lenses: %.2f dB against the world (an independent inverse %.2f)\n", psnr, bar);
}

// Two-lens cameras measure their own lenses: ideal lenses of unequal fields
// of view with their circles given, and calibrated lenses whose radii are a
// little off. The overlap must show some of the scene: the camera is held
// tilted, so that its ring crosses the photographs' middles rather than
// their stretched, featureless poles.
TEST(RealCameraTest, TwoLensesMeasureTheirOwnSizes) {
  for (const char* scene : {"forest.jpg", "lake.jpg"}) {
    SCOPED_TRACE(scene);
    const realistic::Picture& world = realistic::WorldPhoto(scene);
    const int32_t half = 640, height = 640;
    DualLens truth;
    truth.front.model = LensModel::Equisolid;
    truth.front.fovDegrees = 196.4;
    truth.backFovDegrees = 193.2;
    truth.front.circle = ImageCircle{322.5, 317.0, 330.0};
    truth.backCircle = ImageCircle{316.0, 321.5, 326.0};
    truth.back = {0.7, 0.9, -1.4};
    truth.front.pitchDegrees = 60;
    const realistic::Picture left = realistic::RenderFisheye(world, half, height, truth.front, *truth.front.circle);
    const realistic::Picture right = realistic::RenderFisheye(world, half, height, BackLensOf(truth), *truth.backCircle);
    DualLens start = truth;
    start.front.fovDegrees = 195;
    start.backFovDegrees.reset();
    start.back = {};
    DualLens found;
    ASSERT_TRUE(AlignLenses(SideBySide(left, right).View(), start, true, false, 0, found).ok());
    EXPECT_NEAR(found.front.fovDegrees, 196.4, 0.5);
    EXPECT_NEAR(*found.backFovDegrees, 193.2, 0.5);
    EXPECT_NEAR(found.back.yawDegrees, 0.7, 0.1);
    EXPECT_NEAR(found.back.pitchDegrees, 0.9, 0.1);
    EXPECT_NEAR(found.back.rollDegrees, -1.4, 0.1);
    // The same answer on one thread as on every core.
    DualLens alone;
    ASSERT_TRUE(AlignLenses(SideBySide(left, right).View(), start, true, false, 1, alone).ok());
    EXPECT_EQ(alone.front.fovDegrees, found.front.fovDegrees);
    EXPECT_EQ(alone.backFovDegrees, found.backFovDegrees);
    EXPECT_EQ(alone.back.yawDegrees, found.back.yawDegrees);

    // Calibrated lenses, 1.2% too small and 0.9% too large.
    const Camera2 camera = PhotographTwoLenses(world, CameraLens(false), CameraLens(true), {0.7, 0.9, -1.4}, 60,
                                               {1.012, 0.991});
    ASSERT_TRUE(AlignLenses(camera.picture.View(), camera.lens, true, false, 0, found).ok());
    EXPECT_NEAR(found.front.radiusScale, 1.012, 0.004);
    EXPECT_NEAR(found.backRadiusScale, 0.991, 0.004);
    EXPECT_NEAR(found.back.yawDegrees, 0.7, 0.1);
  }
}

}  // namespace

namespace {

// The alignment admits failure: a camera's picture, degraded as real ones
// are, aligns; two unrelated photographs and two featureless discs do not,
// each with its reason.
TEST(RealCameraTest, AlignmentFindsRealCamerasAndAdmitsFailure) {
  const int32_t half = 640, height = 640;
  DualLens truth;
  truth.front.fovDegrees = 204;
  truth.front.pitchDegrees = 50;
  truth.front.circle = ImageCircle{319.5, 318.0, 322.0};
  truth.back = {0.8, -0.6, 1.1};
  const auto photograph = [&](const char* frontScene, const char* backScene, double light, bool degrade) {
    const Lens back = BackLensOf(truth);
    realistic::Picture left =
        realistic::RenderFisheye(realistic::WorldPhoto(frontScene), half, height, truth.front, *truth.front.circle);
    realistic::Picture right =
        realistic::RenderFisheye(realistic::WorldPhoto(backScene), half, height, back, *truth.front.circle);
    for (realistic::Picture* lens : {&left, &right}) {
      realistic::ScaleLight(*lens, light);
      if (!degrade) continue;
      realistic::Vignette(*lens, *truth.front.circle, 0.35);
      realistic::AddNoise(*lens, 3.0, lens == &left ? 1 : 2);
    }
    if (degrade) realistic::ScaleLight(right, 0.85);
    realistic::Picture picture = SideBySide(left, right);
    if (degrade) realistic::JpegRoundTrip(picture, 88);
    return picture;
  };
  DualLens start = truth;
  start.back = {};
  BackLensOffset found;
  const realistic::Picture camera = photograph("forest.jpg", "forest.jpg", 1.0, true);
  ASSERT_TRUE(AlignBackLens(camera.View(), start, 0, found).ok());
  EXPECT_NEAR(found.yawDegrees, 0.8, 0.1);
  EXPECT_NEAR(found.pitchDegrees, -0.6, 0.1);
  EXPECT_NEAR(found.rollDegrees, 1.1, 0.1);

  const std::pair<realistic::Picture, const char*> kFailures[] = {
      {photograph("forest.jpg", "lake.jpg", 1.0, false), "disagree where they overlap"},
      // All but black: a lens cap, or a night sky without stars.
      {photograph("sky.jpg", "sky.jpg", 0.02, false), "too even to align"},
  };
  for (const auto& [picture, reason] : kFailures) {
    const Result result = AlignBackLens(picture.View(), start, 0, found);
    ASSERT_FALSE(result.ok()) << reason;
    EXPECT_NE(result.reason().find(reason), std::string::npos) << result.reason();
  }
}

}  // namespace
