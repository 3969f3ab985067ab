#pragma once

// The window's Transform command: the fisheye picture in SourceStore through
// the program's own lens into PanoramaStore, copied to DisplayStore with the
// columns outside the saved square blacked out.
void RunTransform();

// Save and Sharpen's pass: sharpens DisplayStore in place with the strength
// SharpenLevel gives.
void SharpenDisplay();
