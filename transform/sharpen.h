#pragma once
#include <cstdint>

#include "transform/pixel_buffer.h"

// Weights of the five-point kernel for a given SharpenLevel: the centre byte
// counts `centre` times, each of its four neighbours `neighbour` times.
struct SharpenWeights {
  int16_t centre;
  int16_t neighbour;
};
SharpenWeights SharpenWeightsFor(int32_t level);

// Sharpens `picture` in place with the five-point kernel, blended one part in
// sixteen with the picture as it was, on `threads` threads (0: every core).
// Its outermost rows and columns stay as they are.
void SharpenPicture(const PixelBuffer& picture, SharpenWeights weights, int32_t threads);
// The same on 16-bit samples, clamped to 0..65535.
void SharpenPicture(const PixelBuffer16& picture, SharpenWeights weights, int32_t threads);
