#include "imageio/jpeg_header.h"

#include <cstddef>

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
