#pragma once
#include <cstdint>

// Weights of the five-point kernel for a given SharpenLevel: the centre byte
// counts `centre` times, each of its four neighbours `neighbour` times.
struct SharpenWeights {
  int16_t centre;
  int16_t neighbour;
};
SharpenWeights SharpenWeightsFor(int32_t level);

// Sharpens DisplayStore in place with the strength SharpenLevel gives.
void SharpenDisplay();
