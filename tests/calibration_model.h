#pragma once
// A calibrated lens as the tests see it, written from the calibration's own
// words (calibration.h), not from the engine's placement of it: where a
// direction of the lens's frame lands in the picture, and back by Newton's
// method, so that pictures can be photographed through real lenses.
#include <algorithm>
#include <cmath>

#include "lens_model.h"
#include "transform/calibration.h"

namespace calibration_model {

using lens_model::Vector3;

// Where the direction theta off the axis, at bearing phi (0 to the right,
// counter-clockwise as seen in the picture), lands in a picture `width` x
// `height` (x right, y down from the top-left pixel's centre).
inline void Project(const LensCalibration& c, int32_t width, int32_t height, double theta, double phi, double& x,
                    double& y) {
  const double s = c.width > 0 ? static_cast<double>(width) / c.width : 1.0;
  if (c.kind == LensCalibration::Kind::KannalaBrandt) {
    const double t2 = theta * theta;
    const double td = theta * (1 + t2 * (c.k[0] + t2 * (c.k[1] + t2 * (c.k[2] + t2 * c.k[3]))));
    const double a = td * std::cos(phi), b = -td * std::sin(phi);  // b down
    x = c.fx * s * (a + c.skew * b) + (c.cx + 0.5) * s - 0.5;
    y = c.fy * s * b + (c.cy + 0.5) * s - 0.5;
    return;
  }
  // Hugin: the ideal picture's radius for the field across the width...
  const double v = lens_model::Radians(c.fovDegrees);
  double r = 0;
  switch (c.model) {
    case LensModel::Equidistant: r = width / v * theta; break;
    case LensModel::Equisolid: r = width / (4 * std::sin(v / 4)) * 2 * std::sin(theta / 2); break;
    case LensModel::Stereographic: r = width / (4 * std::tan(v / 4)) * 2 * std::tan(theta / 2); break;
    case LensModel::Orthographic: r = width / (2 * std::sin(v / 2)) * std::sin(theta); break;
  }
  // ...then the radial polynomial, the shift and the shear, y down.
  const double unit = std::min(width, height) / 2.0;
  const double rn = r / unit;
  const double factor = c.a * rn * rn * rn + c.b * rn * rn + c.c * rn + 1 - c.a - c.b - c.c;
  const double px = r * factor * std::cos(phi) + c.shiftX * s;
  const double py = -r * factor * std::sin(phi) + c.shiftY * s;
  x = px + c.shearX * s / height * py + (width - 1) / 2.0;
  y = py + c.shearY * s / width * px + (height - 1) / 2.0;
}

// The direction (theta, phi) that lands at (x, y): Newton's method on the
// plane of theta (cos phi, sin phi), with a numerical Jacobian, from the
// axis or from `near` (a neighbour's answer, which it becomes). False where
// it does not converge.
struct Guess {
  double p = 0, q = 0;
};
inline bool Unproject(const LensCalibration& c, int32_t width, int32_t height, double x, double y, double& theta,
                      double& phi, Guess* near = nullptr) {
  double p = near ? near->p : 0, q = near ? near->q : 0;  // theta (cos phi, sin phi)
  const auto at = [&](double pp, double qq, double& fx, double& fy) {
    Project(c, width, height, std::hypot(pp, qq), std::atan2(qq, pp), fx, fy);
  };
  for (int iteration = 0; iteration < 60; ++iteration) {
    double fx, fy;
    at(p, q, fx, fy);
    const double ex = fx - x, ey = fy - y;
    if (std::hypot(ex, ey) < 1e-9) {
      theta = std::hypot(p, q);
      phi = std::atan2(q, p);
      if (near) *near = {p, q};
      return true;
    }
    const double h = 1e-7;
    double ax, ay, bx, by;
    at(p + h, q, ax, ay);
    at(p, q + h, bx, by);
    const double j00 = (ax - fx) / h, j10 = (ay - fy) / h, j01 = (bx - fx) / h, j11 = (by - fy) / h;
    const double det = j00 * j11 - j01 * j10;
    if (!(std::fabs(det) > 1e-12)) return false;
    double dp = (j11 * ex - j01 * ey) / det, dq = (j00 * ey - j10 * ex) / det;
    // Steps of at most a tenth of a radian keep it on the lens's own branch.
    const double step = std::hypot(dp, dq);
    if (step > 0.1) dp *= 0.1 / step, dq *= 0.1 / step;
    p -= dp;
    q -= dq;
  }
  return false;
}

// The world direction of (theta, phi) for a camera turned as `camera`.
inline Vector3 WorldDirection(const lens_model::Camera& camera, double theta, double phi) {
  using lens_model::operator*;
  using lens_model::operator+;
  return (std::sin(theta) * std::cos(phi)) * camera.right + (std::sin(theta) * std::sin(phi)) * camera.up +
         std::cos(theta) * camera.ahead;
}

// theta and phi of a world direction seen by `camera`.
inline void LensAngles(const lens_model::Camera& camera, Vector3 d, double& theta, double& phi) {
  const double across = lens_model::Dot(d, camera.right), up = lens_model::Dot(d, camera.up);
  theta = std::atan2(std::hypot(across, up), lens_model::Dot(d, camera.ahead));
  phi = std::atan2(up, across);
}

}  // namespace calibration_model
