#pragma once
#include <cstdint>
#include <span>

#include "imageio/result.h"

// A deliberately small reader for uncompressed BMP files, enough to open the
// panoramas the program writes (32 bits) and plain 24-bit ones again.

// Whether the bytes start like a BMP file.
bool LooksLikeBmp(std::span<const uint8_t> bytes);

// Reads the header; fails for anything that is not an uncompressed 24- or
// 32-bit BMP whose pixel rows are all present.
Result ReadBmpSize(std::span<const uint8_t> bytes, int32_t& width, int32_t& height);

// Converts the pixels into `destination` (program layout, unused byte 0),
// which must hold width x height pixels from ReadBmpSize.
void ReadBmpPixels(std::span<const uint8_t> bytes, uint8_t* destination);

// The whole decode of a BMP file into `destination`, which holds
// `capacityPixels`: sizes on success, nothing written on failure.
Result DecodeBmp(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                 int32_t& height);
