#include "imageio/load_picture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "imageio/decode_picture.h"
#include "transform/projection.h"
#include "transform/stores.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Result ReadFailure(int error) { return Result::Failure(std::string("cannot read the file: ") + std::strerror(error)); }

}  // namespace

Result ReadWholeFile(const std::string& name, std::vector<uint8_t>& bytes) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (!file) return ReadFailure(errno);
  // Read in pieces rather than trusting a size taken beforehand: a folder, a
  // pipe or a file that changes meanwhile all end up handled the same way.
  std::vector<uint8_t> content;
  constexpr size_t kPiece = 1 << 20;
  for (;;) {
    size_t used = content.size();
    content.resize(used + kPiece);
    size_t got = std::fread(content.data() + used, 1, kPiece, file.get());
    content.resize(used + got);
    if (got < kPiece) break;
  }
  if (std::ferror(file.get())) return ReadFailure(errno != 0 ? errno : EIO);
  bytes = std::move(content);
  return {};
}

Result LoadFisheyeImage(const std::string& name) {
  std::vector<uint8_t> bytes;
  Result read = ReadWholeFile(name, bytes);
  if (!read.ok()) return read;

  // Decode into a fresh store, so that a picture that fails half-way leaves
  // the loaded one intact. The store's pages cost nothing until written.
  PixelStore decoded = AllocatePixels(kSourceCapacityPixels);
  if (!decoded) return Result::Failure("not enough memory to load a picture");
  int32_t width = 0;
  int32_t height = 0;
  Result decode = DecodePicture(bytes, decoded.get(), kSourceCapacityPixels, width, height);
  if (!decode.ok()) return decode;
  bytes = {};

  PixelStore panorama = AllocatePixels(int64_t{width} * (height + kPanoramaSpareRows));
  PixelStore display = AllocatePixels(int64_t{width} * (height + kDisplaySpareRows));
  if (!panorama || !display) return Result::Failure("not enough memory for a picture of this size");

  // Everything is in hand: from here on nothing fails.
  SetMainWindowTitle("  " + name);
  SourceStore = std::move(decoded);
  SourcePixels = SourceStore.get();
  SourceWidth = width;
  SourceHeight = height;
  SharpenLevel = 127;
  DisplayWidth = SourceWidth;
  DisplayRowBytes = 4 * DisplayWidth;
  DisplayHeight = SourceHeight;
  SetupProjection(SourceHeight);
  PanoramaStore = std::move(panorama);
  PanoramaPixels = PanoramaStore.get();
  DisplayStore = std::move(display);
  DisplayPixels = DisplayStore.get();
  DisplayInfo = BottomUp32BitHeader(DisplayWidth, DisplayHeight);
  std::memcpy(DisplayPixels, SourcePixels, 4 * static_cast<size_t>(SourceWidth) * static_cast<size_t>(SourceHeight));
  RedrawMainWindow();
  ImageReady = 1;
  return {};
}
