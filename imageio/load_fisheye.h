#pragma once
#include <string>

#include "imageio/result.h"

// Loads the picture file `name` as the window's new fisheye picture: decodes
// it, makes the panorama and display stores anew at its size, shows it and
// retitles the main window. On failure nothing of the program's state changes.
Result LoadFisheyeImage(const std::string& name);
