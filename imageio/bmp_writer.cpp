#include "imageio/bmp_writer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "imageio/bmp_format.h"
#include "transform/stores.h"

namespace {

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::string BmpFileName(const std::string& name) {
  constexpr char kExtension[] = ".bmp";
  if (name.size() >= 4) {
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (tail == kExtension) return name;
  }
  return name + kExtension;
}

uint64_t BmpFileBytes(int32_t height, SaveShape shape) {
  uint64_t side = static_cast<uint64_t>(height);
  return kBmpPixelOffset + (shape == SaveShape::Square ? 4 : 8) * side * side;
}

bool EncodeBmp(const PixelBuffer& picture, SaveShape shape, const ByteSink& sink) {
  const int32_t height = picture.height;
  const int32_t fileWidth = shape == SaveShape::Square ? height : 2 * height;

  uint8_t fileHeader[kBmpFileHeaderBytes] = {};
  PutU16(fileHeader, kBmpSignature);
  PutU32(fileHeader + 2, static_cast<uint32_t>(BmpFileBytes(height, shape)));
  PutU32(fileHeader + 10, kBmpPixelOffset);
  if (!sink(fileHeader)) return false;

  const BitmapInfoHeader info = BottomUp32BitHeader(fileWidth, height);
  uint8_t infoHeader[kBmpInfoHeaderBytes] = {};
  PutU32(infoHeader, info.size);
  PutU32(infoHeader + 4, static_cast<uint32_t>(info.width));
  PutU32(infoHeader + 8, static_cast<uint32_t>(info.height));
  PutU16(infoHeader + 12, info.planes);
  PutU16(infoHeader + 14, info.bitCount);
  PutU32(infoHeader + 16, info.compression);
  if (!sink(infoHeader)) return false;

  // Black outside the picture (a portrait picture, a square saved as a
  // sphere) and in the rectangle's right half.
  const SavedColumns columns = SavedColumnsOf(picture, shape);
  const size_t rowBytes = 4 * static_cast<size_t>(columns.fileWidth);
  std::vector<uint8_t> scratch;
  for (int32_t y = 0; y < height; ++y) {
    if (!sink({SavedRow(picture, columns, y, scratch), rowBytes})) return false;
  }
  return true;
}

Result WriteBmpPicture(const PixelBuffer& picture, SaveShape shape, const std::string& name) {
  if (picture.base == nullptr || picture.width <= 0 || picture.height <= 0)
    return Result::Failure("there is no picture to save");
  return WriteFileSafely(name, [&](const ByteSink& sink) { return EncodeBmp(picture, shape, sink); });
}
