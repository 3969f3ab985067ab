#pragma once
#include <cstdint>
#include <vector>

// The window's process-wide state, for the tests of the window's commands.

// Puts every piece of process-wide state back to its start-up value, with a
// fresh SourceStore reserved.
void ResetProgramState();

// Makes `pixels` the loaded picture, as a successful load of that picture
// would leave the program, without going through a file.
void InstallPicture(const std::vector<uint8_t>& pixels, int32_t width, int32_t height);

// Copies the display store's W x H picture.
std::vector<uint8_t> DisplayCopy();
