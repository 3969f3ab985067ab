// Picture decoding on Windows: PNG and TIFF files, known by their signature,
// through the Windows Imaging Component (wic_reader_win.cpp); every other
// file through the system's own picture loader (OLE), which draws it into a
// 32-bit DIB whose rows are copied out.
#include "imageio/decode_picture.h"

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "imageio/bmp_reader.h"
#include "imageio/com_session_win.h"
#include "imageio/decoded_rows.h"
#include "imageio/wic_reader_win.h"
#include "imageio/jpeg_header.h"

namespace {

struct GlobalFreer {
  void operator()(void* block) const { GlobalFree(block); }
};
using GlobalBlock = std::unique_ptr<void, GlobalFreer>;

struct ScreenDcReleaser {
  void operator()(HDC dc) const { ReleaseDC(nullptr, dc); }
};
using ScreenDc = std::unique_ptr<HDC__, ScreenDcReleaser>;

struct MemoryDcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using MemoryDc = std::unique_ptr<HDC__, MemoryDcDeleter>;

struct BitmapDeleter {
  void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};
using Bitmap = std::unique_ptr<HBITMAP__, BitmapDeleter>;

// A bitmap must leave its DC before DeleteObject or GetDIBits may touch it.
class SelectedBitmap {
 public:
  SelectedBitmap(HDC dc, HBITMAP bitmap) : dc_(dc), previous_(SelectObject(dc, bitmap)) {}
  ~SelectedBitmap() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }
  SelectedBitmap(const SelectedBitmap&) = delete;
  SelectedBitmap& operator=(const SelectedBitmap&) = delete;

  bool ok() const { return previous_ != nullptr && previous_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

const char* const kUnreadable = kNotAPicture;

uint32_t BigEndian32(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

// The loader decodes a whole picture before it tells its size, so the size
// each format's header declares is checked first: a file of a few bytes that
// claims 65535 x 65535 pixels never reaches it. False for a file whose header
// says nothing (the loader then refuses it or measures it itself).
bool DeclaredSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height) {
  if (DeclaredJpegSize(bytes, width, height)) return true;
  // GIF: the logical screen, then the first image's own size, which may be
  // larger; the larger of each counts.
  if (bytes.size() >= 13 && std::memcmp(bytes.data(), "GIF8", 4) == 0) {
    width = bytes[6] | bytes[7] << 8;
    height = bytes[8] | bytes[9] << 8;
    size_t at = 13 + ((bytes[10] & 0x80) != 0 ? 3 * (size_t{2} << (bytes[10] & 7)) : 0);
    while (at + 2 <= bytes.size() && bytes[at] == 0x21) {  // extensions: label, then sub-blocks
      at += 2;
      while (at < bytes.size() && bytes[at] != 0) at += 1 + bytes[at];
      ++at;
    }
    if (at + 9 <= bytes.size() && bytes[at] == 0x2C) {
      width = std::max<int64_t>(width, bytes[at + 5] | bytes[at + 6] << 8);
      height = std::max<int64_t>(height, bytes[at + 7] | bytes[at + 8] << 8);
    }
    return true;
  }
  // PNG: the first chunk, IHDR, holds width and height.
  if (bytes.size() >= 24 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0 &&
      std::memcmp(bytes.data() + 12, "IHDR", 4) == 0) {
    width = BigEndian32(bytes.data() + 16);
    height = BigEndian32(bytes.data() + 20);
    return true;
  }
  return false;
}

// The loader reads from a stream, and the only stream it is given over memory
// lives in a movable global block that the stream frees on release.
Result OpenPicture(std::span<const uint8_t> bytes, ComPointer<IPicture>& picture) {
  // OleLoadPicture counts bytes in a LONG.
  if (bytes.size() > static_cast<size_t>(LONG_MAX)) return Result::Failure(kUnreadable);
  GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
  if (!block) return Result::Failure("not enough memory to read the picture");
  void* copy = GlobalLock(block.get());
  if (copy == nullptr) return Result::Failure("not enough memory to read the picture");
  std::memcpy(copy, bytes.data(), bytes.size());
  GlobalUnlock(block.get());

  IStream* rawStream = nullptr;
  if (CreateStreamOnHGlobal(block.get(), TRUE, &rawStream) != S_OK || rawStream == nullptr)
    return Result::Failure("not enough memory to read the picture");
  block.release();  // the stream frees it now
  ComPointer<IStream> stream(rawStream);

  void* rawPicture = nullptr;
  HRESULT loaded = OleLoadPicture(stream.get(), static_cast<LONG>(bytes.size()), FALSE, IID_IPicture, &rawPicture);
  if (FAILED(loaded) || rawPicture == nullptr) {
    const bool jpeg = bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
    return Result::Failure(jpeg ? "damaged JPEG file (the Windows picture loader cannot read it)" : kUnreadable);
  }
  picture.reset(static_cast<IPicture*>(rawPicture));
  return {};
}

}  // namespace

Result DecodePicture(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels,
                     int32_t& width, int32_t& height, PixelStore* samples16) {
  if (bytes.empty()) return Result::Failure("the file is empty");
  if (LooksLikePng(bytes) || LooksLikeTiff(bytes))
    return DecodeWithWic(bytes, destination, capacityPixels, width, height, samples16);
  if (samples16 != nullptr) samples16->reset();
  if (LooksLikeBmp(bytes)) return DecodeBmp(bytes, destination, capacityPixels, width, height);
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  if (DeclaredSize(bytes, declaredWidth, declaredHeight) && declaredWidth * declaredHeight > capacityPixels)
    return TooLargeFailure(declaredWidth, declaredHeight, capacityPixels);
  Result scans = CheckJpegScanCount(bytes);
  if (!scans.ok()) return scans;

  ComSession ole(OleInitialize(nullptr), OleUninitialize);
  if (!ole.usable()) return Result::Failure("the Windows picture loader could not be started");

  ComPointer<IPicture> picture;
  Result opened = OpenPicture(bytes, picture);
  if (!opened.ok()) return opened;

  // The picture's extent is in 0.01 mm (HIMETRIC); the loader derived it from
  // the pixel count at the screen's resolution, so the same resolution turns
  // it back into pixels.
  OLE_XSIZE_HIMETRIC extentWidth = 0;
  OLE_YSIZE_HIMETRIC extentHeight = 0;
  if (FAILED(picture->get_Width(&extentWidth)) || FAILED(picture->get_Height(&extentHeight)))
    return Result::Failure(kUnreadable);
  int dpiX = 0;
  int dpiY = 0;
  {
    ScreenDc screen(GetDC(nullptr));
    if (!screen) return Result::Failure("the screen cannot be reached to measure the picture");
    dpiX = GetDeviceCaps(screen.get(), LOGPIXELSX);
    dpiY = GetDeviceCaps(screen.get(), LOGPIXELSY);
  }
  constexpr int kHimetricPerInch = 2540;
  // MulDiv rounds, and gives -1 when the result would overflow an int.
  const int pictureWidth = MulDiv(extentWidth, dpiX, kHimetricPerInch);
  const int pictureHeight = MulDiv(extentHeight, dpiY, kHimetricPerInch);
  if (pictureWidth <= 0 || pictureHeight <= 0) return Result::Failure("the picture has no size");
  const int64_t pixels = int64_t{pictureWidth} * pictureHeight;
  if (pixels > capacityPixels) return TooLargeFailure(pictureWidth, pictureHeight, capacityPixels);

  // Bottom-up 32 bits, the program's own layout (pixel_buffer.h).
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = pictureWidth;
  info.bmiHeader.biHeight = pictureHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;

  MemoryDc dc(CreateCompatibleDC(nullptr));
  if (!dc) return Result::Failure("not enough memory to draw the picture");
  void* sectionBits = nullptr;
  Bitmap section(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &sectionBits, nullptr, 0));
  if (!section) return Result::Failure("not enough memory to draw the picture");
  {
    SelectedBitmap selected(dc.get(), section.get());
    if (!selected.ok()) return Result::Failure("the picture could not be drawn");
    // A picture's source rectangle runs upward from its bottom edge: starting
    // at the top (extentHeight) with a negative height draws it upright.
    if (FAILED(picture->Render(dc.get(), 0, 0, pictureWidth, pictureHeight, 0, extentHeight, extentWidth,
                               -extentHeight, nullptr)))
      return Result::Failure("the picture could not be drawn");
  }
  if (GetDIBits(dc.get(), section.get(), 0, static_cast<UINT>(pictureHeight), destination, &info,
                DIB_RGB_COLORS) != pictureHeight)
    return Result::Failure("the picture could not be copied out of its drawing");

  // Drawing leaves the fourth byte as the loader had it (under Wine 255 for a
  // JPEG, the file's own byte for a 32-bit BMP); the program keeps it 0.
  for (int64_t i = 0; i < pixels; ++i) destination[4 * i + 3] = 0;
  width = pictureWidth;
  height = pictureHeight;
  return {};
}
