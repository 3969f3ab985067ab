#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imageio/result.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"

struct PanoramaXmp;
struct CameraMetadata;

enum class PictureFormat { Bmp, Jpeg, Png, Tiff };

// From a file name's extension (.bmp .jpg .jpeg .png .tif .tiff, any case);
// nullopt otherwise.
std::optional<PictureFormat> FormatFromName(const std::string& name);

// Receives a file's bytes in order; false stops the writing.
using ByteSink = std::function<bool(std::span<const uint8_t>)>;

inline constexpr int kDefaultJpegQuality = 92;
// JPEG colour resolution: full (4:4:4) from this quality up, where the user
// asked for detail, colour edges included; below it the user asked for a
// smaller file, and colour at half resolution both ways (4:2:0) is where
// encoders save most.
inline constexpr int kFullColourJpegQuality = 90;

struct EncodeOptions {
  int quality = kDefaultJpegQuality;       // JPEG only, 1 to 100
  const PanoramaXmp* xmp = nullptr;        // none: no panorama metadata
  const CameraMetadata* camera = nullptr;  // none: neither EXIF nor ICC profile
};

// Which columns of a picture a file saved in `shape` holds, as EncodeBmp saves
// them (bmp_writer.h): the file is `fileWidth` pixels wide, and its column i
// is the picture's column left + i where that lies in [first, last), black
// elsewhere.
struct SavedColumns {
  int32_t fileWidth = 0;
  int32_t left = 0;
  int32_t first = 0;
  int32_t last = 0;

  bool InsidePicture() const { return first == left && last == left + fileWidth; }
};
SavedColumns SavedColumnsOf(const PixelBuffer& picture, SaveShape shape);

// Stored row y of the saved file (layout pixel_buffer.h): in the picture
// itself when the file's rows lie inside it, otherwise put together in
// `scratch`, which must be left to this function between rows.
const uint8_t* SavedRow(const PixelBuffer& picture, const SavedColumns& columns, int32_t y,
                        std::vector<uint8_t>& scratch);

// The bytes of a JPEG or PNG file of `picture` saved in `shape`: the pixels
// EncodeBmp writes, with the options' metadata.
Result EncodeJpeg(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file);
Result EncodePng(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file);
// A PNG file of 16 bits a sample.
Result EncodePng16(const PixelBuffer16& picture, SaveShape shape, const EncodeOptions& options,
                   std::vector<uint8_t>& file);

// Whether a format holds 16 bits a sample (PNG, TIFF).
bool Holds16Bits(PictureFormat format);

// Puts the options' metadata into a JPEG or PNG file just encoded, of this
// size. The encoder's bytes stay as they were, except a PNG sRGB chunk where
// an ICC profile takes its place.
void AddPictureMetadata(PictureFormat format, const EncodeOptions& options, int32_t width, int32_t height,
                        std::vector<uint8_t>& file);

// Writes the file `name` from what `writeBytes` hands its sink. An existing
// file is replaced only once the new one is complete; on failure it is left
// as it was.
Result WriteFileSafely(const std::string& name, const std::function<bool(const ByteSink&)>& writeBytes);

// Writes `picture` saved in `shape` as a file of `format`, with the same
// care. BMP files carry no metadata.
Result WritePictureFile(const PixelBuffer& picture, SaveShape shape, PictureFormat format,
                        const EncodeOptions& options, const std::string& name);
// The same with 16 bits a sample, for a format that holds them.
Result WritePictureFile16(const PixelBuffer16& picture, SaveShape shape, PictureFormat format,
                          const EncodeOptions& options, const std::string& name);
