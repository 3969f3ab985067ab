#include "imageio/load_picture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "app/app_state.h"
#include "imageio/decode_picture.h"
#include "imageio/jpeg_header.h"
#include "transform/parallel_rows.h"
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
  constexpr size_t kPiece = 64 * 1024;
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kPiece]);
  for (;;) {
    size_t got = std::fread(piece.get(), 1, kPiece, file.get());
    content.insert(content.end(), piece.get(), piece.get() + got);
    if (got < kPiece) break;
  }
  if (std::ferror(file.get())) return ReadFailure(errno != 0 ? errno : EIO);
  bytes = std::move(content);
  return {};
}

// Camera JPEGs hold 2 to 20 pixels per byte; even a flat sky stays well
// below this many.
constexpr int64_t kMostPixelsPerFileByte = 256;

Result LoadFisheyeImage(const std::string& name) {
  std::vector<uint8_t> bytes;
  Result read = ReadWholeFile(name, bytes);
  if (!read.ok()) return read;

  // Decode into a fresh store, so that a picture that fails half-way leaves
  // the loaded one intact; on success it takes SourceStore's place, so no
  // picture is ever copied from one store to another. The store's pages cost
  // nothing until written.
  PixelStore decoded = AllocatePixels(kSourceCapacityPixels);
  if (!decoded) return Result::Failure("not enough memory to load a picture");

  // The decoder runs on one core. When the file declares its size, the other
  // stores are made now, and another thread has the system provide the pages
  // that the decoder, the display copy and the transform will fill, meanwhile.
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  PixelStore panorama;
  PixelStore display;
  std::thread preparer;
  struct JoinOnExit {
    std::thread& thread;
    ~JoinOnExit() {
      if (thread.joinable()) thread.join();
    }
  } joinPreparer{preparer};
  // A file far too small for the size it declares (a few hundred bytes that
  // claim 49 megapixels) is nearly always damaged or made to hurt: it gets no
  // pages ahead of the decoder, which then fails having touched little.
  if (DeclaredJpegSize(bytes, declaredWidth, declaredHeight) && declaredWidth > 0 && declaredHeight > 0 &&
      declaredWidth * declaredHeight <= kSourceCapacityPixels &&
      declaredWidth * declaredHeight <= kMostPixelsPerFileByte * static_cast<int64_t>(bytes.size())) {
    panorama = AllocatePixels(declaredWidth * (declaredHeight + kPanoramaSpareRows));
    display = AllocatePixels(declaredWidth * (declaredHeight + kDisplaySpareRows));
    const size_t pictureBytes = 4 * static_cast<size_t>(declaredWidth * declaredHeight);
    if (panorama && display) {
      try {
        preparer = std::thread([&decoded, &panorama, &display, pictureBytes] {
          PrepareStorePages(decoded.get(), pictureBytes);
          PrepareStorePages(display.get(), pictureBytes);
          PrepareStorePages(panorama.get(), pictureBytes);
        });
      } catch (const std::system_error&) {
        // No thread to be had: the pages come as they are written.
      }
    }
  }
  int32_t width = 0;
  int32_t height = 0;
  Result decode = DecodePicture(bytes, decoded.get(), kSourceCapacityPixels, width, height);
  if (preparer.joinable()) preparer.join();
  if (!decode.ok()) return decode;
  bytes = {};

  if (width != declaredWidth || height != declaredHeight || !panorama || !display) {
    panorama = AllocatePixels(int64_t{width} * (height + kPanoramaSpareRows));
    display = AllocatePixels(int64_t{width} * (height + kDisplaySpareRows));
  }
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
  const size_t rowBytes = 4 * static_cast<size_t>(SourceWidth);
  ForEachRowBand(SourceHeight, [rowBytes](int32_t firstRow, int32_t endRow) {
    std::memcpy(DisplayPixels + firstRow * rowBytes, SourcePixels + firstRow * rowBytes, (endRow - firstRow) * rowBytes);
  });
  RedrawMainWindow();
  ImageReady = 1;
  return {};
}
