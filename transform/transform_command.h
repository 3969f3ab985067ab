#pragma once
#include <optional>

#include "imageio/result.h"
#include "transform/calibration.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"

// The window's Transform command: the fisheye picture in SourceStore through
// the Lens window's lens into PanoramaStore, made anew at the panorama's size
// when it has another, and copied to DisplayStore; for the program's own lens
// with the columns outside the saved square blacked out. With two lenses
// chosen, the two halves stitched into the whole sphere; a picture that is
// not about 2:1, or a calibration that does not fit the picture, is reported
// and changes nothing.
void RunTransform();

// The shape Save Options chose (SaveAsRectangle 0, 1, 2).
SaveShape ChosenSaveShape();

// The lens Transform uses: the Lens window's, rolled by the loaded photo's
// EXIF orientation (unless a project's roll, which holds it, is chosen).
// Without its calibration, which PlaceCalibrationOnPicture places.
Lens TransformLens();

// The two lenses Transform uses when TwoLensesChoice is 1: TransformLens in
// front, BackCircleChoice, BackOffsetChoice, BackFovChoice and
// BackRadiusScaleChoice behind.
DualLens TransformDualLens();

// The calibration `file` placed on the loaded picture, each lens on its half
// with `twoLenses`, into lens.front.calibrated and lens.backCalibrated, as
// the converter places --calibration. Nothing is placed with no picture
// loaded, or for two lenses in a picture not about 2:1 (Transform says why).
// Fails when the file does not fit the picture, or when a limit `lens` sets
// lies beyond its polynomial's reach: the field of view (360: none; the
// back's own or the front's) or the circle (the back's, or the front's).
Result PlaceCalibrationOnPicture(const CalibrationFile& file, bool twoLenses, DualLens& lens);

// The back lens's offset that a project's two lenses, each with its turn,
// give; none for any other file.
std::optional<BackLensOffset> ProjectBackOffset(const CalibrationFile& file);

// Save and Sharpen's pass: sharpens DisplayStore in place with the strength
// SharpenLevel gives.
void SharpenDisplay();

// Find circle: the loaded picture's image circle, rounded to 0.01 px as the
// converter prints it, becomes the Lens window's circle; with two lenses,
// the front's and the back's (BackCircleChoice). Fails, changing nothing,
// when nothing is loaded or the picture has no circle (two: is not about 2:1).
Result FindLensCircle();

// Align: the back lens's offset at which the loaded picture's two lenses
// agree best, rounded to 0.01 degree as the converter prints it, becomes
// BackOffsetChoice; with FitLensesChoice, as --align-lens, each lens's field
// of view too (LensChoice.fovDegrees, BackFovChoice, to 0.01 degree) or with a
// calibration its radius factor (LensChoice.radiusScale,
// BackRadiusScaleChoice). A project's two lenses are searched around their
// offset, others around straight behind. Fails, changing nothing, when
// nothing is loaded, the picture is not about 2:1, the calibration does not
// fit it or the overlap holds nothing to compare.
Result AlignLenses();
