// JPEG and PNG encoding on Windows: the system's own encoders (Windows Imaging
// Component) write into a stream over memory, whose bytes are then copied out.
// TIFF files are the program's own on every system (tiff_writer.cpp).
#include <windows.h>
#include <objbase.h>
#include <wincodec.h>
#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imageio/com_session_win.h"
#include "imageio/picture_encoding.h"

namespace {

struct LockedGlobal {
  explicit LockedGlobal(HGLOBAL memory) : memory(memory), bytes(static_cast<const uint8_t*>(GlobalLock(memory))) {}
  ~LockedGlobal() {
    if (bytes != nullptr) GlobalUnlock(memory);
  }
  LockedGlobal(const LockedGlobal&) = delete;
  LockedGlobal& operator=(const LockedGlobal&) = delete;

  HGLOBAL memory;
  const uint8_t* bytes;
};

Result EncoderFailure(const char* step, HRESULT code) {
  char number[16];
  std::snprintf(number, sizeof number, "%08lX", static_cast<unsigned long>(code));
  return Result::Failure(std::string("the Windows picture encoder failed (") + step + ", error 0x" + number + ")");
}

// The encoder's settings: JPEG quality as 0 to 1, and the colour resolution
// as on other systems (kFullColourJpegQuality). An older encoder that knows
// no subsampling option keeps its own, with our quality.
HRESULT SetJpegOptions(IPropertyBag2* options, int quality) {
  PROPBAG2 names[2] = {};
  names[0].pstrName = const_cast<LPOLESTR>(L"ImageQuality");
  names[1].pstrName = const_cast<LPOLESTR>(L"JpegYCrCbSubsampling");
  VARIANT values[2];
  VariantInit(&values[0]);
  values[0].vt = VT_R4;
  values[0].fltVal = static_cast<float>(quality) / 100.0f;
  VariantInit(&values[1]);
  values[1].vt = VT_UI1;
  values[1].bVal = static_cast<BYTE>(quality < kFullColourJpegQuality ? WICJpegYCrCbSubsampling420 : WICJpegYCrCbSubsampling444);
  const HRESULT both = options->Write(2, names, values);
  return SUCCEEDED(both) ? both : options->Write(1, names, values);
}

// WIC takes rows top-down, and its encoders take blue, green, red without the
// unused byte: a band of rows at a time is turned over and packed.
HRESULT WriteRows(IWICBitmapFrameEncode* frame, const PixelBuffer& picture, const SavedColumns& columns) {
  constexpr int32_t kBandRows = 64;
  const UINT stride = 3 * static_cast<UINT>(columns.fileWidth);
  std::vector<uint8_t> band(static_cast<size_t>(stride) * kBandRows);
  std::vector<uint8_t> scratch;
  for (int32_t top = 0; top < picture.height; top += kBandRows) {
    const int32_t rows = std::min(kBandRows, picture.height - top);
    for (int32_t i = 0; i < rows; ++i) {
      const uint8_t* from = SavedRow(picture, columns, picture.height - 1 - (top + i), scratch);
      uint8_t* to = band.data() + static_cast<size_t>(stride) * i;
      for (int32_t x = 0; x < columns.fileWidth; ++x, from += 4, to += 3) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
      }
    }
    const HRESULT written = frame->WritePixels(static_cast<UINT>(rows), stride, stride * static_cast<UINT>(rows),
                                               band.data());
    if (FAILED(written)) return written;
  }
  return S_OK;
}

// The same for 16 bits a sample: red, green, blue, as the 48-bit format
// has them.
HRESULT WriteRows16(IWICBitmapFrameEncode* frame, const PixelBuffer16& picture, const SavedColumns& columns,
                    bool swapBytes) {
  constexpr int32_t kBandRows = 64;
  const UINT stride = 6 * static_cast<UINT>(columns.fileWidth);
  std::vector<uint16_t> band(static_cast<size_t>(stride / 2) * kBandRows);
  for (int32_t top = 0; top < picture.height; top += kBandRows) {
    const int32_t rows = std::min(kBandRows, picture.height - top);
    for (int32_t i = 0; i < rows; ++i) {
      const int32_t y = picture.height - 1 - (top + i);
      uint16_t* to = band.data() + static_cast<size_t>(stride / 2) * i;
      for (int32_t column = 0; column < columns.fileWidth; ++column, to += 3) {
        const int32_t x = columns.left + column;
        const bool inside = x >= columns.first && x < columns.last;
        const uint16_t* from = inside ? picture.Pixel(x, y) : nullptr;
        for (int c = 0; c < 3; ++c) {
          const uint16_t value = inside ? from[2 - c] : 0;
          to[c] = swapBytes ? static_cast<uint16_t>(value << 8 | value >> 8) : value;
        }
      }
    }
    const HRESULT written = frame->WritePixels(static_cast<UINT>(rows), stride, stride * static_cast<UINT>(rows),
                                               reinterpret_cast<BYTE*>(band.data()));
    if (FAILED(written)) return written;
  }
  return S_OK;
}

// What the encoder is given: the file's size, the pixel format the rows
// come in, and what writes them.
struct WicPicture {
  int32_t width = 0;
  int32_t height = 0;
  const GUID* pixelFormat = nullptr;
  std::function<HRESULT(IWICBitmapFrameEncode*)> writeRows;
};

Result EncodeWithWic(const WicPicture& picture, const GUID& container, int quality, std::vector<uint8_t>& file) {
  ComSession com(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), CoUninitialize);
  if (!com.usable()) return Result::Failure("the Windows picture encoder could not be started");

  IWICImagingFactory* rawFactory = nullptr;
  HRESULT status = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                    reinterpret_cast<void**>(&rawFactory));
  if (FAILED(status)) return EncoderFailure("starting", status);
  ComPointer<IWICImagingFactory> factory(rawFactory);

  IStream* rawStream = nullptr;
  status = CreateStreamOnHGlobal(nullptr, TRUE, &rawStream);
  if (FAILED(status)) return Result::Failure("not enough memory to encode the picture");
  ComPointer<IStream> stream(rawStream);

  IWICBitmapEncoder* rawEncoder = nullptr;
  status = factory->CreateEncoder(container, nullptr, &rawEncoder);
  if (FAILED(status)) return EncoderFailure("choosing the format", status);
  ComPointer<IWICBitmapEncoder> encoder(rawEncoder);
  status = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (FAILED(status)) return EncoderFailure("starting the file", status);

  IWICBitmapFrameEncode* rawFrame = nullptr;
  IPropertyBag2* rawOptions = nullptr;
  status = encoder->CreateNewFrame(&rawFrame, &rawOptions);
  if (FAILED(status)) return EncoderFailure("starting the picture", status);
  ComPointer<IWICBitmapFrameEncode> frame(rawFrame);
  ComPointer<IPropertyBag2> options(rawOptions);
  if (IsEqualGUID(container, GUID_ContainerFormatJpeg)) {
    status = SetJpegOptions(options.get(), quality);
    if (FAILED(status)) return EncoderFailure("setting the quality", status);
  }
  status = frame->Initialize(options.get());
  if (FAILED(status)) return EncoderFailure("starting the picture", status);
  status = frame->SetSize(static_cast<UINT>(picture.width), static_cast<UINT>(picture.height));
  if (FAILED(status)) return EncoderFailure("setting the size", status);
  // The encoder may answer with a format of its own; ours are the ones every
  // JPEG and colour PNG encoder takes (24-bit BGR) and PNG's 48-bit RGB.
  WICPixelFormatGUID format = *picture.pixelFormat;
  status = frame->SetPixelFormat(&format);
  if (FAILED(status) || !IsEqualGUID(format, *picture.pixelFormat))
    return EncoderFailure("choosing the pixel format", FAILED(status) ? status : E_UNEXPECTED);
  status = picture.writeRows(frame.get());
  if (FAILED(status)) return EncoderFailure("writing the pixels", status);
  status = frame->Commit();
  if (SUCCEEDED(status)) status = encoder->Commit();
  if (FAILED(status)) return EncoderFailure("finishing the file", status);

  // The memory block may be larger than what was written; the stream knows.
  STATSTG statistics = {};
  status = stream->Stat(&statistics, STATFLAG_NONAME);
  HGLOBAL memory = nullptr;
  if (SUCCEEDED(status)) status = GetHGlobalFromStream(stream.get(), &memory);
  if (FAILED(status)) return EncoderFailure("reading the file back", status);
  const LockedGlobal locked(memory);
  if (locked.bytes == nullptr) return EncoderFailure("reading the file back", E_OUTOFMEMORY);
  file.assign(locked.bytes, locked.bytes + statistics.cbSize.QuadPart);
  return {};
}

// Whether the 48-bit PNG encoder of this process writes the samples it is
// given in the wrong byte order, as Wine's may: a 1 x 1 picture whose red
// sample is 0x0102 is encoded once, and its pixel data inflated.
bool PngEncoderSwapsSamples() {
  static const bool swaps = [] {
    const uint16_t probe[3] = {0x0102, 0, 0};
    std::vector<uint8_t> file;
    const WicPicture picture{1, 1, &GUID_WICPixelFormat48bppRGB, [&](IWICBitmapFrameEncode* frame) {
                               return frame->WritePixels(1, 6, 6, reinterpret_cast<BYTE*>(const_cast<uint16_t*>(probe)));
                             }};
    if (!EncodeWithWic(picture, GUID_ContainerFormatPng, 0, file).ok()) return false;
    const std::string text(file.begin(), file.end());
    const size_t idat = text.find("IDAT");
    if (idat == std::string::npos || idat < 4) return false;
    const uLong length = uLong{file[idat - 4]} << 24 | uLong{file[idat - 3]} << 16 | uLong{file[idat - 2]} << 8 | file[idat - 1];
    if (idat + 4 + length > file.size()) return false;
    uint8_t row[7] = {};
    uLongf rowBytes = sizeof row;
    if (uncompress(row, &rowBytes, file.data() + idat + 4, length) != Z_OK || rowBytes != sizeof row) return false;
    return row[1] == 0x02 && row[2] == 0x01;  // after the row's filter byte
  }();
  return swaps;
}

}  // namespace

Result EncodeJpeg(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file) {
  assert(options.quality >= 1 && options.quality <= 100);
  const SavedColumns columns = SavedColumnsOf(picture, shape);
  const WicPicture rows{columns.fileWidth, picture.height, &GUID_WICPixelFormat24bppBGR,
                        [&](IWICBitmapFrameEncode* frame) { return WriteRows(frame, picture, columns); }};
  Result encoded = EncodeWithWic(rows, GUID_ContainerFormatJpeg, options.quality, file);
  if (!encoded.ok()) return encoded;
  AddPictureMetadata(PictureFormat::Jpeg, options, columns.fileWidth, picture.height, file);
  return {};
}

Result EncodePng(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file) {
  const SavedColumns columns = SavedColumnsOf(picture, shape);
  const WicPicture rows{columns.fileWidth, picture.height, &GUID_WICPixelFormat24bppBGR,
                        [&](IWICBitmapFrameEncode* frame) { return WriteRows(frame, picture, columns); }};
  Result encoded = EncodeWithWic(rows, GUID_ContainerFormatPng, 0, file);
  if (!encoded.ok()) return encoded;
  AddPictureMetadata(PictureFormat::Png, options, columns.fileWidth, picture.height, file);
  return {};
}

Result EncodePng16(const PixelBuffer16& picture, SaveShape shape, const EncodeOptions& options,
                   std::vector<uint8_t>& file) {
  const SavedColumns columns = SavedColumnsOf(PixelBuffer{nullptr, picture.width, picture.height}, shape);
  const WicPicture rows{columns.fileWidth, picture.height, &GUID_WICPixelFormat48bppRGB,
                        [&, swap = PngEncoderSwapsSamples()](IWICBitmapFrameEncode* frame) {
                          return WriteRows16(frame, picture, columns, swap);
                        }};
  Result encoded = EncodeWithWic(rows, GUID_ContainerFormatPng, 0, file);
  if (!encoded.ok()) return encoded;
  AddPictureMetadata(PictureFormat::Png, options, columns.fileWidth, picture.height, file);
  return {};
}
