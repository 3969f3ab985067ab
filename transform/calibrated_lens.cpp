#include "transform/calibrated_lens.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "transform/dual_lens.h"
#include "transform/numbers.h"

namespace {

constexpr double kPi = std::numbers::pi;

double Radians(double degrees) { return degrees * kPi / 180.0; }
double Degrees(double radians) { return radians * 180.0 / kPi; }

// Where each base model ends: the orthographic lens sees the half sphere
// before it, the others the whole sphere (the stereographic one all but the
// point behind it).
double BaseLimit(LensModel model) { return model == LensModel::Orthographic ? kPi / 2.0 : kPi; }

// b(theta), the base model's radius per unit of focal length.
double BaseRadius(LensModel model, double theta) {
  switch (model) {
    case LensModel::Equidistant: return theta;
    case LensModel::Equisolid: return 2.0 * std::sin(theta / 2.0);
    case LensModel::Stereographic: return 2.0 * std::tan(theta / 2.0);
    case LensModel::Orthographic: return std::sin(theta);
  }
  return theta;
}

// Hugin's focal length (its "distance") of a base model whose field of view
// `fov` (radians) spans `width` pixels.
double HuginFocal(LensModel model, double width, double fov) {
  switch (model) {
    case LensModel::Equidistant: return width / fov;
    case LensModel::Equisolid: return width / (4.0 * std::sin(fov / 4.0));
    case LensModel::Stereographic: return width / (4.0 * std::tan(fov / 4.0));
    case LensModel::Orthographic: return width / (2.0 * std::sin(std::min(fov, kPi) / 2.0));
  }
  return width / fov;
}

// d rho / d b over focal: P(b) + b P'(b), whose sign says whether rho grows.
double Growth(const CalibratedLens& placed, double b) {
  double sum = 0.0;
  for (int i = 8; i >= 0; --i) sum = sum * b + (i + 1) * placed.poly[i];
  return sum;
}

// The first angle off the axis where rho stops growing, or where the base
// model ends: scanned in steps of 0.05 degrees, then narrowed to a
// millionth of a degree.
double FoldOf(const CalibratedLens& placed) {
  const double end = BaseLimit(placed.base);
  const double step = Radians(0.05);
  double grows = 0.0;
  for (double theta = 0.0; theta < end; theta += step) {
    if (!(Growth(placed, BaseRadius(placed.base, theta)) > 0.0)) {
      double stops = theta;
      while (stops - grows > Radians(1e-6)) {
        const double middle = (grows + stops) / 2.0;
        (Growth(placed, BaseRadius(placed.base, middle)) > 0.0 ? grows : stops) = middle;
      }
      return grows;
    }
    grows = theta;
  }
  return end;
}

// How much larger a picture `width` x `height` is than the one `calibration`
// was made for (1 for a calibration without a size). Another resolution of
// the same picture scales with it; another shape (beyond 0.1%) is another
// camera setting: a failure.
Result ScaleOf(const LensCalibration& calibration, int32_t width, int32_t height, double& s) {
  const bool ownSize = calibration.width <= 0 || calibration.height <= 0;
  const double madeWidth = ownSize ? width : calibration.width;
  const double madeHeight = ownSize ? height : calibration.height;
  if (std::fabs(width * madeHeight - height * madeWidth) > 0.001 * width * madeHeight) {
    return Result::Failure("the calibration was made for a picture of " + std::to_string(calibration.width) + " x " +
                           std::to_string(calibration.height) + ", whose shape is not this one's (" +
                           std::to_string(width) + " x " + std::to_string(height) + ")");
  }
  s = width / madeWidth;
  return {};
}

}  // namespace

Result PlaceCalibration(const LensCalibration& calibration, int32_t width, int32_t height, CalibratedLens& placed) {
  double s = 1.0;
  Result fits = ScaleOf(calibration, width, height, s);
  if (!fits.ok()) return fits;
  CalibratedLens lens;
  if (calibration.kind == LensCalibration::Kind::Hugin) {
    const double d = calibration.shiftX * s, e = calibration.shiftY * s;
    const double g = calibration.shearX * s, t = calibration.shearY * s;
    lens.base = calibration.model;
    lens.focal = HuginFocal(lens.base, width, Radians(calibration.fovDegrees));
    // r (units of half the smaller side) times a r^3 + b r^2 + c r + 1 - a - b - c,
    // with r = focal b / half side, as a polynomial in b.
    const double k = lens.focal / (std::min(width, height) / 2.0);
    lens.poly[0] = 1.0 - calibration.a - calibration.b - calibration.c;
    lens.poly[1] = calibration.c * k;
    lens.poly[2] = calibration.b * k * k;
    lens.poly[3] = calibration.a * k * k * k;
    // The shear, x += g / H * y and y += t / W * x with y down, on (right, up).
    lens.matrix[0][0] = 1.0;
    lens.matrix[0][1] = -g / height;
    lens.matrix[1][0] = -t / width;
    lens.matrix[1][1] = 1.0;
    // The shift (d, e) comes before the shear.
    lens.centreX = (width - 1) / 2.0 + d + g / height * e;
    lens.centreY = (height - 1) / 2.0 + e + t / width * d;
    if (calibration.crop) {
      const CropRectangle& crop = *calibration.crop;
      lens.crop = ImageCircle{(crop.left + crop.right) * s / 2.0 - 0.5, (crop.top + crop.bottom) * s / 2.0 - 0.5,
                              std::min(crop.right - crop.left, crop.bottom - crop.top) * s / 2.0};
    }
  } else {
    lens.base = LensModel::Equidistant;
    lens.focal = 1.0;
    lens.poly[2] = calibration.k[0];
    lens.poly[4] = calibration.k[1];
    lens.poly[6] = calibration.k[2];
    lens.poly[8] = calibration.k[3];
    const double fx = calibration.fx * s, fy = calibration.fy * s;
    // y down in the file: up is -y, so the skew's sign turns.
    lens.matrix[0][0] = fx;
    lens.matrix[0][1] = -fx * calibration.skew;
    lens.matrix[1][0] = 0.0;
    lens.matrix[1][1] = fy;
    lens.centreX = (calibration.cx + 0.5) * s - 0.5;
    lens.centreY = (calibration.cy + 0.5) * s - 0.5;
  }
  lens.thetaLimit = FoldOf(lens);
  if (!(lens.thetaLimit > 0.0)) return Result::Failure("the calibration's polynomial does not grow from the centre");
  if (lens.crop) {
    Result crop = CheckFieldLimits(lens, std::nullopt, lens.crop);
    if (!crop.ok()) return Result::Failure("the crop: " + crop.reason());
  }
  placed = lens;
  return {};
}

void MoveCalibration(CalibratedLens& placed, double dx, double dy) {
  placed.centreX += dx;
  placed.centreY += dy;
  if (placed.crop) {
    placed.crop->x += dx;
    placed.crop->y += dy;
  }
}

Result CalibrationOfHalf(const LensCalibration& calibration, int32_t wholeWidth, int32_t height, int32_t firstColumn,
                         int32_t width, LensCalibration& half) {
  double s = 1.0;
  Result fits = ScaleOf(calibration, wholeWidth, height, s);
  if (!fits.ok()) return fits;
  LensCalibration c = calibration;
  c.width = width;
  c.height = height;
  if (c.kind == LensCalibration::Kind::Hugin) {
    // The lens's centre in the whole picture, then counted from the half's.
    c.shiftX = (wholeWidth - 1) / 2.0 + calibration.shiftX * s - firstColumn - (width - 1) / 2.0;
    c.shiftY = calibration.shiftY * s;
    c.shearX = calibration.shearX * s;
    c.shearY = calibration.shearY * s;
    if (c.crop) {
      c.crop->left = calibration.crop->left * s - firstColumn;
      c.crop->right = calibration.crop->right * s - firstColumn;
      c.crop->top = calibration.crop->top * s;
      c.crop->bottom = calibration.crop->bottom * s;
    }
  } else {
    c.fx = calibration.fx * s;
    c.fy = calibration.fy * s;
    c.cx = (calibration.cx + 0.5) * s - 0.5 - firstColumn;
    c.cy = (calibration.cy + 0.5) * s - 0.5;
  }
  half = c;
  return {};
}

double RadiusAt(const CalibratedLens& placed, double theta) {
  const double b = BaseRadius(placed.base, theta);
  double p = 0.0;
  for (int i = 8; i >= 0; --i) p = p * b + placed.poly[i];
  return placed.focal * b * p;
}

void PixelAt(const CalibratedLens& placed, double theta, double phi, double& x, double& y) {
  const double rho = RadiusAt(placed, theta);
  const double right = rho * std::cos(phi), up = rho * std::sin(phi);
  x = placed.centreX + placed.matrix[0][0] * right + placed.matrix[0][1] * up;
  y = placed.centreY - (placed.matrix[1][0] * right + placed.matrix[1][1] * up);
}

double FieldLimit(const CalibratedLens& placed, double widestTheta) { return std::min(placed.thetaLimit, widestTheta); }

Result CheckFieldLimits(const CalibratedLens& placed, const std::optional<double>& fovCapDegrees,
                        const std::optional<ImageCircle>& circle) {
  // Only a fold can leave part of a limit unreachable.
  if (placed.thetaLimit >= BaseLimit(placed.base)) return {};
  const std::string fold = "the lens's polynomial stops growing " + DecimalText(Degrees(placed.thetaLimit), 2) +
                           " degrees off the axis";
  if (fovCapDegrees && *fovCapDegrees / 2.0 > Degrees(placed.thetaLimit) + 1e-9) {
    return Result::Failure(fold + ", inside the field of view of " + DecimalText(*fovCapDegrees, 2) +
                           " degrees given (half of it " + DecimalText(*fovCapDegrees / 2.0, 2) + ")");
  }
  if (circle) {
    // The fold's image, bearing by bearing, must lie outside the circle.
    for (int i = 0; i < 720; ++i) {
      double x, y;
      PixelAt(placed, placed.thetaLimit, i * kPi / 360.0, x, y);
      if (std::hypot(x - circle->x, y - circle->y) < circle->radius) {
        return Result::Failure(fold + ", inside the circle of radius " + DecimalText(circle->radius, 2) +
                               " pixels given");
      }
    }
  }
  return {};
}

namespace {

// One lens placed on its picture, or on the half [firstColumn, firstColumn +
// width) of a two-lens picture `wholeWidth` wide.
Result PlaceOne(const LensCalibration& calibration, int32_t width, int32_t height, int32_t wholeWidth,
                int32_t firstColumn, const FieldLimits& limits, std::shared_ptr<const CalibratedLens>& placed) {
  CalibratedLens lens;
  Result result = PlaceCalibration(calibration, width, height, lens);
  LensCalibration half;
  if (!result.ok() && wholeWidth != width &&
      CalibrationOfHalf(calibration, wholeWidth, height, firstColumn, width, half).ok())
    result = PlaceCalibration(half, width, height, lens);
  if (result.ok()) result = CheckFieldLimits(lens, limits.fovDegrees, limits.circle);
  if (!result.ok()) return result;
  placed = std::make_shared<const CalibratedLens>(lens);
  return {};
}

}  // namespace

Result PlaceCalibrationFile(const CalibrationFile& file, bool dual, int32_t width, int32_t height,
                            const FieldLimits& frontLimits, const FieldLimits& backLimits,
                            std::shared_ptr<const CalibratedLens>& front, std::shared_ptr<const CalibratedLens>& back) {
  if (!dual) return PlaceOne(file.lenses.front(), width, height, width, 0, frontLimits, front);
  const int32_t half = FrontHalfWidth(width);
  Result result = PlaceOne(file.lenses.front(), half, height, width, 0, frontLimits, front);
  if (!result.ok()) return Result::Failure("front lens: " + result.reason());
  result = PlaceOne(file.lenses.back(), width - half, height, width, half, backLimits, back);
  if (!result.ok()) return Result::Failure("back lens: " + result.reason());
  return {};
}
