#pragma once
// A forward model of our own for the lenses: where a direction of the world
// lands in a fisheye photo, and a photo of a pattern on the sphere, made
// without the engine, so that the tests can judge the engine by it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <vector>

#include "transform/lens.h"
#include "transform/pixel_buffer.h"

namespace lens_model {

constexpr double kPi = std::numbers::pi;

inline double Radians(double degrees) { return degrees * kPi / 180.0; }

struct Vector3 {
  double x, y, z;
};

inline Vector3 operator*(double s, Vector3 v) { return {s * v.x, s * v.y, s * v.z}; }
inline Vector3 operator+(Vector3 a, Vector3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline double Dot(Vector3 a, Vector3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// World: x east, y up, z ahead; longitude east of ahead, latitude up.
inline Vector3 DirectionAt(double longitude, double latitude) {
  return {std::cos(latitude) * std::sin(longitude), std::sin(latitude), std::cos(latitude) * std::cos(longitude)};
}

// The camera's right, up and ahead in the world, as the conventions describe
// the turns one after another: yaw about the vertical (to the east), pitch
// about the camera's own right axis (up), roll about its lens axis (clockwise
// as seen from behind, so the camera's up leans to its right).
struct Camera {
  Vector3 right, up, ahead;
};

inline Camera CameraOf(const Lens& lens) {
  const double yaw = Radians(lens.yawDegrees), pitch = Radians(lens.pitchDegrees), roll = Radians(lens.rollDegrees);
  Camera camera{{std::cos(yaw), 0, -std::sin(yaw)}, {0, 1, 0}, {std::sin(yaw), 0, std::cos(yaw)}};
  const Vector3 ahead = std::cos(pitch) * camera.ahead + std::sin(pitch) * camera.up;
  const Vector3 up = std::cos(pitch) * camera.up + -std::sin(pitch) * camera.ahead;
  camera.ahead = ahead;
  camera.up = std::cos(roll) * up + std::sin(roll) * camera.right;
  camera.right = std::cos(roll) * camera.right + -std::sin(roll) * up;
  return camera;
}

// A two-lens camera's back lens: turned 180 degrees about the camera's own
// vertical and then by `yaw`, `pitch` and `roll` (the back lens's offset),
// in the camera's frame; the front camera gives that frame in the world.
inline Camera BackCameraOf(const Camera& front, double yaw, double pitch, double roll) {
  Lens backInCamera;
  backInCamera.yawDegrees = 180 + yaw;
  backInCamera.pitchDegrees = pitch;
  backInCamera.rollDegrees = roll;
  const Camera relative = CameraOf(backInCamera);
  const auto inWorld = [&](Vector3 v) { return v.x * front.right + v.y * front.up + v.z * front.ahead; };
  return {inWorld(relative.right), inWorld(relative.up), inWorld(relative.ahead)};
}

// Distance from the circle's centre for an angle theta off the axis, with f
// following from the circle's radius at half the field of view.
inline double RhoOf(LensModel model, double theta, double f) {
  switch (model) {
    case LensModel::Equidistant: return f * theta;
    case LensModel::Equisolid: return 2 * f * std::sin(theta / 2);
    case LensModel::Stereographic: return 2 * f * std::tan(theta / 2);
    case LensModel::Orthographic: return f * std::sin(theta);
  }
  return 0;
}

inline double ThetaOf(LensModel model, double rho, double f) {
  switch (model) {
    case LensModel::Equidistant: return rho / f;
    case LensModel::Equisolid: return 2 * std::asin(std::min(1.0, rho / (2 * f)));
    case LensModel::Stereographic: return 2 * std::atan(rho / (2 * f));
    case LensModel::Orthographic: return std::asin(std::min(1.0, rho / f));
  }
  return 0;
}

inline double FocalOf(const Lens& lens, double radius) { return radius / RhoOf(lens.model, Radians(lens.fovDegrees) / 2, 1.0); }

// Where a direction lands in the photo (x right, y down from the top-left
// pixel's centre), and its angle off the lens axis.
struct PhotoPoint {
  double x, y, theta;
};

inline PhotoPoint PhotoPointOf(const Lens& lens, const ImageCircle& circle, Vector3 direction) {
  const Camera camera = CameraOf(lens);
  const double across = Dot(direction, camera.right), up = Dot(direction, camera.up);
  const double sine = std::hypot(across, up);
  const double theta = std::atan2(sine, Dot(direction, camera.ahead));
  const double rho = RhoOf(lens.model, theta, FocalOf(lens, circle.radius));
  if (sine == 0) return {circle.x, circle.y, theta};
  return {circle.x + rho * across / sine, circle.y - rho * up / sine, theta};
}

// The inverse: the direction that photo point (x, y) (y down) sees through a
// lens of `model` with focal length `focal` (FocalOf), turned as `camera`,
// its circle at `circle`; false beyond the circle, where the lens sees nothing.
inline bool DirectionOfPhotoPoint(LensModel model, double focal, const Camera& camera, const ImageCircle& circle,
                                  double x, double y, Vector3& direction) {
  const double across = x - circle.x, up = circle.y - y;
  const double rho = std::hypot(across, up);
  if (rho > circle.radius) return false;
  const double theta = ThetaOf(model, rho, focal);
  const double scale = rho == 0 ? 0 : std::sin(theta) / rho;
  direction = (scale * across) * camera.right + (scale * up) * camera.up + std::cos(theta) * camera.ahead;
  return true;
}

// A pattern on the sphere, smooth everywhere (no pole or seam), different in
// each channel, so that a mirror, a swap or a turn shows.
inline double PatternAt(int channel, Vector3 d) {
  switch (channel) {
    case 0: return 128 + 90 * std::sin(1.7 * d.x + 0.9 * d.y + 0.4);
    case 1: return 128 + 80 * std::cos(1.3 * d.y - 1.1 * d.z);
    default: return 124 + 95 * std::sin(1.5 * d.z + 1.2 * d.x * d.y - 0.3);
  }
}

inline uint8_t Level(double value) { return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 255.0))); }

// The direction of panorama pixel (x, y), y in storage order (bottom first).
inline Vector3 PanoramaDirection(int32_t x, int32_t y, int32_t width, int32_t height) {
  return DirectionAt((x + 0.5 - width / 2.0) * kPi / height, (y + 0.5 - height / 2.0) * kPi / height);
}

// A colour of the world in each direction: channel 0 blue, 1 green, 2 red.
using WorldPattern = std::function<double(int channel, Vector3 direction)>;

// The world as a lens of `lens`'s model and field, turned as `camera`, with
// its circle at `circle` (y down) photographs it into columns [left, left +
// width) of `picture` (the circle in those columns' own coordinates), each
// level times `exposure`; black outside the circle.
inline void RenderFisheyeInto(const PixelBuffer& picture, int32_t left, int32_t width, const Lens& lens,
                              const Camera& camera, const ImageCircle& circle, const WorldPattern& pattern,
                              double exposure = 1.0) {
  const double f = FocalOf(lens, circle.radius);
  for (int32_t top = 0; top < picture.height; ++top) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* pixel = picture.Pixel(left + x, picture.height - 1 - top);
      pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0;
      Vector3 d;
      if (!DirectionOfPhotoPoint(lens.model, f, camera, circle, x, top, d)) continue;
      for (int channel = 0; channel < 3; ++channel) pixel[channel] = Level(exposure * pattern(channel, d));
    }
  }
}

}  // namespace lens_model
