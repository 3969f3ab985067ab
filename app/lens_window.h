#pragma once

// The Lens window, modal over the main window: the lens model, field of
// view, image circle, camera orientation and panorama height that Transform
// uses from then on (LensChoice, PanoramaHeightChoice), and whether the
// picture holds two lenses side by side, with the back lens's circle and
// angles (TwoLensesChoice, BackCircleChoice, BackOffsetChoice). OK with a
// value out of range says which and keeps the window open; Cancel changes
// nothing.
void ShowLensWindow();
