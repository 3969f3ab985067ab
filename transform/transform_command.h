#pragma once
#include "imageio/result.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"

// The window's Transform command: the fisheye picture in SourceStore through
// the Lens window's lens into PanoramaStore, made anew at the panorama's size
// when it has another, and copied to DisplayStore; for the program's own lens
// with the columns outside the saved square blacked out. With two lenses
// chosen, the two halves stitched into the whole sphere; a picture that is
// not about 2:1 is reported and changes nothing.
void RunTransform();

// The shape Save Options chose (SaveAsRectangle 0, 1, 2).
SaveShape ChosenSaveShape();

// The lens Transform uses: the Lens window's, rolled by the loaded photo's
// EXIF orientation.
Lens TransformLens();

// The two lenses Transform uses when TwoLensesChoice is 1: TransformLens in
// front, BackCircleChoice and BackOffsetChoice behind.
DualLens TransformDualLens();

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
// BackOffsetChoice. Fails, changing nothing, when nothing is loaded, the
// picture is not about 2:1 or the overlap holds nothing to compare.
Result AlignLenses();
