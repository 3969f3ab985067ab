#pragma once
#include <cstdint>
#include <span>

#include "imageio/result.h"

// The picture size a JPEG file's frame header declares, found without decoding
// anything; false when no frame header comes before the first scan.
bool DeclaredJpegSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height);

// The most scans a JPEG file may hold; libjpeg-turbo's own limit for the same
// decompression bomb.
inline constexpr int kMaxJpegScans = 500;

// The number of scans (start-of-scan markers) in a JPEG file, counted without
// decoding; counting stops once it passes `limit`.
int JpegScanCount(std::span<const uint8_t> bytes, int limit);

// Refuses a file of more than kMaxJpegScans scans, saying why.
Result CheckJpegScanCount(std::span<const uint8_t> bytes);
