#pragma once

// The Lens window, modal over the main window: the lens model, field of
// view, image circle, camera orientation and panorama height that Transform
// uses from then on (LensChoice, PanoramaHeightChoice), or a calibration file
// in the model's place (CalibrationChoice), and whether the picture holds two
// lenses side by side, with the back lens's circle, angles and own field of
// view (TwoLensesChoice, BackCircleChoice, BackOffsetChoice, BackFovChoice).
// OK with a value out of range says which and keeps the window open; Cancel
// changes nothing.
void ShowLensWindow();
