#include "imageio/bmp_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "imageio/bmp_format.h"
#include "imageio/file_replace.h"
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
  return kBmpPixelOffset + (shape == SaveShape::Rectangle ? 8 : 4) * side * side;
}

bool EncodeBmp(const PixelBuffer& picture, SaveShape shape, const ByteSink& sink) {
  const int32_t height = picture.height;
  const int32_t fileWidth = shape == SaveShape::Rectangle ? 2 * height : height;

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

  // The square's columns that lie inside the picture; outside it (a portrait
  // picture) and in the rectangle's right half the row stays black.
  const int32_t left = SquareLeft(picture.width, height);
  const int32_t first = std::max(left, 0);
  const int32_t last = std::min(left + height, picture.width);
  std::vector<uint8_t> row(4 * static_cast<size_t>(fileWidth), 0);
  for (int32_t y = 0; y < height; ++y) {
    if (last > first) {
      std::memcpy(row.data() + 4 * static_cast<size_t>(first - left), picture.Pixel(first, y),
                  4 * static_cast<size_t>(last - first));
    }
    if (!sink(row)) return false;
  }
  return true;
}

constexpr size_t kWriteBufferBytes = 1 << 20;

Result WriteBmpPicture(const PixelBuffer& picture, SaveShape shape, const std::string& name) {
  if (picture.base == nullptr || picture.width <= 0 || picture.height <= 0)
    return Result::Failure("there is no picture to save");

  // Written beside the target under a name of its own, then put in its place,
  // so that a failure at any point leaves an existing file as it was.
  std::FILE* file = nullptr;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
    temporary = name + ".part" + std::to_string(attempt);
    file = CreateNewFile(temporary);
    if (file == nullptr && errno != EEXIST) break;
  }
  if (file == nullptr) return Result::Failure(std::string("cannot create the file: ") + std::strerror(errno));

  // One write per megabyte rather than one per row.
  std::setvbuf(file, nullptr, _IOFBF, kWriteBufferBytes);
  int writeError = 0;
  bool written = EncodeBmp(picture, shape, [&](std::span<const uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size()) return true;
    writeError = errno;
    return false;
  });
  // Before the new bytes take an existing file's place they must be on the
  // disk, so that a crash cannot leave the user with neither version. A new
  // name puts nothing at risk and is not held up.
  if (written && FileExists(name) && !FlushToDisk(file)) {
    written = false;
    writeError = errno;
  }
  if (std::fclose(file) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (!written) {
    std::remove(temporary.c_str());
    return Result::Failure(std::string("cannot write the file: ") +
                           std::strerror(writeError != 0 ? writeError : EIO));
  }
  std::string error;
  if (!MoveIntoPlace(temporary, name, error)) {
    std::remove(temporary.c_str());
    return Result::Failure("cannot replace the file: " + error);
  }
  return {};
}

Result WriteBmpFile(std::string& name) {
  name = BmpFileName(name);
  return WriteBmpPicture(DisplayBuffer(), SaveAsRectangle != 0 ? SaveShape::Rectangle : SaveShape::Square,
                         name);
}
