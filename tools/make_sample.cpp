// Renders the demonstration fisheye picture, samples/fisheye-sample.jpg: a
// synthetic world seen through the program's lens model, with a graticule
// that the converter should turn into straight lines.
//
//   make-sample [OUTPUT [WIDTH HEIGHT]]     (default samples/fisheye-sample.jpg, 1600 x 1200)
//   make-sample --dual OUTPUT [HEIGHT]      (two lenses side by side, 2 HEIGHT x HEIGHT, default 1200)
//   make-sample --dual-clip FOLDER [HEIGHT [FRAMES]]
//                                           (FRAMES such pictures, default 48 of 384, as FOLDER/frame-0001.jpg
//                                            and on: a two-lens video's frames, the camera turning slowly)
//
// With --dual the same world as a two-lens 360-degree camera records it: two
// equidistant 200-degree fisheyes side by side, the left looking ahead, the
// right behind, each circle a little off its half's centre, the back lens
// 0.8 degrees to the right, 0.5 down and turned 0.4 clockwise from straight
// behind, 12% darker and a little warmer, as real cameras' lenses never quite
// agree.
//
// The world: blue sky above a black horizon, green ground turning brown toward
// the nadir, white parallels every 15 degrees of latitude and meridians every
// 15 degrees of azimuth; the meridian straight ahead is magenta, those to the
// right (east, increasing columns) orange, those to the left cyan, the one
// behind yellow. A red "F" stands in the sky to the right of straight ahead.
// Nothing in it is symmetric, so a flipped, mirrored or red/blue-swapped
// panorama shows at a glance.
//
// The lens model is worked out here on its own, in double precision, from the
// program's design rather than taken from transform/projection.cpp: the
// picture then checks the converter instead of echoing it.
#include <turbojpeg.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transform/pixel_buffer.h"

namespace {

constexpr char kDefaultOutput[] = "samples/fisheye-sample.jpg";
constexpr int32_t kDefaultWidth = 1600;
constexpr int32_t kDefaultHeight = 1200;
constexpr int32_t kMaxSide = 20000;
constexpr int kJpegQuality = 92;
// Samples per pixel along each axis: 3 x 3 smooths the line edges.
constexpr int kSupersample = 3;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

// The program's lens: an equidistant fisheye whose pixels per radian are the
// panorama's (2 * 0.159154 * height, about height / pi) shrunk by 1.1, so the
// picture height spans 198 degrees.
double FisheyePixelsPerRadian(int32_t height) { return 2.0 * height * 0.159154 / 1.1; }

struct Colour {
  double red;
  double green;
  double blue;
};

Colour Mix(Colour a, Colour b, double t) {
  return {a.red + (b.red - a.red) * t, a.green + (b.green - a.green) * t, a.blue + (b.blue - a.blue) * t};
}

constexpr Colour kSkyAtHorizon{200, 225, 255};
constexpr Colour kSkyAtZenith{20, 60, 160};
constexpr Colour kGroundAtHorizon{60, 140, 50};
constexpr Colour kGroundAtNadir{110, 75, 40};
constexpr Colour kHorizonLine{0, 0, 0};
constexpr Colour kParallel{255, 255, 255};
constexpr Colour kMeridianAhead{255, 0, 255};
constexpr Colour kMeridianEast{255, 140, 0};
constexpr Colour kMeridianWest{0, 220, 220};
constexpr Colour kMeridianBehind{255, 255, 0};
constexpr Colour kMarker{220, 0, 0};

// Line half-widths in degrees (of latitude for the horizon and the parallels,
// of azimuth for the meridians); the panorama has about 6.7 pixels per degree
// at 1200 rows, so the lines come out 3 to 8 pixels wide.
constexpr double kGridStepDegrees = 15.0;
constexpr double kHorizonHalfWidth = 0.6;
constexpr double kParallelHalfWidth = 0.25;
constexpr double kMeridianHalfWidth = 0.35;
constexpr double kAheadHalfWidth = 0.5;
// Meridians stop short of the poles, where they would merge into a blot.
constexpr double kMeridianEndLatitude = 80.0;

// The "F" in degrees: azimuth to the right of straight ahead, latitude up.
struct Box {
  double azimuthFrom, azimuthTo, latitudeFrom, latitudeTo;
  bool Holds(double azimuth, double latitude) const {
    return azimuth >= azimuthFrom && azimuth <= azimuthTo && latitude >= latitudeFrom && latitude <= latitudeTo;
  }
};
constexpr Box kMarkerStrokes[] = {
    {20.0, 25.0, 20.0, 56.0},  // the upright
    {20.0, 42.0, 51.0, 56.0},  // the top arm
    {20.0, 36.0, 35.0, 40.0},  // the middle arm, shorter
};

// The colour of the world in one direction, given in degrees: azimuth in
// (-180, 180] from straight ahead, positive to the right; latitude in
// [-90, 90] from the horizon, positive up.
Colour WorldColour(double azimuth, double latitude) {
  for (const Box& stroke : kMarkerStrokes)
    if (stroke.Holds(azimuth, latitude)) return kMarker;

  if (std::fabs(latitude) <= kHorizonHalfWidth) return kHorizonLine;
  const double nearestParallel = kGridStepDegrees * std::round(latitude / kGridStepDegrees);
  if (std::fabs(latitude - nearestParallel) <= kParallelHalfWidth) return kParallel;

  if (std::fabs(latitude) < kMeridianEndLatitude) {
    // Widths in degrees of azimuth, so the meridians come out as even
    // vertical bands in the panorama (and taper toward the poles in the fisheye).
    const double meridianIndex = std::round(azimuth / kGridStepDegrees);
    const double offset = std::fabs(azimuth - kGridStepDegrees * meridianIndex);
    const int index = static_cast<int>(meridianIndex);
    if (index == 0 && offset <= kAheadHalfWidth) return kMeridianAhead;
    if (index != 0 && offset <= kMeridianHalfWidth) {
      if (index == 12 || index == -12) return kMeridianBehind;
      return index > 0 ? kMeridianEast : kMeridianWest;
    }
  }

  if (latitude > 0.0) return Mix(kSkyAtHorizon, kSkyAtZenith, latitude / 90.0);
  return Mix(kGroundAtHorizon, kGroundAtNadir, -latitude / 90.0);
}

// A lens's right, up and ahead in the world (x east, y up, z ahead).
struct Axes {
  double right[3] = {1, 0, 0};
  double up[3] = {0, 1, 0};
  double ahead[3] = {0, 0, 1};
};

// The lens turned `yaw` degrees to the right, then tilted `pitch` up about its
// own right axis, then turned `roll` clockwise about its axis as seen from
// behind.
Axes Turned(double yaw, double pitch, double roll) {
  const double cy = std::cos(yaw * kDegree), sy = std::sin(yaw * kDegree);
  const double cp = std::cos(pitch * kDegree), sp = std::sin(pitch * kDegree);
  const double cr = std::cos(roll * kDegree), sr = std::sin(roll * kDegree);
  Axes axes;
  const double right[3] = {cy, 0, -sy};
  const double up[3] = {-sp * sy, cp, -sp * cy};
  const double ahead[3] = {cp * sy, sp, cp * cy};
  for (int k = 0; k < 3; ++k) {
    axes.ahead[k] = ahead[k];
    axes.up[k] = cr * up[k] + sr * right[k];
    axes.right[k] = cr * right[k] - sr * up[k];
  }
  return axes;
}

// The world seen at the offset (u, v) in fisheye pixels from the circle's
// centre, u to the right and v upward, by a lens turned as `axes`. A
// direction theta off the lens axis lies theta * pixelsPerRadian from the
// centre; X points right, Y up, Z ahead.
Colour FisheyeColour(double u, double v, double pixelsPerRadian, const Axes& axes = {}) {
  const double rho = std::hypot(u, v);
  double lensX = 0.0;
  double lensY = 0.0;
  double lensZ = 1.0;
  if (rho > 0.0) {
    const double theta = rho / pixelsPerRadian;
    lensX = std::sin(theta) * u / rho;
    lensY = std::sin(theta) * v / rho;
    lensZ = std::cos(theta);
  }
  const double x = lensX * axes.right[0] + lensY * axes.up[0] + lensZ * axes.ahead[0];
  const double y = lensX * axes.right[1] + lensY * axes.up[1] + lensZ * axes.ahead[1];
  const double z = lensX * axes.right[2] + lensY * axes.up[2] + lensZ * axes.ahead[2];
  const double latitude = std::asin(std::fmin(1.0, std::fmax(-1.0, y))) / kDegree;
  const double azimuth = std::atan2(x, z) / kDegree;
  return WorldColour(azimuth, latitude);
}

uint8_t ToByte(double level) {
  const double rounded = std::round(level);
  return static_cast<uint8_t>(rounded < 0.0 ? 0.0 : rounded > 255.0 ? 255.0 : rounded);
}

// Fills `picture` (layout: transform/pixel_buffer.h) through the lens model,
// each pixel the mean of kSupersample x kSupersample samples spread evenly
// over it. Pixel centres are at whole coordinates, the picture centre at
// (width / 2 - 0.5, height / 2 - 0.5), as the converter has them.
void RenderFisheye(const PixelBuffer& picture) {
  const double pixelsPerRadian = FisheyePixelsPerRadian(picture.height);
  const double centreX = picture.width / 2.0 - 0.5;
  const double centreY = picture.height / 2.0 - 0.5;
  constexpr double kShare = 1.0 / (kSupersample * kSupersample);
  for (int32_t row = 0; row < picture.height; ++row) {
    for (int32_t column = 0; column < picture.width; ++column) {
      Colour sum{0, 0, 0};
      for (int sy = 0; sy < kSupersample; ++sy) {
        const double v = row - centreY + (sy + 0.5) / kSupersample - 0.5;
        for (int sx = 0; sx < kSupersample; ++sx) {
          const double u = column - centreX + (sx + 0.5) / kSupersample - 0.5;
          const Colour c = FisheyeColour(u, v, pixelsPerRadian);
          sum.red += c.red;
          sum.green += c.green;
          sum.blue += c.blue;
        }
      }
      uint8_t* pixel = picture.Pixel(column, row);
      pixel[0] = ToByte(sum.blue * kShare);
      pixel[1] = ToByte(sum.green * kShare);
      pixel[2] = ToByte(sum.red * kShare);
      pixel[3] = 0;
    }
  }
}

// The two-lens camera's picture (see the top of the file): each half's
// circle of radius height / 2 - 6 lies a few pixels off the half's centre;
// outside it, black.
// `cameraYaw`: the whole camera turned that many degrees to the right.
void RenderDualFisheye(const PixelBuffer& picture, double cameraYaw = 0.0) {
  const int32_t half = picture.width / 2;
  const double radius = picture.height / 2.0 - 6.0;
  const double pixelsPerRadian = radius / (100.0 * kDegree);
  struct Lens {
    int32_t left;
    double centreX, centreY;
    Axes axes;
    Colour gain;
  };
  const Lens lenses[2] = {
      {0, half / 2.0 - 0.5 + 2.25, picture.height / 2.0 - 0.5 - 1.5, Turned(cameraYaw, 0, 0), {1, 1, 1}},
      {half, half / 2.0 - 0.5 - 1.75, picture.height / 2.0 - 0.5 + 2.5, Turned(cameraYaw + 180.8, -0.5, 0.4),
       {0.9, 0.88, 0.84}},
  };
  constexpr double kShare = 1.0 / (kSupersample * kSupersample);
  for (const Lens& lens : lenses) {
    for (int32_t top = 0; top < picture.height; ++top) {
      for (int32_t column = 0; column < half; ++column) {
        Colour sum{0, 0, 0};
        for (int sy = 0; sy < kSupersample; ++sy) {
          const double v = lens.centreY - (top + (sy + 0.5) / kSupersample - 0.5);
          for (int sx = 0; sx < kSupersample; ++sx) {
            const double u = column + (sx + 0.5) / kSupersample - 0.5 - lens.centreX;
            if (std::hypot(u, v) > radius) continue;
            const Colour c = FisheyeColour(u, v, pixelsPerRadian, lens.axes);
            sum.red += c.red * lens.gain.red;
            sum.green += c.green * lens.gain.green;
            sum.blue += c.blue * lens.gain.blue;
          }
        }
        uint8_t* pixel = picture.Pixel(lens.left + column, picture.height - 1 - top);
        pixel[0] = ToByte(sum.blue * kShare);
        pixel[1] = ToByte(sum.green * kShare);
        pixel[2] = ToByte(sum.red * kShare);
        pixel[3] = 0;
      }
    }
  }
}

struct TurboJpegCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct TurboJpegBufferFreer {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

// Encodes `picture` as a baseline JPEG, 4:2:0. False with `error` set on failure.
bool EncodeJpeg(const PixelBuffer& picture, std::vector<uint8_t>& jpeg, std::string& error) {
  std::unique_ptr<void, TurboJpegCloser> encoder(tjInitCompress());
  if (!encoder) {
    error = "the JPEG encoder could not be started";
    return false;
  }
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  // The program's pixels are stored bottom row first.
  const int status = tjCompress2(encoder.get(), picture.base, picture.width, picture.RowBytes(), picture.height,
                                 TJPF_BGRX, &bytes, &size, TJSAMP_420, kJpegQuality, TJFLAG_BOTTOMUP);
  std::unique_ptr<unsigned char, TurboJpegBufferFreer> owned(bytes);
  if (status != 0) {
    error = std::string("JPEG encoding failed: ") + tjGetErrorStr2(encoder.get());
    return false;
  }
  jpeg.assign(bytes, bytes + size);
  return true;
}

bool WriteFile(const std::string& name, const std::vector<uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = std::strerror(!written ? writeErrno : errno);
    return false;
  }
  return true;
}

bool ParseSide(const char* text, int32_t& side) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 8 || value > kMaxSide) return false;
  side = static_cast<int32_t>(value);
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make-sample [OUTPUT [WIDTH HEIGHT]]   (sides 8 to %d pixels)\n"
               "       make-sample --dual OUTPUT [HEIGHT]\n"
               "       make-sample --dual-clip FOLDER [HEIGHT [FRAMES]]   (FRAMES 1 to 10000)\n",
               kMaxSide);
  return 2;
}

}  // namespace

// A two-lens video's frames, the camera turning a quarter of a degree to the
// right from one to the next (six degrees a second at 24 frames a second):
// slow enough to follow, and every frame different, as a real video's are.
constexpr double kClipTurnDegrees = 0.25;
constexpr int32_t kDefaultClipHeight = 384;
constexpr int32_t kDefaultClipFrames = 48;
constexpr int32_t kMostClipFrames = 10000;

int WriteDualClip(int argc, char** argv) {
  if (argc < 3 || argc > 5) return Usage();
  const std::string folder = argv[2];
  int32_t height = kDefaultClipHeight;
  int32_t frames = kDefaultClipFrames;
  if (argc >= 4 && (!ParseSide(argv[3], height) || 2 * height > kMaxSide)) return Usage();
  if (argc == 5) {
    char* end = nullptr;
    const long value = std::strtol(argv[4], &end, 10);
    if (end == argv[4] || *end != '\0' || value < 1 || value > kMostClipFrames) return Usage();
    frames = static_cast<int32_t>(value);
  }
  // The frames are independent: one thread per core renders every n-th.
  const int32_t threads = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::string> errors(threads);
  std::vector<std::thread> workers;
  for (int32_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<uint8_t> pixels(size_t{2} * height * height * kBytesPerPixel);
      const PixelBuffer picture{pixels.data(), 2 * height, height};
      for (int32_t i = t; i < frames && errors[t].empty(); i += threads) {
        RenderDualFisheye(picture, kClipTurnDegrees * i);
        std::vector<uint8_t> jpeg;
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%04d.jpg", i + 1);
        if (!EncodeJpeg(picture, jpeg, errors[t]) || !WriteFile(folder + name, jpeg, errors[t]))
          errors[t] = folder + name + ": " + errors[t];
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (const std::string& error : errors) {
    if (error.empty()) continue;
    std::fprintf(stderr, "make-sample: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %d frames of %d x %d\n", folder.c_str(), frames, 2 * height, height);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--dual-clip") == 0) return WriteDualClip(argc, argv);
  const bool dual = argc >= 2 && std::strcmp(argv[1], "--dual") == 0;
  std::string output = kDefaultOutput;
  int32_t width = kDefaultWidth;
  int32_t height = kDefaultHeight;
  if (dual) {
    if (argc != 3 && argc != 4) return Usage();
    output = argv[2];
    if (argc == 4 && (!ParseSide(argv[3], height) || 2 * height > kMaxSide)) return Usage();
    width = 2 * height;
  } else {
    if (argc != 1 && argc != 2 && argc != 4) return Usage();
    if (argc >= 2) output = argv[1];
    if (argc == 4 && (!ParseSide(argv[2], width) || !ParseSide(argv[3], height))) return Usage();
  }

  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * kBytesPerPixel);
  const PixelBuffer picture{pixels.data(), width, height};
  if (dual) {
    RenderDualFisheye(picture);
  } else {
    RenderFisheye(picture);
  }

  std::vector<uint8_t> jpeg;
  std::string error;
  if (!EncodeJpeg(picture, jpeg, error)) {
    std::fprintf(stderr, "make-sample: %s\n", error.c_str());
    return 1;
  }
  if (!WriteFile(output, jpeg, error)) {
    std::fprintf(stderr, "make-sample: %s: %s\n", output.c_str(), error.c_str());
    return 1;
  }
  std::printf("%s: %d x %d, %zu bytes\n", output.c_str(), width, height, jpeg.size());
  return 0;
}
