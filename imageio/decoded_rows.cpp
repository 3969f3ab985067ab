#include "imageio/decoded_rows.h"

#include <algorithm>
#include <cassert>
#include <iterator>

namespace {

// Over black: a colour weighed by its opacity, rounded to the nearest.
inline uint32_t OverBlack8(uint32_t colour, uint32_t alpha) { return (colour * alpha + 127) / 255; }
inline uint32_t OverBlack16(uint32_t colour, uint32_t alpha) { return (colour * alpha + 32767) / 65535; }

// One loop for each kind of row, so that the loop over the pixels has no
// branch that the format decides.
template <typename Sample, bool kGrey, bool kAlpha>
void StoreRow(const Sample* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8, uint16_t* pixels16) {
  constexpr bool kDeep = sizeof(Sample) == 2;
  constexpr uint32_t kMax = kDeep ? 65535 : 255;
  constexpr int kColours = kGrey ? 1 : 3;
  const int samples = format.samples;
  const int redAt = format.bgr ? 2 : 0, blueAt = format.bgr ? 0 : 2;
  const uint32_t flip = format.minIsWhite ? kMax : 0;  // white-is-zero grey: kMax - v, as kMax ^ v
  for (int32_t x = 0; x < width; ++x, row += samples) {
    uint32_t red, green, blue;
    if constexpr (kGrey) {
      red = green = blue = row[0] ^ flip;
    } else {
      red = row[redAt], green = row[1], blue = row[blueAt];
    }
    if constexpr (kAlpha) {
      const uint32_t alpha = row[kColours];
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

template <typename Sample>
void StoreRowOf(const void* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8, uint16_t* pixels16) {
  const auto* samples = static_cast<const Sample*>(row);
  if (format.grey) {
    if (format.alpha) StoreRow<Sample, true, true>(samples, format, width, pixels8, pixels16);
    else StoreRow<Sample, true, false>(samples, format, width, pixels8, pixels16);
  } else {
    if (format.alpha) StoreRow<Sample, false, true>(samples, format, width, pixels8, pixels16);
    else StoreRow<Sample, false, false>(samples, format, width, pixels8, pixels16);
  }
}

}  // namespace

void StoreDecodedRow(const void* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8,
                     uint16_t* pixels16) {
  assert(format.bits == 8 || format.bits == 16);
  if (format.bits == 16) StoreRowOf<uint16_t>(row, format, width, pixels8, pixels16);
  else StoreRowOf<uint8_t>(row, format, width, pixels8, nullptr);
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

namespace {

// Reads numbers of a TIFF file in its byte order, 0 past its end.
struct TiffNumbers {
  std::span<const uint8_t> bytes;
  uint32_t U16(size_t at) const {
    if (at + 2 > bytes.size()) return 0;
    return bytes[0] == 'M' ? uint32_t{bytes[at]} << 8 | bytes[at + 1] : uint32_t{bytes[at + 1]} << 8 | bytes[at];
  }
  uint32_t U32(size_t at) const {
    if (at + 4 > bytes.size()) return 0;
    return bytes[0] == 'M' ? U16(at) << 16 | U16(at + 2) : U16(at + 2) << 16 | U16(at);
  }
};

}  // namespace

Result CheckPngOrTiffLayout(std::span<const uint8_t> bytes) {
  if (LooksLikePng(bytes)) {
    // IHDR, the first chunk: width, height, bit depth, colour type.
    constexpr size_t kDepthAt = 8 + 8 + 8, kColourTypeAt = kDepthAt + 1;
    constexpr uint8_t kGreyAlpha = 4;
    if (bytes.size() > kColourTypeAt && bytes[kDepthAt] == 16 && bytes[kColourTypeAt] == kGreyAlpha)
      return Result::Failure(kGreyAlpha16Refused);
    return {};
  }
  if (!LooksLikeTiff(bytes)) return {};
  // The first directory's one-value SHORT tags; BitsPerSample's first value
  // lies elsewhere when there are several, and so does ExtraSamples' when
  // there are more than two.
  const TiffNumbers tiff{bytes};
  const size_t directory = tiff.U32(4);
  const size_t entries = tiff.U16(directory);
  uint32_t bits = 1, samples = 1, photometric = 1, planar = 1, extra = 0, extraKind = 0;
  for (size_t i = 0; i < entries; ++i) {
    const size_t entry = directory + 2 + 12 * i;
    const uint32_t tag = tiff.U16(entry), count = tiff.U32(entry + 4);
    const uint32_t first = count * 2 <= 4 ? tiff.U16(entry + 8) : tiff.U16(tiff.U32(entry + 8));
    if (tag == 258) bits = first;
    if (tag == 277) samples = tiff.U16(entry + 8);
    if (tag == 262) photometric = tiff.U16(entry + 8);
    if (tag == 284) planar = tiff.U16(entry + 8);
    if (tag == 338) extra = count, extraKind = first;
  }
  const uint32_t colours = photometric == 2 ? 3 : 1;
  if (planar == 2 && samples > 1)
    return Result::Failure(kSeparatePlanesRefused);
  if (bits == 16 && colours == 1 && samples > 1 && extra > 0 && extraKind != 0)
    return Result::Failure(kGreyAlpha16Refused);
  return {};
}
