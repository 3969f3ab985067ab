#pragma once
#include <cstdint>
#include <span>

#include "imageio/result.h"
#include "transform/stores.h"

// PNG and TIFF decoding through the Windows Imaging Component, as
// DecodePicture describes it (decode_picture.h): the first frame.
Result DecodeWithWic(std::span<const uint8_t> bytes, uint8_t* destination, int64_t capacityPixels, int32_t& width,
                     int32_t& height, PixelStore* samples16);
