// Calibrated lenses: the engine's placement of a calibration against the
// calibration's own words (calibration_model.h), photographs of a pattern
// through real lenses turned back into the pattern, and the same bits on
// every path.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "calibration_model.h"
#include "lens_model.h"
#include "test_pictures.h"
#include "transform/calibrated_lens.h"
#include "transform/resample.h"

namespace {

using namespace lens_model;

// A Hugin lens with every term at work, one of an OpenCV calibration with
// unequal focal lengths and a skew, and the equisolid lens of a two-lens
// camera with a strong polynomial.
LensCalibration HuginLens() {
  LensCalibration c;
  c.kind = LensCalibration::Kind::Hugin;
  c.width = 960;
  c.height = 720;
  c.projectionCode = 3;
  c.model = LensModel::Equidistant;
  c.fovDegrees = 250;
  c.a = 0.012;
  c.b = -0.041;
  c.c = 0.018;
  c.shiftX = 6.5;
  c.shiftY = -4.25;
  c.shearX = 2.5;
  c.shearY = -1.5;
  c.crop = CropRectangle{130, 830, 12, 708};
  return c;
}

LensCalibration OpenCvLens() {
  LensCalibration c;
  c.kind = LensCalibration::Kind::KannalaBrandt;
  c.width = 960;
  c.height = 720;
  c.fx = 231.5;
  c.fy = 229.0;
  c.cx = 483.2;
  c.cy = 355.7;
  c.skew = 0.004;
  c.k[0] = 0.021;
  c.k[1] = -0.0065;
  c.k[2] = 0.0012;
  c.k[3] = -0.0002;
  return c;
}

LensCalibration TwoLensCameraLens() {
  LensCalibration c;
  c.kind = LensCalibration::Kind::Hugin;
  c.width = 720;
  c.height = 720;
  c.projectionCode = 21;
  c.model = LensModel::Equisolid;
  c.fovDegrees = 196;
  c.b = 0.18;
  c.c = -0.05;
  c.shiftX = -3;
  c.shiftY = 2;
  return c;
}

std::shared_ptr<const CalibratedLens> Placed(const LensCalibration& calibration, int32_t width, int32_t height) {
  CalibratedLens placed;
  const Result result = PlaceCalibration(calibration, width, height, placed);
  EXPECT_TRUE(result.ok()) << result.reason();
  return std::make_shared<const CalibratedLens>(placed);
}

struct Case {
  const char* name;
  LensCalibration calibration;
  int32_t width, height;  // the picture's, maybe another resolution than the calibration's
};

std::vector<Case> Cases() {
  return {{"hugin", HuginLens(), 960, 720},
          {"hugin at half size", HuginLens(), 480, 360},
          {"opencv", OpenCvLens(), 960, 720},
          {"opencv at three quarters", OpenCvLens(), 720, 540},
          {"two-lens camera's lens", TwoLensCameraLens(), 720, 720}};
}

TEST(CalibratedLensTest, PlacesEveryDirectionWhereTheCalibrationSays) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::shared_ptr<const CalibratedLens> placed = Placed(c.calibration, c.width, c.height);
    double worst = 0;
    for (double theta = 0; theta < placed->thetaLimit; theta += 0.05) {
      for (double phi = -kPi; phi < kPi; phi += 0.3) {
        double x, y, expectedX, expectedY;
        PixelAt(*placed, theta, phi, x, y);
        calibration_model::Project(c.calibration, c.width, c.height, theta, phi, expectedX, expectedY);
        worst = std::max(worst, std::hypot(x - expectedX, y - expectedY));
      }
    }
    EXPECT_LT(worst, 1e-6);
  }
  // The crop's circle counts pixel edges: columns 130 to 829, rows 12 to 707.
  const CalibratedLens hugin = *Placed(HuginLens(), 960, 720);
  ASSERT_TRUE(hugin.crop);
  EXPECT_DOUBLE_EQ(hugin.crop->x, 479.5);
  EXPECT_DOUBLE_EQ(hugin.crop->y, 359.5);
  EXPECT_DOUBLE_EQ(hugin.crop->radius, 348.0);
}

// Photographs of the pattern through each lens, turned back into the sphere:
// as close to the pattern as an ideal lens gets (LensRoundTripTest), and
// black beyond the field.
TEST(CalibratedLensTest, GivesBackThePatternARealLensPhotographed) {
  const int32_t panoramaHeight = 200, panoramaWidth = 2 * panoramaHeight;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    Lens lens;
    lens.calibrated = Placed(c.calibration, c.width, c.height);
    lens.fovDegrees = 360;  // no cap
    lens.yawDegrees = 25;
    lens.pitchDegrees = -12;
    lens.rollDegrees = 8;
    const Camera camera = CameraOf(lens);
    const std::optional<ImageCircle> crop = lens.calibrated->crop;
    std::vector<uint8_t> fisheye(4 * static_cast<size_t>(c.width) * c.height, 0);
    const PixelBuffer picture{fisheye.data(), c.width, c.height};
    for (int32_t y = 0; y < c.height; ++y) {
      calibration_model::Guess near;
      for (int32_t x = 0; x < c.width; ++x) {
        double theta, phi;
        if (crop && std::hypot(x - crop->x, y - crop->y) > crop->radius) continue;
        if (!calibration_model::Unproject(c.calibration, c.width, c.height, x, y, theta, phi, &near) &&
            !calibration_model::Unproject(c.calibration, c.width, c.height, x, y, theta, phi))
          continue;
        if (theta > lens.calibrated->thetaLimit) continue;
        const Vector3 d = calibration_model::WorldDirection(camera, theta, phi);
        uint8_t* pixel = picture.Pixel(x, c.height - 1 - y);
        for (int channel = 0; channel < 3; ++channel) pixel[channel] = Level(PatternAt(channel, d));
      }
    }
    std::vector<uint8_t> panorama(4 * static_cast<size_t>(panoramaWidth) * panoramaHeight, 0);
    TransformPicture(picture, {panorama.data(), panoramaWidth, panoramaHeight}, lens, 2);

    std::vector<uint8_t> expected(panorama.size(), 0);
    std::vector<bool> inside(panorama.size() / 4, false);
    size_t insideCount = 0;
    for (int32_t y = 0; y < panoramaHeight; ++y) {
      for (int32_t x = 0; x < panoramaWidth; ++x) {
        const Vector3 d = PanoramaDirection(x, y, panoramaWidth, panoramaHeight);
        double theta, phi, px, py;
        calibration_model::LensAngles(camera, d, theta, phi);
        calibration_model::Project(c.calibration, c.width, c.height, theta, phi, px, py);
        const size_t at = static_cast<size_t>(y) * panoramaWidth + x;
        for (int channel = 0; channel < 3; ++channel) expected[4 * at + channel] = Level(PatternAt(channel, d));
        // Well inside the frame, the crop and the field: a sample's whole
        // neighbourhood saw the pattern.
        const double margin = 4.0 * c.width / 960;
        inside[at] = theta < lens.calibrated->thetaLimit - 0.05 && px > margin && py > margin &&
                     px < c.width - 1 - margin && py < c.height - 1 - margin &&
                     (!crop || std::hypot(px - crop->x, py - crop->y) < crop->radius - margin);
        insideCount += inside[at];
        // Past the crop, nothing.
        if (crop && std::hypot(px - crop->x, py - crop->y) > crop->radius + 1) {
          ASSERT_EQ(panorama[4 * at] | panorama[4 * at + 1] | panorama[4 * at + 2], 0) << x << "," << y;
        }
      }
    }
    ASSERT_GT(insideCount, inside.size() / 5);
    EXPECT_GE(PsnrOf(panorama, expected, [&](size_t pixel) { return inside[pixel]; }), 40.0);
  }
}

class CalibratedPathTest : public ::testing::Test {
 protected:
  void TearDown() override { UseKernelPath(KernelPath::Automatic); }
};

TEST_F(CalibratedPathTest, EveryPathAndThreadCountGivesThePlainLoopsBits) {
  const std::vector<uint8_t> source = MakeNoisePicture(960, 720, 7);
  const PixelBuffer picture{const_cast<uint8_t*>(source.data()), 960, 720};
  std::vector<uint16_t> source16 = MakeNoisePicture16(960, 720, 7);
  const PixelBuffer16 picture16{source16.data(), 960, 720};
  for (const Case& c : Cases()) {
    if (c.width != 960) continue;
    for (double pitch : {0.0, 40.0}) {
      SCOPED_TRACE(std::string(c.name) + " pitch " + std::to_string(pitch));
      Lens lens;
      lens.calibrated = Placed(c.calibration, 960, 720);
      lens.fovDegrees = 230;
      lens.pitchDegrees = pitch;
      lens.circle = ImageCircle{470.25, 362.5, 330};  // a limit given, besides the crop
      lens.radiusScale = 1.013;
      std::vector<uint8_t> reference;
      std::vector<uint16_t> reference16;
      for (KernelPath path : RunnableKernelPaths()) {
        ASSERT_TRUE(UseKernelPath(path));
        for (int32_t threads : {1, 3}) {
          std::vector<uint8_t> sphere(4 * 333 * 167, 0);
          TransformPicture(picture, {sphere.data(), 333, 167}, lens, threads);
          std::vector<uint16_t> sphere16(4 * 333 * 167, 0);
          TransformPicture(picture16, PixelBuffer16{sphere16.data(), 333, 167}, lens, threads);
          if (reference.empty()) {
            reference = sphere;
            reference16 = sphere16;
            ASSERT_GT(std::count_if(sphere16.begin(), sphere16.end(), [](uint16_t v) { return v > 255; }), 1000);
          }
          EXPECT_EQ(sphere, reference) << KernelPathName(path) << " threads " << threads;
          EXPECT_TRUE(sphere16 == reference16) << "16 bits, " << KernelPathName(path) << " threads " << threads;
        }
      }
    }
  }
}

// Limits beyond where the polynomial stops growing are refused, naming both.
TEST(CalibratedLensTest, ALimitBeyondTheFoldIsRefused) {
  LensCalibration folding = HuginLens();
  folding.crop.reset();
  folding.a = -1.0;  // rho stops growing well inside the frame
  CalibratedLens placed;
  ASSERT_TRUE(PlaceCalibration(folding, 960, 720, placed).ok());
  ASSERT_LT(placed.thetaLimit, kPi / 2);
  const double foldDegrees = placed.thetaLimit * 180 / kPi;
  EXPECT_TRUE(CheckFieldLimits(placed, 2 * foldDegrees - 1, std::nullopt).ok());
  const Result fov = CheckFieldLimits(placed, 2 * foldDegrees + 1, std::nullopt);
  ASSERT_FALSE(fov.ok());
  EXPECT_NE(fov.reason().find("stops growing"), std::string::npos) << fov.reason();
  EXPECT_NE(fov.reason().find("field of view"), std::string::npos) << fov.reason();
  const Result circle = CheckFieldLimits(placed, std::nullopt, ImageCircle{479.5, 359.5, 500});
  ASSERT_FALSE(circle.ok());
  EXPECT_NE(circle.reason().find("circle of radius 500"), std::string::npos) << circle.reason();
  folding.crop = CropRectangle{0, 960, -200, 920};  // a circle of radius 480
  EXPECT_FALSE(PlaceCalibration(folding, 960, 720, placed).ok());

  // Another shape than the calibration's picture.
  const Result shape = PlaceCalibration(OpenCvLens(), 960, 640, placed);
  ASSERT_FALSE(shape.ok());
  EXPECT_NE(shape.reason().find("960 x 720"), std::string::npos) << shape.reason();
}

}  // namespace
