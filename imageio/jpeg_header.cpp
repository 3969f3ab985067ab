#include "imageio/jpeg_header.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

// C0 to CF are frames, except DHT (C4), JPG (C8) and DAC (CC).
bool IsStartOfFrame(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

// Every segment starts with FF, its marker and a 16-bit big-endian length;
// FF bytes before a marker are fill. After a scan header the coded data runs
// up to the next marker, where FF 00 (a stuffed data byte), FF D0 to FF D7
// (restart markers) and FF FF (fill) do not count as one.
void WalkJpegSegments(std::span<const uint8_t> bytes, const std::function<bool(const JpegSegment&)>& visit) {
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return;
  size_t at = 2;
  while (at + 4 <= bytes.size()) {
    if (bytes[at] != 0xFF) return;
    const uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    if (marker == kEndOfImage) return;
    const size_t length = size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    if (length < 2) return;
    const size_t end = std::min(at + 2 + length, bytes.size());
    if (!visit(JpegSegment{marker, at, length, bytes.subspan(at + 4, end - (at + 4))})) return;
    at += 2 + length;
    if (marker != kStartOfScan) continue;
    for (;;) {
      const void* found = at < bytes.size() ? std::memchr(bytes.data() + at, 0xFF, bytes.size() - at) : nullptr;
      if (found == nullptr) return;
      at = static_cast<const uint8_t*>(found) - bytes.data();
      if (at + 1 >= bytes.size()) return;
      const uint8_t next = bytes[at + 1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
        at += 2;
      } else if (next == 0xFF) {
        ++at;
      } else {
        break;  // the marker after the scan
      }
    }
  }
}

// The frame header holds height and width as 16-bit big-endian numbers at
// offsets 1 and 3 of its payload.
bool DeclaredJpegSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height) {
  bool found = false;
  WalkJpegSegments(bytes, [&](const JpegSegment& segment) {
    if (!IsStartOfFrame(segment.marker)) return segment.marker != kStartOfScan;
    if (segment.length >= 7 && segment.payload.size() >= 5) {
      height = int64_t{segment.payload[1]} << 8 | segment.payload[2];
      width = int64_t{segment.payload[3]} << 8 | segment.payload[4];
      found = true;
    }
    return false;
  });
  return found;
}

// A progressive file can split a picture into any number of scans, and each
// scan costs the decoder a pass over the whole picture: a few kilobytes of
// scans of a large picture keep it busy for minutes. Encoders use a dozen.
int JpegScanCount(std::span<const uint8_t> bytes, int limit) {
  int scans = 0;
  WalkJpegSegments(bytes, [&](const JpegSegment& segment) {
    if (segment.marker == kStartOfScan) ++scans;
    return scans <= limit;
  });
  return scans;
}

Result CheckJpegScanCount(std::span<const uint8_t> bytes) {
  if (JpegScanCount(bytes, kMaxJpegScans) <= kMaxJpegScans) return {};
  return Result::Failure("the JPEG file holds more than " + std::to_string(kMaxJpegScans) +
                         " scans; real pictures have a few dozen at most");
}
