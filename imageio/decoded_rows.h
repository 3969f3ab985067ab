#pragma once
#include <cstdint>
#include <span>

#include "imageio/result.h"
#include "transform/stores.h"

// What the PNG and TIFF decoders of every system share: rows as the codec
// hands them (grey or RGB, with or without alpha, 8 or 16 bits a sample in
// the machine's byte order) put into the program's layout (pixel_buffer.h).
struct DecodedRowFormat {
  int samples = 3;        // samples a pixel in the codec's row, colours first
  bool grey = false;      // one colour sample, else red, green, blue
  bool alpha = false;     // the sample after the colours is straight alpha
  bool minIsWhite = false;  // grey counts down from white (TIFF)
  bool bgr = false;       // colours in the order blue, green, red
  int bits = 8;           // 8 or 16
};

// Stores `width` pixels of one codec row at `pixels8` and, for 16-bit rows
// when `pixels16` is not null, at `pixels16` too. Alpha is composited over
// black; 16-bit samples come to 8 bits by ReduceSample.
void StoreDecodedRow(const void* row, const DecodedRowFormat& format, int32_t width, uint8_t* pixels8,
                     uint16_t* pixels16);

// A fresh, zero-filled store for a 16-bit picture of `pixelCount` pixels
// (layout PixelBuffer16), or a failure saying memory ran out.
Result AllocateSamples16(int64_t pixelCount, PixelStore& store);

// The reason given for 16-bit grey with alpha, which neither system's
// decoders hand over as it is.
inline constexpr char kGreyAlpha16Refused[] =
    "16-bit grey with alpha is not supported; save the picture as RGB, or without its alpha channel";

inline constexpr char kSeparatePlanesRefused[] =
    "TIFF files with separate colour planes are not supported; save the picture with its colours interleaved "
    "(contiguous)";

// What the file itself says that neither system's decoders should be left
// to decide: separate-plane TIFF and 16-bit grey with alpha (PNG or TIFF)
// are refused with their reason; anything else passes, to be judged by the
// decoder.
Result CheckPngOrTiffLayout(std::span<const uint8_t> bytes);

// Whether the bytes start like a PNG file, or like a TIFF file (either byte
// order).
bool LooksLikePng(std::span<const uint8_t> bytes);
bool LooksLikeTiff(std::span<const uint8_t> bytes);
