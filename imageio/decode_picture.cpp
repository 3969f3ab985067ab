// Picture decoding on systems without the Windows picture loader: JPEG through
// libjpeg-turbo, PNG through libpng, TIFF through libtiff, and the
// uncompressed BMP files the program writes.
#include "imageio/decode_picture.h"

#include <turbojpeg.h>

#include <memory>
#include <string>

#include "imageio/bmp_reader.h"
#include "imageio/decoded_rows.h"
#include "imageio/jpeg_header.h"
#include "imageio/png_reader.h"
#include "imageio/tiff_reader.h"

namespace {

struct TurboJpegCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<void, TurboJpegCloser>;

bool LooksLikeJpeg(std::span<const uint8_t> bytes) {
  return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

Result DecodeJpeg(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels,
                  int32_t& width, int32_t& height) {
  // libjpeg-turbo refuses sides over 65,500 with a message about its own
  // limits; the user should hear that the picture is too large.
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  if (DeclaredJpegSize(bytes, declaredWidth, declaredHeight) && declaredWidth * declaredHeight > capacityPixels)
    return TooLargeFailure(declaredWidth, declaredHeight, capacityPixels);
  Result scans = CheckJpegScanCount(bytes);
  if (!scans.ok()) return scans;

  TurboJpegHandle decoder(tjInitDecompress());
  if (!decoder) return Result::Failure("the JPEG decoder could not be started");
  const unsigned long size = static_cast<unsigned long>(bytes.size());
  int jpegWidth = 0;
  int jpegHeight = 0;
  int subsampling = 0;
  int colourspace = 0;
  if (tjDecompressHeader3(decoder.get(), bytes.data(), size, &jpegWidth, &jpegHeight, &subsampling,
                          &colourspace) != 0) {
    return Result::Failure(std::string("damaged JPEG file (") + tjGetErrorStr2(decoder.get()) + ")");
  }
  if (jpegWidth <= 0 || jpegHeight <= 0) return Result::Failure("damaged JPEG file (no picture size)");
  if (int64_t{jpegWidth} * jpegHeight > capacityPixels)
    return TooLargeFailure(jpegWidth, jpegHeight, capacityPixels);

  // Straight into the destination, bottom row first, as blue, green, red, X.
  // A warning (a truncated or corrupt scan) counts as failure: the picture
  // would come out partly grey. LIMITSCANS backs up our own scan count.
  // CMYK files (from print workflows) come out as CMYK, four bytes a pixel
  // like ours, and are turned into colours in place.
  const bool cmyk = colourspace == TJCS_CMYK || colourspace == TJCS_YCCK;
  const int flags = TJFLAG_BOTTOMUP | TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
  if (tjDecompress2(decoder.get(), bytes.data(), size, destination, jpegWidth, 4 * jpegWidth, jpegHeight,
                    cmyk ? TJPF_CMYK : TJPF_BGRX, flags) != 0) {
    return Result::Failure(std::string("damaged JPEG file (") + tjGetErrorStr2(decoder.get()) + ")");
  }
  const int64_t pixels = int64_t{jpegWidth} * jpegHeight;
  if (cmyk) {
    // The decoder hands the inks back as the file stores them, which is
    // inverted in every CMYK JPEG that Adobe's convention shaped (nearly all):
    // 255 means no ink, so each colour is its ink value scaled by the black.
    for (int64_t i = 0; i < pixels; ++i) {
      uint8_t* p = destination + 4 * i;
      const unsigned cyan = p[0], magenta = p[1], yellow = p[2], black = p[3];
      p[0] = static_cast<uint8_t>((yellow * black + 127) / 255);
      p[1] = static_cast<uint8_t>((magenta * black + 127) / 255);
      p[2] = static_cast<uint8_t>((cyan * black + 127) / 255);
      p[3] = 0;
    }
  } else {
    // The decoder fills X with 255; the program's unused byte is 0.
    for (int64_t i = 0; i < pixels; ++i) destination[4 * i + 3] = 0;
  }
  width = jpegWidth;
  height = jpegHeight;
  return {};
}

}  // namespace

Result DecodePicture(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels,
                     int32_t& width, int32_t& height, PixelStore* samples16) {
  if (bytes.empty()) return Result::Failure("the file is empty");
  if (LooksLikePng(bytes)) return DecodePng(bytes, destination, capacityPixels, width, height, samples16);
  if (LooksLikeTiff(bytes)) return DecodeTiff(bytes, destination, capacityPixels, width, height, samples16);
  Result decoded = Result::Failure(kNotAPicture);
  if (LooksLikeJpeg(bytes)) decoded = DecodeJpeg(bytes, destination, capacityPixels, width, height);
  else if (LooksLikeBmp(bytes)) decoded = DecodeBmp(bytes, destination, capacityPixels, width, height);
  if (decoded.ok() && samples16 != nullptr) samples16->reset();
  return decoded;
}
