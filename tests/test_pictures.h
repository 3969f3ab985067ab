#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "transform/pixel_buffer.h"

// Shared helpers of the engine tests.

// Puts every piece of process-wide state back to its start-up value, with a
// fresh SourceStore reserved.
void ResetProgramState();

// A picture without symmetry: a red "F" on a blue ground with a green ramp,
// in the program's layout. A flip, a mirror or a red/blue swap all show.
std::vector<uint8_t> MakeFPicture(int32_t width, int32_t height);

// Random bytes, the unused byte 0.
std::vector<uint8_t> MakeNoisePicture(int32_t width, int32_t height, uint32_t seed);

// Makes `pixels` the loaded picture, as a successful load of that picture
// would leave the program, without going through a file.
void InstallPicture(const std::vector<uint8_t>& pixels, int32_t width, int32_t height);

// A folder of its own for one test, emptied first.
std::filesystem::path ScratchFolder(const std::string& name);

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// The committed test pictures and sample.
std::string TestDataPath(const std::string& name);
std::string SamplePath(const std::string& name);

// A binary PPM (P6) as the program's layout, for reference pictures.
std::vector<uint8_t> ReadPpm(const std::string& path, int32_t& width, int32_t& height);

// Copies the display store's W x H picture.
std::vector<uint8_t> DisplayCopy();
