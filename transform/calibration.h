#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imageio/result.h"
#include "transform/lens.h"

// A real lens as a calibration describes it, in the words of the tool that
// made it. Two kinds:
//
// Hugin / Panorama Tools (one image line of a .pto project): an ideal base
// projection whose field of view `fovDegrees` spans the picture's width; a
// point at distance r from the picture's centre in that ideal picture (r in
// units of half the picture's smaller side) lies at
// r * (a r^3 + b r^2 + c r + 1 - a - b - c) in the real one; that point is
// then shifted by (d, e) pixels (right, down) and sheared,
// x += g / height * y, y += t / width * x. The crop S l,r,t,b counts pixel
// edges (r and b exclusive); its circle (centre ((l + r) / 2 - 0.5,
// (t + b) / 2 - 0.5), radius min(r - l, b - t) / 2) limits the field.
//
// OpenCV / ROS fisheye (Kannala-Brandt): a direction at angle theta off the
// axis lands at theta_d = theta (1 + k1 theta^2 + k2 theta^4 + k3 theta^6 +
// k4 theta^8) from the principal point: x = fx (a + skew b) + cx,
// y = fy b + cy, where (a, b) is theta_d along the direction's bearing (y
// down), and (cx, cy) counts from the top-left pixel's centre.

// Hugin's rectangle of pixel edges: columns [left, right), rows [top, bottom).
struct CropRectangle {
  double left = 0.0;
  double right = 0.0;
  double top = 0.0;
  double bottom = 0.0;
};

// The camera's (or a lens's) turn, as Hugin's y, p and r: our yaw, pitch and
// roll, in our order, in degrees.
struct LensPose {
  double yawDegrees = 0.0;
  double pitchDegrees = 0.0;
  double rollDegrees = 0.0;
};

struct LensCalibration {
  enum class Kind { Hugin, KannalaBrandt };
  Kind kind = Kind::Hugin;
  // The size of the picture it was made for; 0 x 0: the picture's own (an
  // OpenCV file without a size).
  int32_t width = 0;
  int32_t height = 0;

  // Hugin.
  int32_t projectionCode = 2;  // as the file gives it: 2, 3, 8, 10 or 21
  LensModel model = LensModel::Equidistant;
  double fovDegrees = 180.0;   // v, across the width
  double a = 0.0, b = 0.0, c = 0.0;
  double shiftX = 0.0, shiftY = 0.0;  // d, e
  double shearX = 0.0, shearY = 0.0;  // g, t
  std::optional<CropRectangle> crop;
  std::optional<LensPose> pose;  // a project's y, p, r

  // Kannala-Brandt.
  double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0, skew = 0.0;
  double k[4] = {0.0, 0.0, 0.0, 0.0};
};

// What a calibration file holds: one lens, or a project's first two image
// lines (front, then back).
struct CalibrationFile {
  bool fromProject = false;  // a Hugin project (its roll already holds the picture's EXIF turn)
  std::vector<LensCalibration> lenses;
};

// Reads a calibration from `text`, the contents of the file `name` (used in
// messages only): a Hugin project or a camera YAML, told apart by content.
// `lensesWanted` (1, or 2 with two lenses side by side) is how many lenses
// the caller needs: a project gives that many image lines, a YAML file's one
// lens serves both. Every failure names the file and the line or key.
Result ParseCalibration(const std::string& name, std::string_view text, int lensesWanted, CalibrationFile& file);

// The same, from the file itself.
Result ReadCalibrationFile(const std::string& path, int lensesWanted, CalibrationFile& file);
