#pragma once
#include <cstdint>
#include <memory>
#include <optional>

#include "imageio/result.h"
#include "transform/calibration.h"
#include "transform/lens.h"

// A calibration placed on one picture (or one half of a two-lens picture):
// where each direction of the lens's own frame lands, in that picture's
// pixels (source coordinates, y down, see lens.h).
//
// A direction theta off the axis, along the bearing (X, Y) of the lens frame
// (X right, Y up), lands at
//   centre + matrix * (rho(theta) * (X, Y) / |(X, Y)|),
// where matrix takes (right, up) to pixels (right, up) and
//   rho(theta) = focal * b * P(b),  b = the base model's radius per unit of
// focal length (equidistant theta, equisolid 2 sin(theta / 2), stereographic
// 2 tan(theta / 2), orthographic sin theta), P a polynomial of degree 8.
// Both calibration kinds take this form: Hugin's radial polynomial in r is
// one in b, Kannala-Brandt's is P(theta) over the equidistant base with the
// focal lengths and skew in the matrix.
struct CalibratedLens {
  LensModel base = LensModel::Equidistant;
  double focal = 1.0;
  double poly[9] = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double matrix[2][2] = {{1.0, 0.0}, {0.0, 1.0}};
  double centreX = 0.0;
  double centreY = 0.0;
  // The field ends here (radians off the axis): where rho stops growing, or
  // where the base model ends, whichever comes first.
  double thetaLimit = 0.0;
  // The crop's circle, which limits the field too.
  std::optional<ImageCircle> crop;
};

// Places `calibration` on a picture `width` x `height` that it was made for
// (or that is a scaled copy of: same aspect ratio within 0.1%). Fails with
// the reason when the sizes do not fit.
Result PlaceCalibration(const LensCalibration& calibration, int32_t width, int32_t height, CalibratedLens& placed);

// The same calibration in a picture whose pixels lie `dx`, `dy` further
// along.
void MoveCalibration(CalibratedLens& placed, double dx, double dy);

// A calibration made for the whole of a two-lens picture `wholeWidth` x
// `height` (as projects that load the picture once per lens, picking each
// lens by its shift and crop, have it) as one made for its half of `width`
// columns from `firstColumn`: the centre, the shift and the crop move into
// the half's own pixels, and the field of view and the polynomial then
// describe the half. Fails when the calibration is not the whole picture's
// shape.
Result CalibrationOfHalf(const LensCalibration& calibration, int32_t wholeWidth, int32_t height, int32_t firstColumn,
                         int32_t width, LensCalibration& half);

// rho(theta), in pixels before the matrix.
double RadiusAt(const CalibratedLens& placed, double theta);

// Where the direction `theta` off the axis along bearing `phi` (0 to the
// right, counter-clockwise, as seen in the picture) lands, before the roll.
void PixelAt(const CalibratedLens& placed, double theta, double phi, double& x, double& y);

// The field that `lens` sees through its calibration, `widest` the largest
// angle off the axis (radians) its field of view allows; and whether a limit
// (that field of view, or the crop's or the lens's circle) lies beyond where
// the polynomial stops growing, which is the reason given.
double FieldLimit(const CalibratedLens& placed, double widestTheta);
Result CheckFieldLimits(const CalibratedLens& placed, const std::optional<double>& fovCapDegrees,
                        const std::optional<ImageCircle>& circle);

// Limits given with a calibration, each only a cap on its field: a field of
// view (degrees across) and a circle (source coordinates).
struct FieldLimits {
  std::optional<double> fovDegrees;
  std::optional<ImageCircle> circle;
};

// The lenses of `file` placed on a picture `width` x `height`: one lens on
// the whole, or with `dual` each lens on its own half (from a line made for
// the half or for the whole picture), in that half's own pixels. Each lens's
// limits must lie within its polynomial's reach. The reason names the lens.
Result PlaceCalibrationFile(const CalibrationFile& file, bool dual, int32_t width, int32_t height,
                            const FieldLimits& frontLimits, const FieldLimits& backLimits,
                            std::shared_ptr<const CalibratedLens>& front, std::shared_ptr<const CalibratedLens>& back);
