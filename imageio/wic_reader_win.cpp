// PNG and TIFF files through the Windows Imaging Component. The frame's own
// pixel format is read as it is, a band of rows at a time, and put into the
// program's layout by the same code as on other systems (decoded_rows.h):
// the component's format converters are never asked for, as 16-bit samples
// must keep their values and come to 8 bits by the program's own rounding
// (and Wine's converters fail for these formats).
#include "imageio/wic_reader_win.h"

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "imageio/com_session_win.h"
#include "imageio/decode_picture.h"
#include "imageio/decoded_rows.h"

namespace {

constexpr UINT kBandRows = 64;

// How a pixel format of the component is read: as codec rows
// (DecodedRowFormat), or as palette indices or grey of fewer than 8 bits
// that are widened first.
struct FrameFormat {
  const GUID* guid;
  DecodedRowFormat rows;
  int packedBits = 0;     // 1, 2 or 4: samples packed into bytes, widened to 8
  bool indexed = false;   // samples are palette indices
};

// Every format the PNG and TIFF decoders hand over for grey and RGB
// pictures, with or without alpha (premultiplied alpha is colour over black
// already, and read as no alpha).
const FrameFormat kFormats[] = {
    {&GUID_WICPixelFormat24bppBGR, {3, false, false, false, true, 8}},
    {&GUID_WICPixelFormat24bppRGB, {3, false, false, false, false, 8}},
    {&GUID_WICPixelFormat32bppBGR, {4, false, false, false, true, 8}},
    {&GUID_WICPixelFormat32bppBGRA, {4, false, true, false, true, 8}},
    {&GUID_WICPixelFormat32bppPBGRA, {4, false, false, false, true, 8}},
    {&GUID_WICPixelFormat32bppRGBA, {4, false, true, false, false, 8}},
    {&GUID_WICPixelFormat32bppPRGBA, {4, false, false, false, false, 8}},
    {&GUID_WICPixelFormat8bppGray, {1, true, false, false, false, 8}},
    {&GUID_WICPixelFormat48bppRGB, {3, false, false, false, false, 16}},
    {&GUID_WICPixelFormat48bppBGR, {3, false, false, false, true, 16}},
    {&GUID_WICPixelFormat64bppRGBA, {4, false, true, false, false, 16}},
    {&GUID_WICPixelFormat64bppBGRA, {4, false, true, false, true, 16}},
    {&GUID_WICPixelFormat64bppPRGBA, {4, false, false, false, false, 16}},
    {&GUID_WICPixelFormat64bppRGB, {4, false, false, false, false, 16}},
    {&GUID_WICPixelFormat16bppGray, {1, true, false, false, false, 16}},
    {&GUID_WICPixelFormatBlackWhite, {1, true, false, false, false, 8}, 1},
    {&GUID_WICPixelFormat2bppGray, {1, true, false, false, false, 8}, 2},
    {&GUID_WICPixelFormat4bppGray, {1, true, false, false, false, 8}, 4},
    {&GUID_WICPixelFormat1bppIndexed, {4, false, true, false, false, 8}, 1, true},
    {&GUID_WICPixelFormat2bppIndexed, {4, false, true, false, false, 8}, 2, true},
    {&GUID_WICPixelFormat4bppIndexed, {4, false, true, false, false, 8}, 4, true},
    {&GUID_WICPixelFormat8bppIndexed, {4, false, true, false, false, 8}, 8, true},
};

// A 1 x 1 PNG of 16-bit RGB whose red sample is 0x0102.
constexpr uint8_t kProbePng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x10, 0x02, 0x00, 0x00, 0x00, 0xC0, 0xE7, 0x8F, 0x9D, 0x00, 0x00, 0x00,
    0x0F, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x60, 0x64, 0x62, 0x66, 0x61, 0x65, 0x03, 0x00, 0x00, 0x3F,
    0x00, 0x16, 0x21, 0xBA, 0xD4, 0x54, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

// The component's 16-bit formats hold samples in the machine's byte order,
// but Wine's PNG decoder may hand over the file's own, big-endian order
// instead, differently from one process to another. Which one this process
// gets is found once, from the probe.
bool PngSamplesComeBigEndian(IWICImagingFactory* factory) {
  static const bool bigEndian = [factory] {
    IWICStream* rawStream = nullptr;
    if (FAILED(factory->CreateStream(&rawStream))) return false;
    ComPointer<IWICStream> stream(rawStream);
    IWICBitmapDecoder* rawDecoder = nullptr;
    if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(kProbePng), sizeof kProbePng)) ||
        FAILED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, &rawDecoder)))
      return false;
    ComPointer<IWICBitmapDecoder> decoder(rawDecoder);
    IWICBitmapFrameDecode* rawFrame = nullptr;
    if (FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand)) ||
        FAILED(decoder->GetFrame(0, &rawFrame)))
      return false;
    ComPointer<IWICBitmapFrameDecode> frame(rawFrame);
    uint16_t samples[3] = {};
    const WICRect all{0, 0, 1, 1};
    if (FAILED(frame->CopyPixels(&all, 6, 6, reinterpret_cast<BYTE*>(samples)))) return false;
    return samples[0] == 0x0201;
  }();
  return bigEndian;
}

std::string Hex(HRESULT code) {
  char number[16];
  std::snprintf(number, sizeof number, "%08lX", static_cast<unsigned long>(code));
  return number;
}

class WicRead {
 public:
  WicRead(std::span<const uint8_t> bytes) : png_(LooksLikePng(bytes)), bytes_(bytes) {}

  Result Damaged(const char* step, HRESULT code) const {
    return Result::Failure(std::string(png_ ? "damaged PNG file" : "damaged TIFF file") +
                           " (the Windows Imaging Component cannot " + step + ", error 0x" + Hex(code) + ")");
  }

  Result Run(uint8_t* destination, int64_t capacityPixels, int32_t& width, int32_t& height, PixelStore* samples16) {
    ComSession com(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), CoUninitialize);
    if (!com.usable()) return Result::Failure("the Windows picture decoder could not be started");
    IWICImagingFactory* rawFactory = nullptr;
    HRESULT status = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                      reinterpret_cast<void**>(&rawFactory));
    if (FAILED(status)) return Result::Failure("the Windows picture decoder could not be started");
    ComPointer<IWICImagingFactory> factory(rawFactory);
    IWICStream* rawStream = nullptr;
    status = factory->CreateStream(&rawStream);
    if (FAILED(status)) return Result::Failure("not enough memory to read the picture");
    ComPointer<IWICStream> stream(rawStream);
    // The component only reads the memory it is given.
    status = stream->InitializeFromMemory(const_cast<BYTE*>(bytes_.data()), static_cast<DWORD>(bytes_.size()));
    if (FAILED(status)) return Damaged("open it", status);
    // The decoder is the one for the format the content says, not one the
    // component might find on its own for damaged bytes.
    IWICBitmapDecoder* rawDecoder = nullptr;
    status = factory->CreateDecoder(png_ ? GUID_ContainerFormatPng : GUID_ContainerFormatTiff, nullptr, &rawDecoder);
    if (FAILED(status)) return Result::Failure("the Windows picture decoder could not be started");
    ComPointer<IWICBitmapDecoder> decoder(rawDecoder);
    status = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
    if (FAILED(status)) return Damaged("open it", status);
    IWICBitmapFrameDecode* rawFrame = nullptr;
    status = decoder->GetFrame(0, &rawFrame);
    if (FAILED(status)) return Damaged("find its picture", status);
    ComPointer<IWICBitmapFrameDecode> frame(rawFrame);

    UINT frameWidth = 0, frameHeight = 0;
    status = frame->GetSize(&frameWidth, &frameHeight);
    if (FAILED(status) || frameWidth == 0 || frameHeight == 0) return Damaged("measure it", FAILED(status) ? status : E_FAIL);
    if (int64_t{frameWidth} * frameHeight > capacityPixels)
      return TooLargeFailure(frameWidth, frameHeight, capacityPixels);
    WICPixelFormatGUID pixelFormat{};
    status = frame->GetPixelFormat(&pixelFormat);
    if (FAILED(status)) return Damaged("tell its pixel format", status);
    const FrameFormat* format = nullptr;
    for (const FrameFormat& known : kFormats) {
      if (IsEqualGUID(*known.guid, pixelFormat)) format = &known;
    }
    if (format == nullptr)
      return Result::Failure(std::string(png_ ? "PNG" : "TIFF") +
                             " files of this kind are not supported (grey or RGB, with or without alpha, 8 or 16 bits)");
    std::vector<uint32_t> palette;
    if (format->indexed) {
      Result read = ReadPalette(factory.get(), frame.get(), palette);
      if (!read.ok()) return read;
    }

    PixelStore kept;
    if (format->rows.bits == 16 && samples16 != nullptr) {
      Result allocated = AllocateSamples16(int64_t{frameWidth} * frameHeight, kept);
      if (!allocated.ok()) return allocated;
    }
    auto* deep = reinterpret_cast<uint16_t*>(kept.get());
    const bool swap = png_ && format->rows.bits == 16 && PngSamplesComeBigEndian(factory.get());
    const int bitsPerPixel = format->packedBits > 0 ? format->packedBits
                                                     : format->rows.samples * format->rows.bits;
    const UINT stride = static_cast<UINT>((uint64_t{frameWidth} * bitsPerPixel + 7) / 8);
    std::vector<uint8_t> band(static_cast<size_t>(stride) * kBandRows);
    std::vector<uint8_t> widened(format->packedBits > 0 ? 4 * size_t{frameWidth} : 0);
    for (UINT top = 0; top < frameHeight; top += kBandRows) {
      const UINT rows = std::min(kBandRows, frameHeight - top);
      const WICRect rect{0, static_cast<INT>(top), static_cast<INT>(frameWidth), static_cast<INT>(rows)};
      status = frame->CopyPixels(&rect, stride, stride * rows, band.data());
      if (FAILED(status)) return Damaged("read its pixels", status);
      if (swap) {
        for (size_t i = 0; i + 1 < size_t{stride} * rows; i += 2) std::swap(band[i], band[i + 1]);
      }
      for (UINT r = 0; r < rows; ++r) {
        const uint8_t* row = band.data() + size_t{stride} * r;
        if (format->packedBits > 0) {
          Widen(row, *format, frameWidth, palette, widened.data());
          row = widened.data();
        }
        const size_t at = 4 * size_t{frameWidth} * (frameHeight - 1 - (top + r));  // bottom row first
        StoreDecodedRow(row, format->rows, static_cast<int32_t>(frameWidth), destination + at,
                        deep != nullptr ? deep + at : nullptr);
      }
    }
    width = static_cast<int32_t>(frameWidth);
    height = static_cast<int32_t>(frameHeight);
    if (samples16 != nullptr) *samples16 = std::move(kept);
    return {};
  }

 private:
  // The palette's colours as red, green, blue, alpha bytes, 256 of them
  // (black past the palette's end, as a damaged index must read something).
  Result ReadPalette(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, std::vector<uint32_t>& palette) const {
    IWICPalette* rawPalette = nullptr;
    HRESULT status = factory->CreatePalette(&rawPalette);
    if (FAILED(status)) return Result::Failure("not enough memory to read the picture");
    ComPointer<IWICPalette> wicPalette(rawPalette);
    status = frame->CopyPalette(wicPalette.get());
    UINT count = 0;
    if (SUCCEEDED(status)) status = wicPalette->GetColorCount(&count);
    std::vector<WICColor> colours(count);
    UINT got = 0;
    if (SUCCEEDED(status) && count > 0) status = wicPalette->GetColors(count, colours.data(), &got);
    if (FAILED(status)) return Damaged("read its palette", status);
    palette.assign(256, 0xFF000000u);
    for (UINT i = 0; i < std::min<UINT>(got, 256); ++i) palette[i] = colours[i];  // 0xAARRGGBB
    return {};
  }

  // Packed grey to 8 bits (each level times 255 over the top level), or
  // palette indices to red, green, blue and alpha.
  static void Widen(const uint8_t* row, const FrameFormat& format, UINT width, const std::vector<uint32_t>& palette,
                    uint8_t* out) {
    const int bits = format.packedBits;
    const unsigned top = (1u << bits) - 1;
    for (UINT x = 0; x < width; ++x) {
      const size_t bit = size_t{x} * bits;
      const unsigned value = bits == 8 ? row[x] : (row[bit / 8] >> (8 - bits - bit % 8)) & top;
      if (format.indexed) {
        const uint32_t colour = palette[value];
        out[4 * x] = static_cast<uint8_t>(colour >> 16);
        out[4 * x + 1] = static_cast<uint8_t>(colour >> 8);
        out[4 * x + 2] = static_cast<uint8_t>(colour);
        out[4 * x + 3] = static_cast<uint8_t>(colour >> 24);
      } else {
        out[x] = static_cast<uint8_t>(value * 255 / top);
      }
    }
  }

  bool png_;
  std::span<const uint8_t> bytes_;
};

}  // namespace

Result DecodeWithWic(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                     int32_t& height, PixelStore* samples16) {
  Result layout = CheckPngOrTiffLayout(bytes);
  if (!layout.ok()) return layout;
  // A PNG decoder may make room for the whole picture as it opens the file:
  // the size IHDR declares is checked first.
  if (LooksLikePng(bytes) && bytes.size() >= 24) {
    const auto number = [&](size_t at) {
      return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    };
    const int64_t declaredWidth = number(16), declaredHeight = number(20);
    if (declaredWidth * declaredHeight > capacityPixels)
      return TooLargeFailure(declaredWidth, declaredHeight, capacityPixels);
  }
  if (bytes.size() > 0xFFFFFFFFu) return Result::Failure("the file is too large to read");
  return WicRead(bytes).Run(destination, capacityPixels, width, height, samples16);
}
