#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "imageio/result.h"

// One marker segment of a JPEG file: the marker (the byte after FF), where
// its FF lies in the file, the length its header declares (which counts the
// two length bytes) and its payload, the bytes after the length, cut short
// where the file ends first.
struct JpegSegment {
  uint8_t marker = 0;
  size_t at = 0;
  size_t length = 0;
  std::span<const uint8_t> payload;

  bool complete() const { return payload.size() + 2 == length; }
};

// Visits the marker segments after the start-of-image marker in file order,
// stepping over each scan's coded data, until `visit` returns false, the end
// of image or the first damage.
void WalkJpegSegments(std::span<const uint8_t> bytes, const std::function<bool(const JpegSegment&)>& visit);

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
