#pragma once
#include <cstdint>
#include <string>

#include "imageio/picture_encoding.h"
#include "imageio/result.h"
#include "transform/pixel_buffer.h"

// The name the file gets: ".bmp" appended unless the name already ends in it
// (compared without regard to case).
std::string BmpFileName(const std::string& name);

// Bytes of the BMP file for `picture` in `shape`. One call per header and per
// row.
bool EncodeBmp(const PixelBuffer& picture, SaveShape shape, const ByteSink& sink);
uint64_t BmpFileBytes(int32_t height, SaveShape shape);

// Writes the BMP file of `picture` in `shape` to the file `name`. An existing
// file is replaced only once the new one is complete; on failure it is left
// as it was.
Result WriteBmpPicture(const PixelBuffer& picture, SaveShape shape, const std::string& name);
