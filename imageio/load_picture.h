#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "imageio/result.h"

// Loads the picture file `name` as the new fisheye picture: decodes it, makes
// the panorama and display stores anew at its size, shows it and retitles the
// main window. On failure nothing of the program's state changes.
Result LoadFisheyeImage(const std::string& name);

// The whole content of a file.
Result ReadWholeFile(const std::string& name, std::vector<uint8_t>& bytes);
