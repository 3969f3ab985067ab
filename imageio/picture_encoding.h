#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imageio/result.h"
#include "transform/pixel_buffer.h"

struct PanoramaXmp;
struct CameraMetadata;

enum class PictureFormat { Bmp, Jpeg, Png };

// From a file name's extension (.bmp .jpg .jpeg .png, any case); nullopt otherwise.
std::optional<PictureFormat> FormatFromName(const std::string& name);

// Receives a file's bytes in order; false stops the writing.
using ByteSink = std::function<bool(std::span<const uint8_t>)>;

inline constexpr int kDefaultJpegQuality = 92;

struct EncodeOptions {
  int quality = kDefaultJpegQuality;       // JPEG only, 1 to 100
  const PanoramaXmp* xmp = nullptr;        // none: no panorama metadata
  const CameraMetadata* camera = nullptr;  // none: neither EXIF nor ICC profile
};

// The bytes of a JPEG or PNG file of the whole of `picture`, with the
// options' metadata.
Result EncodeJpeg(const PixelBuffer& picture, const EncodeOptions& options, std::vector<uint8_t>& file);
Result EncodePng(const PixelBuffer& picture, const EncodeOptions& options, std::vector<uint8_t>& file);

// Puts the options' metadata into a JPEG or PNG file just encoded from a
// picture of this size; every byte of the file stays as it was.
void AddPictureMetadata(PictureFormat format, const EncodeOptions& options, int32_t width, int32_t height,
                        std::vector<uint8_t>& file);

// Writes the file `name` from what `writeBytes` hands its sink. An existing
// file is replaced only once the new one is complete; on failure it is left
// as it was.
Result WriteFileSafely(const std::string& name, const std::function<bool(const ByteSink&)>& writeBytes);

// Encodes `picture` as a JPEG or PNG file and writes it with the same care.
// (BMP files are WriteBmpPicture's.)
Result WritePictureFile(const PixelBuffer& picture, PictureFormat format, const EncodeOptions& options,
                        const std::string& name);
