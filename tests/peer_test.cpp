// FFmpeg's v360 filter as a peer: it turns a panorama of our own making into
// a fisheye through each lens model, and our transform must give the panorama
// back. Its conventions, as found with the Debian build (5.1), agree with ours:
// the field of view spans the square frame's width, so the image circle is the
// frame's inscribed circle, centre ((W - 1) / 2, (H - 1) / 2) and radius W / 2,
// the default circle of a square picture; the equirectangular pixel centres are
// ours; and yaw (east), pitch (up) and roll (clockwise from behind) turn the
// camera in our order (its rorder "ypr") with our signs. Linux only: ffmpeg is
// a Linux tool here, and the Windows tests run under Wine.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "exiftool.h"
#include "imageio/load_picture.h"
#include "test_pictures.h"
#include "transform/lens.h"
#include "transform/resample.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int32_t kSphereHeight = 256;  // the sphere is 2N x N
constexpr int32_t kFisheyeSize = 800;   // v360's square frame

double Radians(double degrees) { return degrees * kPi / 180.0; }

// World: x east, y up, z ahead.
struct Direction {
  double x, y, z;
};

Direction DirectionAt(double longitude, double latitude) {
  return {std::cos(latitude) * std::sin(longitude), std::sin(latitude), std::cos(latitude) * std::cos(longitude)};
}

// Smooth on the whole sphere (no seam, nothing at the poles; no wave shorter
// than some 50 sphere pixels), different in each channel and without
// symmetry, so that a mirror, a turn or a red/blue swap shows. Channel 0 is
// blue.
double PatternAt(int channel, Direction d) {
  switch (channel) {
    case 0: return 128 + 90 * std::sin(6.0 * d.x + 2.5 * d.y + 0.4);
    case 1: return 128 + 80 * std::cos(5.0 * d.y - 4.0 * d.z + 3.0 * d.x * d.z);
    default: return 124 + 95 * std::sin(7.0 * d.z + 3.0 * d.x * d.y - 0.3);
  }
}

// The direction of sphere pixel (x, y), y in storage order (bottom first).
Direction SphereDirection(int32_t x, int32_t y) {
  return DirectionAt((x + 0.5 - kSphereHeight) * kPi / kSphereHeight,
                     (y + 0.5 - kSphereHeight / 2.0) * kPi / kSphereHeight);
}

// The pattern at each sphere pixel's centre, in the program's layout.
std::vector<uint8_t> PatternSphere() {
  const int32_t width = 2 * kSphereHeight;
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(width) * kSphereHeight, 0);
  for (int32_t y = 0; y < kSphereHeight; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const Direction d = SphereDirection(x, y);
      for (int channel = 0; channel < 3; ++channel) {
        pixels[4 * (static_cast<size_t>(y) * width + x) + channel] =
            static_cast<uint8_t>(std::lround(std::clamp(PatternAt(channel, d), 0.0, 255.0)));
      }
    }
  }
  return pixels;
}

// A binary PPM (rows top down, red, green, blue) of a picture in the
// program's layout: the panorama as ffmpeg reads it.
void WritePpm(const std::filesystem::path& path, const std::vector<uint8_t>& pixels, int32_t width, int32_t height) {
  const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  for (int32_t top = 0; top < height; ++top) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* pixel = &pixels[4 * (static_cast<size_t>(height - 1 - top) * width + x)];
      bytes.insert(bytes.end(), {pixel[2], pixel[1], pixel[0]});
    }
  }
  WriteBytes(path, bytes);
}

// One fisheye v360 makes, with the camera turned by v360's own angles.
struct PeerCase {
  const char* output;  // v360's name for the model
  LensModel model;
  double fovDegrees;
  double yawDegrees, pitchDegrees, rollDegrees;
  // Compared where the lens saw at least this far inside the edge of its
  // field. An orthographic lens squeezes the last degrees before 90 into its
  // rim's last pixels, where any 4 x 4 kernel also reaches past the circle.
  double marginDegrees;
};

// Every model, equidistant beyond 180 degrees and orthographic at its widest
// field and inside it; yawed, pitched and rolled at once (which a wrong sign
// or order of any turn spoils) and level.
TEST(PeerTest, V360FisheyesGiveBackThePanoramaTheyWereMadeFrom) {
  const PeerCase cases[] = {
      {"fisheye", LensModel::Equidistant, 200, 35, 20, -15, 3},
      {"equisolid", LensModel::Equisolid, 180, 0, 0, 0, 3},
      {"sg", LensModel::Stereographic, 180, -120, -30, 25, 3},
      {"og", LensModel::Orthographic, 180, 0, 0, 0, 8},
      {"og", LensModel::Orthographic, 160, 60, 45, 90, 3},
  };
  const std::filesystem::path folder = ScratchFolder("peer");
  const int32_t width = 2 * kSphereHeight;
  const std::vector<uint8_t> original = PatternSphere();
  const std::filesystem::path panoramaFile = folder / "panorama.ppm";
  WritePpm(panoramaFile, original, width, kSphereHeight);

  for (const PeerCase& c : cases) {
    const std::string name = std::string(LensModelName(c.model)) + " " + std::to_string(static_cast<int>(c.fovDegrees));
    SCOPED_TRACE(name);
    // Planar RGB through the filter, so that no chroma is subsampled on the
    // way; a 24-bit BMP out, which LoadPicture reads.
    const std::filesystem::path fisheyeFile = folder / "fisheye.bmp";
    char filter[300];
    std::snprintf(filter, sizeof filter,
                  "format=gbrp,v360=input=e:output=%s:h_fov=%g:v_fov=%g:w=%d:h=%d:yaw=%g:pitch=%g:roll=%g:interp=cubic,"
                  "format=bgr24",
                  c.output, c.fovDegrees, c.fovDegrees, kFisheyeSize, kFisheyeSize, c.yawDegrees, c.pitchDegrees,
                  c.rollDegrees);
    const std::vector<uint8_t> complaints = CommandOutput("ffmpeg -nostdin -v error -y -i '" + panoramaFile.string() +
                                                          "' -vf " + filter + " '" + fisheyeFile.string() + "' 2>&1");
    ASSERT_TRUE(complaints.empty()) << "ffmpeg (tools/setup-deps installs it): "
                                    << std::string(complaints.begin(), complaints.end());
    LoadedPicture fisheye;
    const Result loaded = LoadPicture(fisheyeFile.string(), fisheye);
    ASSERT_TRUE(loaded.ok()) << loaded.reason();
    ASSERT_EQ(fisheye.width, kFisheyeSize);
    ASSERT_EQ(fisheye.height, kFisheyeSize);

    Lens lens;
    lens.model = c.model;
    lens.fovDegrees = c.fovDegrees;
    lens.circle = ImageCircle{(kFisheyeSize - 1) / 2.0, (kFisheyeSize - 1) / 2.0, kFisheyeSize / 2.0};
    lens.yawDegrees = c.yawDegrees;
    lens.pitchDegrees = c.pitchDegrees;
    lens.rollDegrees = c.rollDegrees;
    std::vector<uint8_t> panorama(original.size(), 0);
    TransformPicture(fisheye.View(), {panorama.data(), width, kSphereHeight}, lens, 2);

    // How far each sphere pixel lies off the lens axis, which roll leaves be.
    const Direction axis = DirectionAt(Radians(c.yawDegrees), Radians(c.pitchDegrees));
    auto offAxis = [&](size_t pixel) {
      const Direction d = SphereDirection(static_cast<int32_t>(pixel % width), static_cast<int32_t>(pixel / width));
      return std::acos(std::clamp(d.x * axis.x + d.y * axis.y + d.z * axis.z, -1.0, 1.0));
    };
    const double psnr = PsnrOf(panorama, original, [&](size_t pixel) {
      return offAxis(pixel) <= Radians(c.fovDegrees / 2 - c.marginDegrees);
    });
    RecordProperty(name + " PSNR dB", std::to_string(psnr));
    EXPECT_GE(psnr, 35.0);
    // v360 fills the whole frame, past the image circle too; none of that
    // may reach the panorama.
    size_t litOutside = 0;
    for (size_t pixel = 0; pixel < panorama.size() / 4; ++pixel) {
      if (offAxis(pixel) > Radians(c.fovDegrees / 2 + 1)) {
        litOutside += (panorama[4 * pixel] | panorama[4 * pixel + 1] | panorama[4 * pixel + 2]) != 0;
      }
    }
    EXPECT_EQ(litOutside, 0u);
  }
}

}  // namespace
#endif
