// Hugin's nona and OpenCV's fisheye model as peers for calibrated lenses:
// each makes the sphere of a fisheye photograph through a calibration file,
// and our transform through the same file must agree with it about as well
// as it does through an ideal lens. What Debian 12's nona (Hugin 2022.0) and
// python3-opencv (4.6) were measured to do, with pictures whose levels are
// their own pixel coordinates (nona's sphere then holds, in every pixel, the
// position it sampled):
// - nona agrees with calibration.h to within 0.1 pixel (its cubic kernel's
//   error on such a ramp) for every model, field and pose tried: the ideal
//   radius for v across the width, centred at ((W - 1) / 2, (H - 1) / 2);
//   a, b, c on r in units of half the smaller side, also in a portrait
//   picture; the shift d, e (right, down) before the shear x += g / H y,
//   y += t / W x (told apart with d, e = 100, -80 and g, t = 150, -120);
//   y, p, r our yaw, pitch and roll; the sphere's pixel centres ours.
// - nona's crop S l,r,t,b is a circle only for a circular fisheye (f2) and
//   an orthographic lens (f8): centre ((l + r) / 2, (t + b) / 2) from the
//   top-left pixel's centre (the band where lit and dark sphere pixels mix
//   is 1 pixel wide about it, 2.2 about a centre half a pixel off), radius
//   min(r - l, b - t) / 2. For f3, f10 and f21 it crops to the rectangle.
//   We centre the circle on the middle of the pixels it spans, columns l to
//   r - 1 and rows t to b - 1, half a pixel up and left of nona's, and take
//   it for every code; only the rim can tell, and it is not compared.
// - cv2.fisheye.projectPoints follows calibration.h, with the skew given as
//   its alpha (it ignores K[0][1]); it cannot tell a direction from the one
//   opposite, so only the half sphere ahead of the lens is compared.
// Linux only: the peers are Linux tools here, and the Windows tests run
// under Wine.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calibration_model.h"
#include "exiftool.h"
#include "imageio/decode_picture.h"
#include "lens_model.h"
#include "picture_files.h"
#include "realistic_pictures.h"
#include "test_pictures.h"
#include "transform/calibrated_lens.h"
#include "transform/calibration.h"
#include "transform/resample.h"

namespace {

using namespace lens_model;

constexpr int32_t kSphereHeight = 512;  // the sphere is 2N x N
constexpr int32_t kSphereWidth = 2 * kSphereHeight;
// Compared only where a sample's kernel lies this far inside the picture,
// its crop and its image circle: the peers treat rims in their own ways.
constexpr double kRimMarginPixels = 8.0;
// Debian's, into which python3-opencv installs (not a python3 earlier on PATH).
constexpr const char* kPython = "/usr/bin/python3";

// A binary PPM (rows top down, red, green, blue): a picture both peers read.
void WritePpm(const std::filesystem::path& path, const realistic::Picture& picture) {
  const std::string header = "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  for (int32_t y = 0; y < picture.height; ++y) {
    for (int32_t x = 0; x < picture.width; ++x) {
      const uint8_t* pixel = picture.At(x, y);
      bytes.insert(bytes.end(), {pixel[2], pixel[1], pixel[0]});
    }
  }
  WriteBytes(path, bytes);
}

// Runs a peer's command line; what it prints is its complaint.
void RunPeer(const std::string& command) {
  const std::vector<uint8_t> complaints = CommandOutput("(" + command + ") 2>&1");
  ASSERT_TRUE(complaints.empty()) << command << " (tools/setup-deps installs the peers):\n"
                                  << std::string(complaints.begin(), complaints.end());
}

std::string Quoted(const std::filesystem::path& path) {
  std::string quoted = "'";
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// The calibration file `text`, written to `path` and read back as the
// converter reads it.
LensCalibration ReadLens(const std::filesystem::path& path, const std::string& text) {
  WriteText(path, text);
  CalibrationFile file;
  const Result read = ReadCalibrationFile(path.string(), 1, file);
  EXPECT_TRUE(read.ok()) << read.reason();
  return read.ok() ? file.lenses[0] : LensCalibration{};
}

std::shared_ptr<const CalibratedLens> Placed(const LensCalibration& calibration, int32_t width, int32_t height) {
  CalibratedLens placed;
  const Result result = PlaceCalibration(calibration, width, height, placed);
  EXPECT_TRUE(result.ok()) << result.reason();
  return std::make_shared<const CalibratedLens>(placed);
}

// `world` photographed through the calibration, turned as `camera`, as far
// as `seen` (x, y down) lets light in and no further than `widestTheta` off
// the axis.
realistic::Picture Photograph(const std::string& world, const LensCalibration& calibration, int32_t width,
                              int32_t height, const Camera& camera, double widestTheta,
                              const std::function<bool(double x, double y)>& seen) {
  calibration_model::Guess near;
  return realistic::RenderFisheye(
      realistic::WorldPhoto(world), width, height, [&](double x, double y, Vector3& direction) {
        double theta, phi;
        if (!seen(x, y)) return false;
        if (!calibration_model::Unproject(calibration, width, height, x, y, theta, phi, &near)) {
          near = {};
          if (!calibration_model::Unproject(calibration, width, height, x, y, theta, phi, &near)) return false;
        }
        if (theta > widestTheta) return false;
        direction = calibration_model::WorldDirection(camera, theta, phi);
        return true;
      });
}

// Where the direction of a sphere pixel lands in the picture (y down), and
// whether that counts.
using Sampled = std::function<bool(Vector3 direction, double& x, double& y)>;

// Our sphere of `picture` through `lens` against the peer's (read from a
// PPM), in decibels over the pixels `sampled` counts whose positions lie
// inside the frame by the margin.
double AgreementWithPeer(const realistic::Picture& picture, const Lens& lens, const std::filesystem::path& peerSphere,
                         const Sampled& sampled) {
  std::vector<uint8_t> ours(4 * static_cast<size_t>(kSphereWidth) * kSphereHeight, 0);
  TransformPicture(picture.View(), {ours.data(), kSphereWidth, kSphereHeight}, lens, 2);
  int32_t width = 0, height = 0;
  const std::vector<uint8_t> theirs = ReadPpm(peerSphere.string(), width, height);
  EXPECT_EQ(width, kSphereWidth);
  EXPECT_EQ(height, kSphereHeight);
  std::vector<bool> counted(ours.size() / 4, false);
  size_t count = 0;
  for (int32_t y = 0; y < kSphereHeight; ++y) {
    for (int32_t x = 0; x < kSphereWidth; ++x) {
      double px, py;
      const size_t at = static_cast<size_t>(y) * kSphereWidth + x;
      counted[at] = sampled(PanoramaDirection(x, y, kSphereWidth, kSphereHeight), px, py) && px > kRimMarginPixels &&
                    py > kRimMarginPixels && px < picture.width - 1 - kRimMarginPixels &&
                    py < picture.height - 1 - kRimMarginPixels;
      count += counted[at];
    }
  }
  // A good part of the sphere, so that a field limit in the wrong place
  // cannot pass by leaving little to compare.
  EXPECT_GT(count, counted.size() / 5);
  return PsnrOf(ours, theirs, [&](size_t pixel) { return counted[pixel]; });
}

bool InsideCircle(const ImageCircle& circle, double x, double y, double margin) {
  return std::hypot(x - circle.x, y - circle.y) < circle.radius - margin;
}

// A lens that the peer and we both turn the picture through: its files are
// named `name` (.pto or .yaml in, .ppm out).
struct ThroughLens {
  const char* name;
  const Lens& lens;
  Sampled sampled;
};

// The calibrated lens's agreement with the peer against the ideal one's:
// `runPeer(name)` leaves the peer's sphere in name.ppm.
void ExpectCalibratedAgreesAsIdealDoes(const realistic::Picture& picture, const std::filesystem::path& folder,
                                       const ThroughLens& calibrated, const ThroughLens& ideal,
                                       const std::function<void(const std::string& name)>& runPeer) {
  double psnr[2];
  for (int i = 0; i < 2; ++i) {
    const ThroughLens& through = i == 0 ? calibrated : ideal;
    SCOPED_TRACE(through.name);
    runPeer(through.name);
    if (::testing::Test::HasFatalFailure()) return;
    psnr[i] = AgreementWithPeer(picture, through.lens, folder / (std::string(through.name) + ".ppm"), through.sampled);
    ::testing::Test::RecordProperty(std::string(through.name) + " PSNR dB", std::to_string(psnr[i]));
  }
  // The ideal lens as the v360 peer test holds it (PeerTest), so that a
  // peer gone wrong cannot pass by failing both.
  EXPECT_GE(psnr[1], 35.0);
  EXPECT_GE(psnr[0], psnr[1] - 2.0) << "calibrated " << psnr[0] << " dB, ideal " << psnr[1] << " dB";
}

// A circular fisheye of some 195 degrees on a 4:3 picture, every term of
// Hugin's model at work with values of the size real calibrations have, and
// the camera turned.
TEST(CalibrationPeerTest, NonaAndWeAgreeThroughAHuginProject) {
  const std::filesystem::path folder = ScratchFolder("calibration-peer-nona");
  const int32_t width = 720, height = 540;
  const double v = 270;  // across the width
  const double cropLeft = 98, cropRight = 618, cropTop = 12, cropBottom = 532;
  const ImageCircle crop{(cropLeft + cropRight) / 2, (cropTop + cropBottom) / 2, (cropRight - cropLeft) / 2};
  char imageLine[400];
  std::snprintf(imageLine, sizeof imageLine,
                "i f2 w%d h%d v%g y25 p-15 r10 a0.03 b-0.08 c0.06 d6.5 e-4.5 g3 t-2 S%g,%g,%g,%g n\"fisheye.ppm\"",
                width, height, v, cropLeft, cropRight, cropTop, cropBottom);
  const std::string panoramaLines = "p f2 w" + std::to_string(kSphereWidth) + " h" + std::to_string(kSphereHeight) +
                                    " v360 n\"TIFF_m c:NONE\" R0 E0\nm i0\n";
  const LensCalibration calibration = ReadLens(folder / "calibrated.pto", panoramaLines + imageLine + "\n");
  ASSERT_TRUE(calibration.pose);

  Lens calibrated;
  calibrated.calibrated = Placed(calibration, width, height);
  calibrated.fovDegrees = 360;
  calibrated.yawDegrees = calibration.pose->yawDegrees;
  calibrated.pitchDegrees = calibration.pose->pitchDegrees;
  calibrated.rollDegrees = calibration.pose->rollDegrees;
  const Camera camera = CameraOf(calibrated);
  const double thetaLimit = calibrated.calibrated->thetaLimit;
  const realistic::Picture picture = Photograph("forest.jpg", calibration, width, height, camera, thetaLimit,
                                                [&](double x, double y) { return InsideCircle(crop, x, y, 0); });
  WritePpm(folder / "fisheye.ppm", picture);

  // The same picture through the ideal lens of the same field: v across the
  // width is a circle of radius W / 2 seeing v, whatever the model.
  Lens ideal = calibrated;
  ideal.calibrated.reset();
  ideal.model = LensModel::Equidistant;
  ideal.fovDegrees = v;
  ideal.circle = ImageCircle{(width - 1) / 2.0, (height - 1) / 2.0, width / 2.0};
  char idealLine[200];
  std::snprintf(idealLine, sizeof idealLine, "i f2 w%d h%d v%g y%g p%g r%g n\"fisheye.ppm\"\n", width, height, v,
                ideal.yawDegrees, ideal.pitchDegrees, ideal.rollDegrees);
  WriteText(folder / "ideal.pto", panoramaLines + idealLine);

  const double margin = Radians(3);
  ExpectCalibratedAgreesAsIdealDoes(
      picture, folder,
      {"calibrated", calibrated,
       [&](Vector3 d, double& x, double& y) {
         double theta, phi;
         calibration_model::LensAngles(camera, d, theta, phi);
         calibration_model::Project(calibration, width, height, theta, phi, x, y);
         return theta < thetaLimit - margin && InsideCircle(crop, x, y, kRimMarginPixels);
       }},
      {"ideal", ideal,
       [&](Vector3 d, double& x, double& y) {
         const PhotoPoint point = PhotoPointOf(ideal, *ideal.circle, d);
         x = point.x;
         y = point.y;
         return point.theta < Radians(v / 2) - margin && InsideCircle(crop, x, y, kRimMarginPixels);
       }},
      [&](const std::string& name) {
        // nona's cubic kernel (its default, poly3) into an RGBA TIFF, which
        // OpenCV turns into a PPM for us.
        const std::filesystem::path prefix = folder / name;
        RunPeer("cd " + Quoted(folder) + " && nona -o " + Quoted(prefix) + " " + Quoted(prefix.string() + ".pto") +
                " && " + kPython + " -c 'import cv2, sys; cv2.imwrite(sys.argv[2], cv2.imread(sys.argv[1]))' " +
                Quoted(prefix.string() + "0000.tif") + " " + Quoted(prefix.string() + ".ppm"));
      });
}

// nona's 16-bit sphere of a 16-bit photograph (a raw developer's TIFF)
// through an ideal lens: our 16-bit path agrees with it at least as closely
// as our 8-bit path does on the photograph rounded to 8 bits. The two cubic
// kernels differ by more than 8-bit rounding on a detailed picture, so nona
// cannot judge the last bits; a 16-bit path that lost precision or moved its
// samples would fall below the 8-bit one.
TEST(CalibrationPeerTest, NonaAndOurSixteenBitPathAgree) {
  const std::filesystem::path folder = ScratchFolder("sixteen-bit-peer-nona");
  const int32_t width = 720, height = 540;
  const double v = 240;  // across the width
  Lens ideal;
  ideal.fovDegrees = v;
  ideal.pitchDegrees = 20;
  ideal.circle = ImageCircle{(width - 1) / 2.0, (height - 1) / 2.0, width / 2.0};
  Lens doubled = ideal;
  doubled.circle = ImageCircle{width - 0.5, height - 0.5, 1.0 * width};
  const std::vector<uint16_t> photo = realistic::Binned16(
      realistic::RenderFisheye(realistic::WorldPhoto("forest.jpg"), 2 * width, 2 * height, doubled, *doubled.circle));
  picture_files::Samples samples{width, height, 3, 16, {}};
  for (int32_t y = height - 1; y >= 0; --y)
    for (int32_t x = 0; x < width; ++x) {
      const uint16_t* pixel = &photo[4 * (static_cast<size_t>(y) * width + x)];
      samples.values.insert(samples.values.end(), {pixel[2], pixel[1], pixel[0]});
    }
  WriteBytes(folder / "fisheye.tif", picture_files::MakeTiff(samples));
  char lines[400];
  std::snprintf(lines, sizeof lines,
                "p f2 w%d h%d v360 n\"TIFF_m c:NONE\" R0 E0\nm i0\ni f2 w%d h%d v%g y0 p%g r0 n\"fisheye.tif\"\n",
                kSphereWidth, kSphereHeight, width, height, v, ideal.pitchDegrees);
  WriteText(folder / "sphere.pto", lines);
  // nona says that it takes samples without a SampleFormat tag for unsigned,
  // as TIFF has them; that note is no complaint.
  RunPeer("cd " + Quoted(folder) + " && nona -o sphere sphere.pto 2>&1 | grep -v 'guessing pixeltype .UINT16.'; " +
          "test -f sphere0000.tif");
  if (::testing::Test::HasFatalFailure()) return;

  const std::vector<uint8_t> file = ReadBytes(folder / "sphere0000.tif");
  std::vector<uint8_t> theirs8(4 * static_cast<size_t>(kSphereWidth) * kSphereHeight);
  PixelStore theirs16;
  int32_t sphereWidth = 0, sphereHeight = 0;
  ASSERT_TRUE(DecodePicture(file, theirs8.data(), kSphereWidth * kSphereHeight, sphereWidth, sphereHeight, &theirs16).ok());
  ASSERT_EQ(sphereWidth, kSphereWidth);
  ASSERT_NE(theirs16, nullptr) << "nona's sphere has 8 bits a sample";
  const auto* theirsBase = reinterpret_cast<const uint16_t*>(theirs16.get());
  const std::vector<uint16_t> theirs(theirsBase, theirsBase + theirs8.size());

  std::vector<uint16_t> ours16(theirs.size(), 0);
  TransformPicture(PixelBuffer16{const_cast<uint16_t*>(photo.data()), width, height},
                   PixelBuffer16{ours16.data(), kSphereWidth, kSphereHeight}, ideal, 2);
  std::vector<uint8_t> ours8(theirs.size(), 0);
  const std::vector<uint8_t> reduced = Reduced(photo);
  TransformPicture({const_cast<uint8_t*>(reduced.data()), width, height}, {ours8.data(), kSphereWidth, kSphereHeight},
                   ideal, 2);
  std::vector<bool> counted(theirs.size() / 4, false);
  for (int32_t y = 0; y < kSphereHeight; ++y)
    for (int32_t x = 0; x < kSphereWidth; ++x) {
      const PhotoPoint point = PhotoPointOf(ideal, *ideal.circle, PanoramaDirection(x, y, kSphereWidth, kSphereHeight));
      counted[static_cast<size_t>(y) * kSphereWidth + x] =
          point.theta < Radians(v / 2 - 3) && point.x > kRimMarginPixels && point.y > kRimMarginPixels &&
          point.x < width - 1 - kRimMarginPixels && point.y < height - 1 - kRimMarginPixels;
    }
  const auto inside = [&](size_t pixel) { return counted[pixel]; };
  const double psnr16 = Psnr16Of(ours16, theirs, inside);
  const double psnr8 = Psnr16Of(Widened(ours8), theirs, inside);
  ::testing::Test::RecordProperty("16-bit path PSNR dB", std::to_string(psnr16));
  ::testing::Test::RecordProperty("8-bit path PSNR dB", std::to_string(psnr8));
  EXPECT_GE(psnr16, 35.0);
  EXPECT_GE(psnr16, psnr8) << "16 bits " << psnr16 << " dB, 8 bits " << psnr8 << " dB";
}

// The camera's axis as the peer's script takes it: x,y,z.
std::string AxisText(Vector3 axis) {
  char text[100];
  std::snprintf(text, sizeof text, "%.17g,%.17g,%.17g", axis.x, axis.y, axis.z);
  return text;
}

// A camera calibration in OpenCV's own YAML: fx, fy, cx, cy, the skew as
// K[0][1] / fx, k1 to k4.
std::string OpenCvYaml(int32_t width, int32_t height, double fx, double fy, double cx, double cy, double skew,
                       const double (&k)[4]) {
  char text[600];
  std::snprintf(text, sizeof text,
                "%%YAML:1.0\n---\nimage_width: %d\nimage_height: %d\n"
                "K: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
                "   data: [ %.17g, %.17g, %.17g, 0., %.17g, %.17g, 0., 0., 1. ]\n"
                "D: !!opencv-matrix\n   rows: 4\n   cols: 1\n   dt: d\n   data: [ %.17g, %.17g, %.17g, %.17g ]\n",
                width, height, fx, fx * skew, cx, fy, cy, k[0], k[1], k[2], k[3]);
  return text;
}

// A real lens of some 190 degrees, its focal lengths 0.7% apart, a little
// skew, its centre off the picture's, distortion of up to 14 pixels at the
// rim; the camera turned. Compared on the half sphere ahead, 85 degrees
// from the axis at most.
TEST(CalibrationPeerTest, OpenCvAndWeAgreeThroughAFisheyeCalibration) {
  const std::filesystem::path folder = ScratchFolder("calibration-peer-opencv");
  const int32_t width = 800, height = 600;
  const double fx = 167.2, fy = 166.1, cx = 401.7, cy = 298.4, skew = 0.0012;
  const double k[4] = {0.045, -0.018, 0.004, -0.0004};
  const LensCalibration calibration =
      ReadLens(folder / "calibrated.yaml", OpenCvYaml(width, height, fx, fy, cx, cy, skew, k));

  Lens calibrated;
  calibrated.calibrated = Placed(calibration, width, height);
  calibrated.fovDegrees = 360;
  calibrated.yawDegrees = 20;
  calibrated.pitchDegrees = -35;
  calibrated.rollDegrees = 12;
  const Camera camera = CameraOf(calibrated);
  // Light falls within 95 degrees of the axis; Newton's method is spared
  // the corners beyond.
  const double widestTheta = Radians(95);
  double rimX, rimY;
  calibration_model::Project(calibration, width, height, widestTheta, 0, rimX, rimY);
  const ImageCircle lit{cx, cy, rimX - cx + 4};
  const realistic::Picture picture = Photograph("lake.jpg", calibration, width, height, camera, widestTheta,
                                                [&](double x, double y) { return InsideCircle(lit, x, y, 0); });
  WritePpm(folder / "fisheye.ppm", picture);

  // The ideal equidistant lens of focal length fx: a circle of radius
  // fx pi / 2 seeing 180 degrees.
  Lens ideal = calibrated;
  ideal.calibrated.reset();
  ideal.model = LensModel::Equidistant;
  ideal.fovDegrees = 180;
  ideal.circle = ImageCircle{cx, cy, fx * kPi / 2};
  WriteText(folder / "ideal.yaml", OpenCvYaml(width, height, fx, fx, cx, cy, 0, {0, 0, 0, 0}));

  const double widest = Radians(85);
  const std::filesystem::path script =
      std::filesystem::path(QUORVANE_TEST_DATA).parent_path() / "peers" / "opencv_fisheye_sphere.py";
  ExpectCalibratedAgreesAsIdealDoes(
      picture, folder,
      {"calibrated", calibrated,
       [&](Vector3 d, double& x, double& y) {
         double theta, phi;
         calibration_model::LensAngles(camera, d, theta, phi);
         calibration_model::Project(calibration, width, height, theta, phi, x, y);
         return theta < widest;
       }},
      {"ideal", ideal,
       [&](Vector3 d, double& x, double& y) {
         const PhotoPoint point = PhotoPointOf(ideal, *ideal.circle, d);
         x = point.x;
         y = point.y;
         return point.theta < widest;
       }},
      [&](const std::string& name) {
        RunPeer(std::string(kPython) + " " + Quoted(script) + " " + Quoted(folder / "fisheye.ppm") + " " +
                Quoted(folder / (name + ".yaml")) + " " + std::to_string(kSphereHeight) + " " + AxisText(camera.right) +
                " " + AxisText(camera.up) + " " + AxisText(camera.ahead) + " " + Quoted(folder / (name + ".ppm")));
      });
}

}  // namespace
#endif
