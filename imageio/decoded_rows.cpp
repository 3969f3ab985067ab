#include "imageio/decoded_rows.h"

#include <algorithm>
#include <cassert>
#include <iterator>

namespace {

// Over black: a colour weighed by its opacity, rounded to the nearest.
inline uint32_t OverBlack8(uint32_t colour, uint32_t alpha) { return (colour * alpha + 127) / 255; }
inline uint32_t OverBlack16(uint32_t colour, uint32_t alpha) { return (colour * alpha + 32767) / 65535; }

template <typename Sample>
void StoreRow(const Sample* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8, uint16_t* pixels16) {
  constexpr bool kDeep = sizeof(Sample) == 2;
  constexpr uint32_t kMax = kDeep ? 65535 : 255;
  const int colours = format.grey ? 1 : 3;
  for (int32_t x = 0; x < width; ++x, row += format.samples) {
    uint32_t red = row[0];
    uint32_t green = format.grey ? red : row[1];
    uint32_t blue = format.grey ? red : row[2];
    if (format.minIsWhite) red = green = blue = kMax - red;
    if (format.alpha) {
      const uint32_t alpha = row[colours];
      if constexpr (kDeep) {
        red = OverBlack16(red, alpha), green = OverBlack16(green, alpha), blue = OverBlack16(blue, alpha);
      } else {
        red = OverBlack8(red, alpha), green = OverBlack8(green, alpha), blue = OverBlack8(blue, alpha);
      }
    }
    if constexpr (kDeep) {
      if (pixels16 != nullptr) {
        pixels16[0] = static_cast<uint16_t>(blue);
        pixels16[1] = static_cast<uint16_t>(green);
        pixels16[2] = static_cast<uint16_t>(red);
        pixels16[3] = 0;
        pixels16 += 4;
      }
      blue = ReduceSample(blue), green = ReduceSample(green), red = ReduceSample(red);
    }
    pixels8[0] = static_cast<uint8_t>(blue);
    pixels8[1] = static_cast<uint8_t>(green);
    pixels8[2] = static_cast<uint8_t>(red);
    pixels8[3] = 0;
    pixels8 += 4;
  }
}

}  // namespace

void StoreDecodedRow(const void* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8,
                     uint16_t* pixels16) {
  assert(format.bits == 8 || format.bits == 16);
  if (format.bits == 16) StoreRow(static_cast<const uint16_t*>(row), format, width, pixels8, pixels16);
  else StoreRow(static_cast<const uint8_t*>(row), format, width, pixels8, nullptr);
}

Result AllocateSamples16(int64_t pixelCount, PixelStore& store) {
  // Eight bytes a pixel: two of the stores' four-byte pixels.
  store = AllocatePixels(2 * pixelCount);
  if (!store) return Result::Failure("not enough memory to keep the picture's 16-bit samples");
  return {};
}

bool LooksLikePng(std::span<const uint8_t> bytes) {
  constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return bytes.size() >= 8 && std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
}

// "II" then 42 little-endian, or "MM" then 42 big-endian.
bool LooksLikeTiff(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8) return false;
  return (bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
         (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42);
}
