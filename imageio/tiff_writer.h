#pragma once
#include <cstdint>
#include <vector>

#include "imageio/picture_encoding.h"
#include "transform/pixel_buffer.h"

// The bytes of a TIFF file of `picture` saved in `shape` (the pixels EncodeBmp
// writes): RGB, 8 or 16 bits a sample, Deflate with the horizontal
// predictor, with the options' EXIF, XMP and ICC profile. The program's own
// writer over zlib, so that every system writes the same bytes.
Result EncodeTiff(const PixelBuffer& picture, SaveShape shape, const EncodeOptions& options, std::vector<uint8_t>& file);
Result EncodeTiff16(const PixelBuffer16& picture, SaveShape shape, const EncodeOptions& options,
                    std::vector<uint8_t>& file);
