#pragma once
// PNG and TIFF files made by the libraries themselves (libpng, libtiff), for
// the readers' tests on systems that have them: every colour type, depth,
// layout and compression the readers take.
#include <cstdint>
#include <filesystem>
#include <vector>

namespace picture_files {

// A picture's samples as a file holds them: rows top first, each pixel
// `channels` samples (grey; grey, alpha; red, green, blue; or those and
// alpha), every value 0 to 65535 for 16 bits, 0 to 255 for 8.
struct Samples {
  int32_t width = 0;
  int32_t height = 0;
  int channels = 3;
  int bits = 8;
  std::vector<uint16_t> values;

  const uint16_t* At(int32_t x, int32_t y) const { return &values[(size_t(y) * width + x) * channels]; }
};

// Samples without symmetry: a red ramp across, a green one down, blue
// changing along the diagonals; alpha, when there is one, 0, half and full
// in turn. At 16 bits the low byte differs from the high one.
Samples MakeSamples(int32_t width, int32_t height, int channels, int bits);

struct PngLayout {
  bool palette = false;  // 8 bits only, colours from the samples' first 256 distinct
  bool interlaced = false;
};
std::vector<uint8_t> MakePng(const Samples& samples, const PngLayout& layout = {});

struct TiffLayout {
  int compression = 1;   // TIFF's compression numbers: 1 none, 5 LZW, 8 Deflate, 32773 PackBits
  int tileSide = 0;      // 0: strips
  int rowsPerStrip = 7;
  bool separatePlanes = false;
  bool minIsWhite = false;  // grey only
  int pages = 1;         // further pages are black
};
std::vector<uint8_t> MakeTiff(const Samples& samples, const TiffLayout& layout = {});

}  // namespace picture_files
