// JPEG and PNG encoding on Windows: the system's own encoders (Windows Imaging
// Component) write into a stream over memory, whose bytes are then copied out.
#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
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

Result EncodeWithWic(const PixelBuffer& picture, const SavedColumns& columns, const GUID& container, int quality,
                     std::vector<uint8_t>& file) {
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
  status = frame->SetSize(static_cast<UINT>(columns.fileWidth), static_cast<UINT>(picture.height));
  if (FAILED(status)) return EncoderFailure("setting the size", status);
  // The encoder may answer with a format of its own; ours is the one every
  // JPEG and colour PNG encoder takes.
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  status = frame->SetPixelFormat(&format);
  if (FAILED(status) || !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
    return EncoderFailure("choosing the pixel format", FAILED(status) ? status : E_UNEXPECTED);
  status = WriteRows(frame.get(), picture, columns);
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

}  // namespace

Result EncodeJpeg(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file) {
  assert(options.quality >= 1 && options.quality <= 100);
  const SavedColumns columns = SavedColumnsOf(picture, shape);
  Result encoded = EncodeWithWic(picture, columns, GUID_ContainerFormatJpeg, options.quality, file);
  if (!encoded.ok()) return encoded;
  AddPictureMetadata(PictureFormat::Jpeg, options, columns.fileWidth, picture.height, file);
  return {};
}

Result EncodePng(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file) {
  const SavedColumns columns = SavedColumnsOf(picture, shape);
  Result encoded = EncodeWithWic(picture, columns, GUID_ContainerFormatPng, 0, file);
  if (!encoded.ok()) return encoded;
  AddPictureMetadata(PictureFormat::Png, options, columns.fileWidth, picture.height, file);
  return {};
}
