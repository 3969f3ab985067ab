#pragma once
#include "imageio/result.h"
#include "transform/lens.h"

// The window's Transform command: the fisheye picture in SourceStore through
// the Lens window's lens into PanoramaStore, made anew at the panorama's size
// when it has another, and copied to DisplayStore; for the program's own lens
// with the columns outside the saved square blacked out.
void RunTransform();

// The shape Save Options chose (SaveAsRectangle 0, 1, 2).
SaveShape ChosenSaveShape();

// The lens Transform uses: the Lens window's, rolled by the loaded photo's
// EXIF orientation.
Lens TransformLens();

// Save and Sharpen's pass: sharpens DisplayStore in place with the strength
// SharpenLevel gives.
void SharpenDisplay();

// Find circle: the loaded picture's image circle, rounded to 0.01 px as the
// converter prints it, becomes the Lens window's circle. Fails, changing
// nothing, when nothing is loaded or the picture has no circle.
Result FindLensCircle();
