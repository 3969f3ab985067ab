#pragma once
#include <cstddef>
#include <cstdint>

// Every picture the program holds in memory has one layout, the one a
// bottom-up 32-bit Windows DIB with positive height uses:
//  - a pixel is 4 bytes: blue, green, red, then one unused byte;
//  - a row is `width` pixels with no padding, so rows are 4 * width bytes apart;
//  - the first row in storage is the bottom row of the picture.
// Pixel (x, y) lies at base + y * 4 * width + 4 * x, with x from the left and y
// counted in storage order (upward in the picture). Other files refer here
// instead of restating it.
//
// A PixelBuffer only describes pixels; the memory belongs to one of the stores.
struct PixelBuffer {
  uint8_t* base = nullptr;
  int32_t width = 0;
  int32_t height = 0;

  int32_t RowBytes() const { return 4 * width; }
  uint8_t* Row(int32_t y) const { return base + static_cast<ptrdiff_t>(y) * RowBytes(); }
  uint8_t* Pixel(int32_t x, int32_t y) const { return Row(y) + 4 * static_cast<ptrdiff_t>(x); }
};

inline constexpr int kBytesPerPixel = 4;

// A picture kept with 16 bits a sample (from a file that had 16): the same
// layout with 4 samples of 16 bits a pixel (blue, green, red, unused), rows
// 4 * width samples apart, bottom row first.
struct PixelBuffer16 {
  uint16_t* base = nullptr;
  int32_t width = 0;
  int32_t height = 0;

  int32_t RowSamples() const { return 4 * width; }
  uint16_t* Row(int32_t y) const { return base + static_cast<ptrdiff_t>(y) * RowSamples(); }
  uint16_t* Pixel(int32_t x, int32_t y) const { return Row(y) + 4 * static_cast<ptrdiff_t>(x); }
};

// A 16-bit sample as 8 bits, rounded to the nearest: the one reduction the
// program uses, whatever decoded the file.
inline uint8_t ReduceSample(uint32_t sample) { return static_cast<uint8_t>((sample * 255 + 32767) / 65535); }
