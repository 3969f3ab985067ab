// PNG files through libpng: every colour type and depth the format has, read
// row by row straight into the program's stores.
#include "imageio/png_reader.h"

#include <png.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/decode_picture.h"
#include "imageio/decoded_rows.h"

namespace {

// libpng reports an error by a long jump back to DecodePng's setjmp, with
// its message left here; warnings (a damaged ancillary chunk) are not
// failures.
struct PngReadState {
  std::span<const uint8_t> bytes;
  size_t at = 0;
  std::string error;
};

void PngError(png_structp png, png_const_charp message) {
  static_cast<PngReadState*>(png_get_error_ptr(png))->error = message;
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep data, size_t length) {
  PngReadState& state = *static_cast<PngReadState*>(png_get_io_ptr(png));
  if (length > state.bytes.size() - state.at) png_error(png, "the file ends early");
  std::memcpy(data, state.bytes.data() + state.at, length);
  state.at += length;
}

struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngReader() { png_destroy_read_struct(&png, &info, nullptr); }
};

// Everything after the setjmp of DecodePng that may long-jump: what needs
// destroying lives in `rows` and `kept`, which outlive the jump.
Result ReadPng(png_structp png, png_infop info, uint8_t* destination, int64_t capacityPixels, int32_t& width,
               int32_t& height, PixelStore* samples16, std::vector<uint8_t>& rows, PixelStore& kept) {
  png_read_info(png, info);
  const png_uint_32 fileWidth = png_get_image_width(png, info);
  const png_uint_32 fileHeight = png_get_image_height(png, info);
  if (int64_t{fileWidth} * fileHeight > capacityPixels) return TooLargeFailure(fileWidth, fileHeight, capacityPixels);
  const int colourType = png_get_color_type(png, info);
  const int fileBits = png_get_bit_depth(png, info);
  if (fileBits == 16 && colourType == PNG_COLOR_TYPE_GRAY_ALPHA) return Result::Failure(kGreyAlpha16Refused);

  // Palettes become RGB, small depths 8 bits, and a tRNS chunk an alpha
  // channel (but not on 16-bit grey, which would become grey with alpha).
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (fileBits < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS) != 0 && !(fileBits == 16 && colourType == PNG_COLOR_TYPE_GRAY))
    png_set_tRNS_to_alpha(png);
  if (fileBits == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);

  DecodedRowFormat format;
  format.samples = png_get_channels(png, info);
  format.grey = format.samples <= 2;
  format.alpha = format.samples == 2 || format.samples == 4;
  format.bits = png_get_bit_depth(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  uint16_t* deep = nullptr;
  if (format.bits == 16 && samples16 != nullptr) {
    Result allocated = AllocateSamples16(int64_t{fileWidth} * fileHeight, kept);
    if (!allocated.ok()) return allocated;
    deep = reinterpret_cast<uint16_t*>(kept.get());
  }
  // Rows of a plain file pass through one row of memory; an interlaced
  // file's passes each fill in the whole picture, which must be kept
  // meanwhile.
  const size_t heldRows = passes > 1 ? fileHeight : 1;
  rows.resize(rowBytes * heldRows);
  const auto store = [&](const uint8_t* row, png_uint_32 fileRow) {
    const size_t y = fileHeight - 1 - fileRow;  // bottom row first
    StoreDecodedRow(row, format, static_cast<int32_t>(fileWidth), destination + 4 * size_t{fileWidth} * y,
                    deep != nullptr ? deep + 4 * size_t{fileWidth} * y : nullptr);
  };
  if (passes > 1) {
    for (int pass = 0; pass < passes; ++pass) {
      for (png_uint_32 y = 0; y < fileHeight; ++y) png_read_row(png, rows.data() + rowBytes * y, nullptr);
    }
    for (png_uint_32 y = 0; y < fileHeight; ++y) store(rows.data() + rowBytes * y, y);
  } else {
    for (png_uint_32 y = 0; y < fileHeight; ++y) {
      png_read_row(png, rows.data(), nullptr);
      store(rows.data(), y);
    }
  }
  // The pixels are complete; whatever follows them is metadata, read apart.
  width = static_cast<int32_t>(fileWidth);
  height = static_cast<int32_t>(fileHeight);
  if (samples16 != nullptr) *samples16 = std::move(kept);
  return {};
}

}  // namespace

Result DecodePng(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                 int32_t& height, PixelStore* samples16) {
  PngReadState state;
  state.bytes = bytes;
  PngReader reader;
  reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
  if (reader.png == nullptr) return Result::Failure("the PNG decoder could not be started");
  reader.info = png_create_info_struct(reader.png);
  if (reader.info == nullptr) return Result::Failure("the PNG decoder could not be started");
  // The sides libpng allows by default are far below what the pixel limit
  // allows; the limit itself is checked against the header.
  png_set_user_limits(reader.png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_read_fn(reader.png, &state, PngRead);
  std::vector<uint8_t> rows;
  PixelStore kept;
  if (setjmp(png_jmpbuf(reader.png)) != 0) return Result::Failure("damaged PNG file (" + state.error + ")");
  return ReadPng(reader.png, reader.info, destination, capacityPixels, width, height, samples16, rows, kept);
}
