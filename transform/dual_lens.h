#pragma once
#include <cstdint>
#include <optional>
#include <span>

#include "imageio/result.h"
#include "transform/calibration.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"
#include "transform/resample.h"

// A two-lens camera's picture: two circular fisheyes side by side, the left
// half (columns 0 to W / 2 - 1) looking ahead, the right half (from column
// W / 2, rounded down) straight behind, each upright. The back lens is the
// front lens turned 180 degrees about the vertical, give or take the few
// tenths of a degree by which real cameras are never exactly back to back.

// The back lens's offset from straight behind, in the camera's frame: it
// looks along yaw 180 + yaw, with this pitch and roll, in the conventions of
// one lens's yaw, pitch and roll.
struct BackLensOffset {
  double yawDegrees = 0.0;
  double pitchDegrees = 0.0;
  double rollDegrees = 0.0;
};

struct DualLens {
  // The model and field of view both lenses share, the front half's circle
  // (in the left half's own coordinates) and the whole camera's orientation.
  Lens front;
  // The back half's circle, in the right half's own coordinates (its
  // column 0 is the picture's column W / 2); none: the front's.
  std::optional<ImageCircle> backCircle;
  BackLensOffset back;
  // Where the two lenses of one camera differ: the back lens's own field of
  // view (none: the front's), or its own calibration (placed on the right
  // half, in its own pixels; given with the front's) and radius factor.
  std::optional<double> backFovDegrees;
  std::shared_ptr<const CalibratedLens> backCalibrated;
  double backRadiusScale = 1.0;
};

// Two lenses need some overlap to match and blend: their field of view must
// exceed this.
inline constexpr double kNarrowestDualFovDegrees = 185.0;
// The back lens's offset from straight behind, in degrees.
inline constexpr NumberRange kBackYawRange{-180.0, 180.0};
inline constexpr NumberRange kBackPitchRange{-90.0, 90.0};
inline constexpr NumberRange kBackRollRange{-180.0, 180.0};
// The alignment searches this far from straight behind, in each angle.
inline constexpr double kWidestBackOffsetDegrees = 3.0;

// Whether a picture this size holds two fisheyes side by side: its width
// within 2% of twice its height.
bool IsSideBySide(int32_t width, int32_t height);

// The width of each half: the front's columns 0 .. HalfWidth - 1; the back's
// HalfWidth .. width - 1 (one more for an odd width).
int32_t FrontHalfWidth(int32_t width);

// The sphere a two-lens picture `pictureWidth` x `pictureHeight` turns into,
// `height` high (0: the picture's height), 2N x N whatever shape is saved
// from it, lowered until the sphere holds at most kMostPanoramaPixels.
PanoramaSize DualSphereSize(int32_t pictureWidth, int32_t pictureHeight, int32_t height);

// Each lens's circle in its own half's coordinates, as the stitch uses it
// (none given: centred in the half, diameter the picture's height).
ImageCircle FrontCircleOf(const DualLens& lens, int32_t width, int32_t height);
ImageCircle BackCircleOf(const DualLens& lens, int32_t width, int32_t height);

// The back lens's orientation in the world (camera orientation, then the
// back lens's place in the camera), as one lens's yaw, pitch and roll.
Lens BackLensOf(const DualLens& lens);

// Stitches the two lenses of `source` into the whole sphere `sphere` (2N x N,
// rows in storage order, columns and rows as TransformPicture places them).
// The back lens's colours are scaled per channel to match the front's over
// their overlap, and the two are blended across a band of a few degrees along
// the seam, midway between the lens axes: each lens's weight falls smoothly to
// zero across the band, so no line and no step is left. Pixels neither lens
// sees are left as they are. The same bits for every thread count and path.
void StitchDualPicture(const PixelBuffer& source, const PixelBuffer& sphere, const DualLens& lens, int32_t threads,
                       const BandCallback& afterBand = {});

// The back lens's gain per channel (blue, green, red) that makes it match the
// front over their overlap; 1 where the overlap tells nothing.
struct ChannelGains {
  double blue = 1.0;
  double green = 1.0;
  double red = 1.0;
};
ChannelGains MatchExposure(const PixelBuffer& source, const DualLens& lens);

// The stitch with the back lens's gains given rather than matched on this
// picture: a video's frames share gains smoothed over neighbouring frames.
void StitchDualPicture(const PixelBuffer& source, const PixelBuffer& sphere, const DualLens& lens,
                       const ChannelGains& backGains, int32_t threads, const BandCallback& afterBand = {});
// The stitch in 16 bits: the same passes, gains and blend on 16-bit samples;
// the gains are the 8-bit picture's (MatchExposure on its reduction).
void StitchDualPicture(const PixelBuffer16& source, const PixelBuffer16& sphere, const DualLens& lens,
                       const ChannelGains& backGains, int32_t threads, const BandCallback& afterBand = {});

// Finds the back lens's offset from straight behind (each angle within
// kWidestBackOffsetDegrees, to 0.01 degree) at which the lenses agree best
// over their overlap; `lens.back` is where the search starts. Fails when the
// overlap holds nothing to compare.
Result AlignBackLens(const PixelBuffer& source, const DualLens& lens, int32_t threads, BackLensOffset& offset);

// The same search, and with `fitLenses` each lens's own size as well: its
// field of view (within kWidestFovChangeDegrees of the one given, to 0.01
// degree) or, for calibrated lenses, its radius factor (kLensScaleRange, to
// 0.0001). `aligned` is `lens` with what was found. With `aroundStart` the
// angles are searched within kWidestBackOffsetDegrees of `lens.back` (a
// calibration's), else of straight behind.
inline constexpr double kWidestFovChangeDegrees = 5.0;
inline constexpr NumberRange kLensScaleRange{0.95, 1.05};
Result AlignLenses(const PixelBuffer& source, const DualLens& lens, bool fitLenses, bool aroundStart, int32_t threads,
                   DualLens& aligned);

// Of several alignments of one camera's lenses (each found on one picture),
// the one whose lenses disagree least over their overlap, summed over all
// `pictures` (1 less the correlation of their greys, as the search judges).
size_t LeastDisagreement(std::span<const PixelBuffer> pictures, std::span<const DualLens> candidates);

// The back lens's offset from straight behind, from both lenses' own turns
// in the world (as a Hugin project gives them).
BackLensOffset BackOffsetBetween(const LensPose& front, const LensPose& back);

// The field both lenses see (the narrower one's), in degrees across.
double DualFieldDegrees(const DualLens& lens);

// Finds both image circles, each in its own half's coordinates.
Result FindDualCircles(const PixelBuffer& picture, ImageCircle& front, ImageCircle& back);
