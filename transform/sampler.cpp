#include "transform/sampler.h"

#include <cmath>

#include "transform/lanes.h"

std::array<float, kByteToLevelEntries> ByteToLevel;
std::array<int32_t, kSixteenthToByteEntries> SixteenthToByte;
std::array<const uint8_t*, 4> NeighbourRows;

void BuildSampleTables() {
  // A channel byte is interpolated as its own value: the table is the identity
  // over 0..255 and 0 above.
  ByteToLevel.fill(0.0f);
  for (int i = 1; i <= 255; ++i) ByteToLevel[i] = static_cast<float>(i);

  // Sixteenths to bytes, rounded: entry 16n - 1 is n for n = 1..255.
  SixteenthToByte.fill(0);
  for (int i = 1; i < kSixteenthToByteEntries - 1; ++i) {
    float q = static_cast<float>(i) / 16.0f;
    SixteenthToByte[i] = q > 255.0f ? 255 : q < 0.0f ? 0 : static_cast<int32_t>(std::nearbyint(q + 0.5f));
  }
}

std::array<float, 4> CubicWeights(float t) {
  std::array<float, 4> weights;
  CubicWeightsOf(t, weights.data());
  return weights;
}

void SampleBicubic(uint8_t* destination, float fu, float fv) { SampleBicubicAt(destination, NeighbourRows.data(), fu, fv); }

// The plain form of the sampler, which the vectorised kernels must match bit
// for bit: sums in single precision from 0, taps left to right, rows bottom
// to top.
void SampleBicubicAt(uint8_t* destination, const uint8_t* const rows[4], float fu, float fv) {
  const std::array<float, 4> across = CubicWeights(fu);
  float rowSums[4][3];
  for (int k = 0; k < 4; ++k) {
    const uint8_t* row = rows[k];
    for (int channel = 0; channel < 3; ++channel) {
      float sum = 0.0f;
      for (int j = 0; j < 4; ++j) sum += ByteToLevel[row[4 * j + channel]] * across[j];
      rowSums[k][channel] = sum;
    }
  }
  const std::array<float, 4> down = CubicWeights(fv);
  for (int channel = 0; channel < 3; ++channel) {
    float value = 0.0f;
    for (int k = 0; k < 4; ++k) value += rowSums[k][channel] * down[k];
    // Overshoot at sharp edges is clamped; in range, n comes back from the
    // sixteenths table.
    float n = std::nearbyint(value);
    destination[channel] = n <= 0.0f    ? 0
                           : n >= 256.0f ? 255
                                         : static_cast<uint8_t>(SixteenthToByte[16 * static_cast<int>(n) - 1]);
  }
}

// The plain 16-bit sampler: the steps above on the samples themselves (a
// level is its own value, as ByteToLevel makes it for bytes). Single
// precision holds every sum to well under a level: the samples are below
// 2^16 and the weights' magnitudes add up to less than 2.
void SampleBicubicAt16(uint16_t* destination, const uint16_t* const rows[4], float fu, float fv) {
  const std::array<float, 4> across = CubicWeights(fu);
  float rowSums[4][3];
  for (int k = 0; k < 4; ++k) {
    const uint16_t* row = rows[k];
    for (int channel = 0; channel < 3; ++channel) {
      float sum = 0.0f;
      for (int j = 0; j < 4; ++j) sum += static_cast<float>(row[4 * j + channel]) * across[j];
      rowSums[k][channel] = sum;
    }
  }
  const std::array<float, 4> down = CubicWeights(fv);
  for (int channel = 0; channel < 3; ++channel) {
    float value = 0.0f;
    for (int k = 0; k < 4; ++k) value += rowSums[k][channel] * down[k];
    const float n = std::nearbyint(value);
    destination[channel] = n <= 0.0f ? 0 : n >= 65535.0f ? 65535 : static_cast<uint16_t>(n);
  }
}
