#include "imageio/jpeg_header.h"

#include <cstddef>
#include <cstring>
#include <string>

// Walks the marker segments after the start-of-image marker (FF D8) up to the
// first start-of-frame marker, whose segment holds height and width as 16-bit
// big-endian numbers at offsets 5 and 7.
bool DeclaredJpegSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height) {
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
  size_t at = 2;
  while (at + 4 <= bytes.size()) {
    if (bytes[at] != 0xFF) return false;
    const uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const size_t length = size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    // C0 to CF are frames, except DHT (C4), JPG (C8) and DAC (CC).
    const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame) {
      if (length < 7 || at + 9 > bytes.size()) return false;
      height = int64_t{bytes[at + 5]} << 8 | bytes[at + 6];
      width = int64_t{bytes[at + 7]} << 8 | bytes[at + 8];
      return true;
    }
    if (marker == 0xDA || length < 2) return false;  // scan data before any frame
    at += 2 + length;
  }
  return false;
}

// A progressive file can split a picture into any number of scans, and each
// scan costs the decoder a pass over the whole picture: a few kilobytes of
// scans of a large picture keep it busy for minutes. Encoders use a dozen.
// Markers are walked as above; after each scan header the coded data runs up
// to the next marker, where FF 00 (a stuffed data byte), FF D0 to FF D7
// (restart markers) and FF FF (fill) do not count as one.
int JpegScanCount(std::span<const uint8_t> bytes, int limit) {
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return 0;
  int scans = 0;
  size_t at = 2;
  while (at + 4 <= bytes.size() && scans <= limit) {
    if (bytes[at] != 0xFF) return scans;
    const uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    if (marker == 0xD9) return scans;  // end of image
    const size_t length = size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    if (length < 2) return scans;
    at += 2 + length;
    if (marker != 0xDA) continue;
    ++scans;
    for (;;) {
      const void* found = at < bytes.size() ? std::memchr(bytes.data() + at, 0xFF, bytes.size() - at) : nullptr;
      if (found == nullptr) return scans;
      at = static_cast<const uint8_t*>(found) - bytes.data();
      if (at + 1 >= bytes.size()) return scans;
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
  return scans;
}

Result CheckJpegScanCount(std::span<const uint8_t> bytes) {
  if (JpegScanCount(bytes, kMaxJpegScans) <= kMaxJpegScans) return {};
  return Result::Failure("the JPEG file holds more than " + std::to_string(kMaxJpegScans) +
                         " scans; real pictures have a few dozen at most");
}
