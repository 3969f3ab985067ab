#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transform/pixel_buffer.h"
#include "transform/resample_kernels.h"

// Shared helpers of the engine tests.

// A picture without symmetry: a red "F" on a blue ground with a green ramp,
// in the program's layout. A flip, a mirror or a red/blue swap all show.
std::vector<uint8_t> MakeFPicture(int32_t width, int32_t height);

// Random bytes, the unused byte 0.
std::vector<uint8_t> MakeNoisePicture(int32_t width, int32_t height, uint32_t seed);

// The same with random 16-bit samples (PixelBuffer16's layout).
std::vector<uint16_t> MakeNoisePicture16(int32_t width, int32_t height, uint32_t seed);

// An 8-bit picture's samples times 257 (0 to 65535), and 16-bit samples
// reduced to 8 bits by ReduceSample.
std::vector<uint16_t> Widened(const std::vector<uint8_t>& pixels);
std::vector<uint8_t> Reduced(const std::vector<uint16_t>& samples);

// PsnrOf on the 16-bit scale (peak 65535).
double Psnr16Of(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b,
                const std::function<bool(size_t pixel)>& counted = {});

// A folder of its own for one test, emptied first.
std::filesystem::path ScratchFolder(const std::string& name);

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// The committed test pictures and sample.
std::string TestDataPath(const std::string& name);
std::string SamplePath(const std::string& name);

// A binary PPM (P6) as the program's layout, for reference pictures.
std::vector<uint8_t> ReadPpm(const std::string& path, int32_t& width, int32_t& height);

// Where two pictures of the same size differ, in decibels of peak signal to
// noise over the colour bytes of the pixels `counted` accepts (every pixel
// without it); infinity when they agree.
double PsnrOf(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
              const std::function<bool(size_t pixel)>& counted = {});

// FNV-1a of a run of bytes: a checksum for golden pictures.
uint64_t Fnv1a(const uint8_t* bytes, size_t count);

// Every form of the transform's pixel loop this processor runs, the plain
// one first.
std::vector<KernelPath> RunnableKernelPaths();

// The back lens's offset the converter printed ("back lens: yaw Y pitch P
// roll R"): the words Y, P and R, or none where it printed none.
std::optional<std::array<std::string, 3>> PrintedBackLens(const std::string& printed);
