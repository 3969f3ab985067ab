#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "imageio/result.h"
#include "transform/stores.h"

// Decodes a picture file held in memory into `destination` as W x H pixels in
// the program's layout (pixel_buffer.h), the unused byte 0. The content decides
// the format, not the name. A picture of more than `capacityPixels` pixels is
// refused from its header, before anything is written or allocated.
// On success `width` and `height` receive W and H; on failure they keep their
// values and the reason is returned, while the destination may have been
// partly written: callers decode into a store that is not yet in use.
// When `samples16` is given, a file with 16 bits a sample (PNG, TIFF) also
// leaves them there in a fresh store (layout PixelBuffer16, alpha composited
// as in the 8-bit picture); any other file leaves it empty.
Result DecodePicture(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels,
                     int32_t& width, int32_t& height, PixelStore* samples16 = nullptr);

// What the program says of a file it cannot read at all.
inline constexpr char kNotAPicture[] = "not a picture the program can read (JPEG, PNG, TIFF or BMP)";

// The reason given for a picture over the pixel limit.
inline Result TooLargeFailure(int64_t width, int64_t height, int64_t capacityPixels) {
  return Result::Failure("the picture is too large (" + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels; at most " + std::to_string(capacityPixels) + " pixels can be loaded)");
}
