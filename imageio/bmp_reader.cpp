#include "imageio/bmp_reader.h"

#include <cstring>

#include "imageio/bmp_format.h"
#include "imageio/decode_picture.h"

namespace {

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

struct BmpLayout {
  uint32_t pixelOffset;
  int32_t width;
  int32_t height;  // as stored: negative for a top-down file
  uint16_t bitCount;
  uint64_t rowBytes;  // padded to 4 bytes
};

Result ReadLayout(std::span<const uint8_t> bytes, BmpLayout& layout) {
  if (!LooksLikeBmp(bytes) || bytes.size() < kBmpFileHeaderBytes + kBmpInfoHeaderBytes)
    return Result::Failure("not a BMP file");
  const uint8_t* info = bytes.data() + kBmpFileHeaderBytes;
  const uint32_t infoBytes = GetU32(info);
  layout.pixelOffset = GetU32(bytes.data() + 10);
  layout.width = static_cast<int32_t>(GetU32(info + 4));
  layout.height = static_cast<int32_t>(GetU32(info + 8));
  layout.bitCount = GetU16(info + 14);
  const uint16_t planes = GetU16(info + 12);
  const uint32_t compression = GetU32(info + 16);
  if (infoBytes < kBmpInfoHeaderBytes || kBmpFileHeaderBytes + uint64_t{infoBytes} > bytes.size())
    return Result::Failure("damaged BMP header");
  if (planes != 1 || compression != kBiRgb || (layout.bitCount != 24 && layout.bitCount != 32))
    return Result::Failure("unsupported kind of BMP (only uncompressed 24- and 32-bit pictures are read)");
  if (layout.width <= 0 || layout.height == 0 || layout.height == INT32_MIN)
    return Result::Failure("damaged BMP header: impossible picture size");
  layout.rowBytes = (static_cast<uint64_t>(layout.width) * layout.bitCount / 8 + 3) / 4 * 4;
  const uint64_t rows = static_cast<uint64_t>(layout.height < 0 ? -int64_t{layout.height} : layout.height);
  if (layout.pixelOffset < kBmpFileHeaderBytes + infoBytes || layout.pixelOffset > bytes.size() ||
      (bytes.size() - layout.pixelOffset) / layout.rowBytes < rows)
    return Result::Failure("truncated BMP file");
  return {};
}

}  // namespace

bool LooksLikeBmp(std::span<const uint8_t> bytes) {
  return bytes.size() >= 2 && GetU16(bytes.data()) == kBmpSignature;
}

Result ReadBmpSize(std::span<const uint8_t> bytes, int32_t& width, int32_t& height) {
  BmpLayout layout;
  Result result = ReadLayout(bytes, layout);
  if (!result.ok()) return result;
  width = layout.width;
  height = layout.height < 0 ? -layout.height : layout.height;
  return {};
}

void ReadBmpPixels(std::span<const uint8_t> bytes, uint8_t* destination) {
  BmpLayout layout;
  if (!ReadLayout(bytes, layout).ok()) return;
  const bool topDown = layout.height < 0;
  const int32_t rows = topDown ? -layout.height : layout.height;
  const int32_t bytesPerPixel = layout.bitCount / 8;
  for (int32_t y = 0; y < rows; ++y) {
    // Our rows run bottom-up; a top-down file stores the top row first.
    const int32_t fileRow = topDown ? rows - 1 - y : y;
    const uint8_t* in = bytes.data() + layout.pixelOffset + static_cast<uint64_t>(fileRow) * layout.rowBytes;
    uint8_t* out = destination + static_cast<size_t>(y) * 4 * static_cast<size_t>(layout.width);
    for (int32_t x = 0; x < layout.width; ++x, in += bytesPerPixel, out += 4) {
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
      out[3] = 0;
    }
  }
}

// BMP files are read by this reader on every system: it checks that the rows
// the header declares are in the file, and the program's own panoramas are
// all it needs to open.
Result DecodeBmp(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                 int32_t& height) {
  int32_t bmpWidth = 0;
  int32_t bmpHeight = 0;
  Result header = ReadBmpSize(bytes, bmpWidth, bmpHeight);
  if (!header.ok()) return header;
  if (int64_t{bmpWidth} * bmpHeight > capacityPixels) return TooLargeFailure(bmpWidth, bmpHeight, capacityPixels);
  ReadBmpPixels(bytes, destination);
  width = bmpWidth;
  height = bmpHeight;
  return {};
}
