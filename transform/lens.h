#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "transform/numbers.h"

// The lens a fisheye picture was taken with, and how the camera was held.
//
// Source coordinates: the top-left pixel's centre is (0, 0), x to the right,
// y down (the picture as a person sees it, whatever the store's row order).
// World: x east, y up, z ahead (longitude 0, latitude 0).

enum class LensModel : int32_t { Equidistant, Equisolid, Stereographic, Orthographic };

// The round region of the picture that the lens lit.
struct ImageCircle {
  double x = 0.0;
  double y = 0.0;
  double radius = 0.0;
};

struct CalibratedLens;

// A calibrated lens (calibrated_lens.h) takes its centre, scale and
// polynomial from its calibration alone, placed on the picture it reads; its
// field of view and circle then only limit the field (a field of view of 360
// and no circle: no limit but the calibration's own), and its model is unused.
struct Lens {
  LensModel model = LensModel::Equidistant;
  double fovDegrees = 198.0;          // across the image circle's diameter
  std::optional<ImageCircle> circle;  // none: centred, diameter = picture height
  double yawDegrees = 0.0;            // about the vertical, positive east
  double pitchDegrees = 0.0;          // about the camera's right axis, positive up
  double rollDegrees = 0.0;           // about the lens axis, positive clockwise from behind
  std::shared_ptr<const CalibratedLens> calibrated;
  double radiusScale = 1.0;           // a calibrated lens's radii times this
};

// The saved shapes of a picture H high: the square (its middle H x H block),
// the rectangle (that square, then H black columns) and the sphere (its middle
// 2H columns, black where the picture has none).
enum class SaveShape { Square, Rectangle, Sphere };

// A panorama holds at most this many pixels, as a loaded picture does.
inline constexpr int64_t kMostPanoramaPixels = 50'000'000;

// Pixels of the picture saved in `shape` from a panorama `height` high.
int64_t SavedPixels(SaveShape shape, int64_t height);

// The panorama that a fisheye `pictureWidth` x `pictureHeight` turns into
// through `lens` for saving in `shape`, `height` high (0: the picture's
// height), lowered until the saved picture holds at most kMostPanoramaPixels.
// The program's own lens at the picture's height makes a panorama of the
// picture's size, whose middle square is saved; any other lens, or the
// sphere, a panorama of the saved square's or sphere's own size.
struct PanoramaSize {
  int32_t width = 0;
  int32_t height = 0;
  bool programLens = false;  // the picture's size, columns outside the square cleared
  bool reduced = false;      // the height lowered to fit
};
PanoramaSize PanoramaSizeFor(const Lens& lens, SaveShape shape, int32_t pictureWidth, int32_t pictureHeight,
                             int32_t height);
inline constexpr double kNarrowestFovDegrees = 10.0;

// The camera's angles, in degrees: a full turn either way for yaw and roll,
// up to the zenith or the nadir for pitch.
inline constexpr NumberRange kYawRange{-360.0, 360.0};
inline constexpr NumberRange kPitchRange{-90.0, 90.0};
inline constexpr NumberRange kRollRange{-360.0, 360.0};

const char* LensModelName(LensModel model);
std::optional<LensModel> LensModelNamed(const std::string& name);
double DefaultFovDegrees(LensModel model);
double WidestFovDegrees(LensModel model);

ImageCircle DefaultCircle(int32_t width, int32_t height);
ImageCircle CircleOf(const Lens& lens, int32_t width, int32_t height);
// Whether some pixel of a picture `width` x `height` lies inside `circle`
// (clipped circles are real; one wholly outside sees nothing).
bool CircleMeetsPicture(const ImageCircle& circle, int32_t width, int32_t height);
// To 0.01 px, as the finder's circle is printed and used.
ImageCircle RoundedCircle(const ImageCircle& circle);

// The program's own lens: equidistant, 198 degrees across the picture height,
// centred, held level. Such a lens keeps the program's original numbers.
bool IsProgramLens(const Lens& lens, int32_t width, int32_t height);
