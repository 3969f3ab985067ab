#pragma once
#include <cstdint>
#include <span>

#include "imageio/result.h"
#include "transform/stores.h"

// TIFF decoding through libtiff, as DecodePicture describes it
// (decode_picture.h): the first page only.
Result DecodeTiff(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                  int32_t& height, PixelStore* samples16);
