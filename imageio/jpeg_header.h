#pragma once
#include <cstdint>
#include <span>

// The picture size a JPEG file's frame header declares, found without decoding
// anything; false when no frame header comes before the first scan.
bool DeclaredJpegSize(std::span<const uint8_t> bytes, int64_t& width, int64_t& height);
