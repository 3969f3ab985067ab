#pragma once
#include <cstdint>

// The two headers of an uncompressed BMP file, as the Win32 BITMAPFILEHEADER
// and BITMAPINFOHEADER lay them out (little-endian, 14 + 40 bytes).
inline constexpr uint16_t kBmpSignature = 0x4D42;  // "BM"
inline constexpr uint32_t kBmpFileHeaderBytes = 14;
inline constexpr uint32_t kBmpInfoHeaderBytes = 40;
inline constexpr uint32_t kBmpPixelOffset = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;
inline constexpr uint32_t kBiRgb = 0;

struct BitmapInfoHeader {
  uint32_t size = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t sizeImage = 0;
  int32_t xPelsPerMeter = 0;
  int32_t yPelsPerMeter = 0;
  uint32_t clrUsed = 0;
  uint32_t clrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == kBmpInfoHeaderBytes);

// A header for a bottom-up 32-bit picture of the given size.
inline BitmapInfoHeader BottomUp32BitHeader(int32_t width, int32_t height) {
  BitmapInfoHeader header;
  header.size = kBmpInfoHeaderBytes;
  header.width = width;
  header.height = height;
  header.planes = 1;
  header.bitCount = 32;
  header.compression = kBiRgb;
  return header;
}
