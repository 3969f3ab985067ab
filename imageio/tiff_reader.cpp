// TIFF files through libtiff: grey and RGB, with or without alpha, 8 or 16
// bits a sample, in strips or tiles, under any compression libtiff knows
// (none, LZW, Deflate, PackBits among them). Strips are read row by row and
// tiles one at a time, so that no more than a tile of the file's pixels is
// ever held beside the program's own stores.
#include "imageio/tiff_reader.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imageio/decode_picture.h"
#include "imageio/decoded_rows.h"

namespace {

struct MemoryFile {
  std::span<const uint8_t> bytes;
  toff_t at = 0;
  std::string error;
};

tsize_t ReadProc(thandle_t handle, tdata_t data, tsize_t size) {
  MemoryFile& file = *static_cast<MemoryFile*>(handle);
  if (size < 0) return -1;
  const toff_t left = file.at < file.bytes.size() ? file.bytes.size() - file.at : 0;
  const size_t count = std::min<toff_t>(left, static_cast<toff_t>(size));
  if (count > 0) std::memcpy(data, file.bytes.data() + file.at, count);
  file.at += count;
  return static_cast<tsize_t>(count);
}

tsize_t WriteProc(thandle_t, tdata_t, tsize_t) { return -1; }

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  MemoryFile& file = *static_cast<MemoryFile*>(handle);
  toff_t base = 0;
  if (whence == SEEK_CUR) base = file.at;
  if (whence == SEEK_END) base = file.bytes.size();
  // Offsets are unsigned: a step back wraps around, which the sum undoes.
  file.at = base + offset;
  return file.at;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t handle) { return static_cast<MemoryFile*>(handle)->bytes.size(); }
int MapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void UnmapProc(thandle_t, tdata_t, toff_t) {}

// The first error libtiff reports is the one the user hears; warnings (an
// unknown tag, say) are not failures.
int ErrorHandler(TIFF*, void* userData, const char*, const char* format, va_list arguments) {
  MemoryFile& file = *static_cast<MemoryFile*>(userData);
  if (file.error.empty()) {
    char message[256];
    std::vsnprintf(message, sizeof message, format, arguments);
    file.error = message;
    // Messages about the file open with its name, which here is ours.
    constexpr std::string_view kName = "picture: ";
    if (file.error.starts_with(kName)) file.error.erase(0, kName.size());
  }
  return 1;
}

int WarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct OptionsFreer {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// No single allocation of libtiff's (a strip or tile buffer, a tag's values)
// may pass this: the largest tile a 50-megapixel picture of 16-bit RGBA can
// need. A file that claims more is damaged or made to hurt.
constexpr tmsize_t kMostLibtiffAllocation = tmsize_t{8} * 50'000'000;

Result Damaged(const MemoryFile& file, const char* what) {
  return Result::Failure(std::string("damaged TIFF file (") + (file.error.empty() ? what : file.error.c_str()) + ")");
}

// How the file's samples make a pixel, or why the program cannot read them.
Result RowFormatOf(TIFF* tiff, DecodedRowFormat& format) {
  uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 0)
    photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  if (bits != 8 && bits != 16)
    return Result::Failure("TIFF files of " + std::to_string(bits) + " bits a sample are not supported (8 or 16)");
  if (sampleFormat != SAMPLEFORMAT_UINT)
    return Result::Failure("TIFF files of floating-point or signed samples are not supported");
  if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_RGB)
    return Result::Failure("TIFF files of this colour model (" + std::to_string(photometric) +
                           ") are not supported; save the picture as RGB or grey");
  const int colours = photometric == PHOTOMETRIC_RGB ? 3 : 1;
  if (samples < colours) return Result::Failure("damaged TIFF file (fewer samples than colours)");
  if (planar != PLANARCONFIG_CONTIG && samples > 1)
    return Result::Failure(kSeparatePlanesRefused);
  // The first extra sample is alpha when it says so; straight alpha is
  // composited over black, premultiplied alpha has been already.
  uint16_t extraCount = 0;
  uint16_t* extraKinds = nullptr;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
  const bool alpha = samples > colours && extraCount > 0 && extraKinds != nullptr && extraKinds[0] == EXTRASAMPLE_UNASSALPHA;
  const bool anyAlpha = samples > colours && extraCount > 0 && extraKinds != nullptr && extraKinds[0] != EXTRASAMPLE_UNSPECIFIED;
  if (bits == 16 && colours == 1 && anyAlpha) return Result::Failure(kGreyAlpha16Refused);
  format.samples = samples;
  format.grey = colours == 1;
  format.alpha = alpha;
  format.minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
  format.bits = bits;
  return {};
}

struct Target {
  uint8_t* pixels8;
  uint16_t* pixels16;
  uint32_t width;
  uint32_t height;

  // File row `fileRow` from column `x` on, bottom row first.
  size_t At(uint32_t x, uint32_t fileRow) const { return 4 * (size_t{width} * (height - 1 - fileRow) + x); }
};

Result ReadStrips(TIFF* tiff, const MemoryFile& file, const DecodedRowFormat& format, const Target& target) {
  std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tiff)));
  if (row.size() < size_t{target.width} * format.samples * (format.bits / 8))
    return Damaged(file, "rows shorter than the picture");
  for (uint32_t y = 0; y < target.height; ++y) {
    if (TIFFReadScanline(tiff, row.data(), y, 0) < 0) return Damaged(file, "a row cannot be read");
    const size_t at = target.At(0, y);
    StoreDecodedRow(row.data(), format, static_cast<int32_t>(target.width), target.pixels8 + at,
                    target.pixels16 != nullptr ? target.pixels16 + at : nullptr);
  }
  return {};
}

Result ReadTiles(TIFF* tiff, const MemoryFile& file, const DecodedRowFormat& format, const Target& target) {
  uint32_t tileWidth = 0, tileLength = 0;
  TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
  TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileLength);
  const tmsize_t tileBytes = TIFFTileSize(tiff);
  const size_t pixelBytes = static_cast<size_t>(format.samples * (format.bits / 8));
  if (tileWidth == 0 || tileLength == 0 || tileBytes <= 0 ||
      static_cast<uint64_t>(tileBytes) < uint64_t{tileWidth} * tileLength * pixelBytes)
    return Damaged(file, "no usable tile size");
  std::vector<uint8_t> tile(static_cast<size_t>(tileBytes));
  for (uint32_t top = 0; top < target.height; top += tileLength) {
    for (uint32_t left = 0; left < target.width; left += tileWidth) {
      if (TIFFReadTile(tiff, tile.data(), left, top, 0, 0) < 0) return Damaged(file, "a tile cannot be read");
      // Tiles on the right and bottom edges reach past the picture.
      const uint32_t columns = std::min(tileWidth, target.width - left);
      const uint32_t rows = std::min(tileLength, target.height - top);
      for (uint32_t y = 0; y < rows; ++y) {
        const size_t at = target.At(left, top + y);
        StoreDecodedRow(tile.data() + y * tileWidth * pixelBytes, format, static_cast<int32_t>(columns),
                        target.pixels8 + at, target.pixels16 != nullptr ? target.pixels16 + at : nullptr);
      }
    }
  }
  return {};
}

}  // namespace

Result DecodeTiff(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                  int32_t& height, PixelStore* samples16) {
  MemoryFile file;
  file.bytes = bytes;
  std::unique_ptr<TIFFOpenOptions, OptionsFreer> options(TIFFOpenOptionsAlloc());
  if (!options) return Result::Failure("the TIFF decoder could not be started");
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMostLibtiffAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), ErrorHandler, &file);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), WarningHandler, &file);
  // "m": no memory mapping, the bytes are in memory already.
  std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpenExt("picture", "rm", &file, ReadProc, WriteProc, SeekProc,
                                                           CloseProc, SizeProc, MapProc, UnmapProc, options.get()));
  if (!tiff) return Damaged(file, "no readable first page");
  uint32_t fileWidth = 0, fileHeight = 0;
  if (TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &fileWidth) == 0 ||
      TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &fileHeight) == 0 || fileWidth == 0 || fileHeight == 0)
    return Damaged(file, "no picture size");
  if (int64_t{fileWidth} * fileHeight > capacityPixels) return TooLargeFailure(fileWidth, fileHeight, capacityPixels);
  DecodedRowFormat format;
  Result known = RowFormatOf(tiff.get(), format);
  if (!known.ok()) return known;

  PixelStore kept;
  if (format.bits == 16 && samples16 != nullptr) {
    Result allocated = AllocateSamples16(int64_t{fileWidth} * fileHeight, kept);
    if (!allocated.ok()) return allocated;
  }
  const Target target{destination, reinterpret_cast<uint16_t*>(kept.get()), fileWidth, fileHeight};
  Result read = TIFFIsTiled(tiff.get()) ? ReadTiles(tiff.get(), file, format, target)
                                        : ReadStrips(tiff.get(), file, format, target);
  if (!read.ok()) return read;
  width = static_cast<int32_t>(fileWidth);
  height = static_cast<int32_t>(fileHeight);
  if (samples16 != nullptr) *samples16 = std::move(kept);
  return {};
}
