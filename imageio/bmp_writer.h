#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "imageio/result.h"
#include "transform/pixel_buffer.h"

enum class SaveShape { Square, Rectangle };

// Receives the file's bytes in order; false stops the encoding.
using ByteSink = std::function<bool(std::span<const uint8_t>)>;

// The name the file gets: ".bmp" appended unless the name already ends in it
// (compared without regard to case).
std::string BmpFileName(const std::string& name);

// Bytes of the BMP file for the saved square of `picture` (its middle H x H
// block; the rectangle adds H black columns on the right). One call per
// header and per row.
bool EncodeBmp(const PixelBuffer& picture, SaveShape shape, const ByteSink& sink);
uint64_t BmpFileBytes(int32_t height, SaveShape shape);

// Writes DisplayStore in the shape SaveAsRectangle chooses. `name` becomes the
// name written (BmpFileName). An existing file is replaced only once the new
// one is complete; on failure it is left as it was.
Result WriteBmpFile(std::string& name);

// Writes `picture` to the file `name` as is, with the same care.
Result WriteBmpPicture(const PixelBuffer& picture, SaveShape shape, const std::string& name);
