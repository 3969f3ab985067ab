#include "transform/sampler.h"

#include <cmath>

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
  // 1/6 and 1/3 as the design writes them; the weights sum to 1 only to about
  // five digits, which the byte rounding never shows.
  constexpr float a = 0.16667f;
  constexpr float b = 0.33333f;
  return {
      ((-a * t + 0.5f) * t - b) * t,
      ((0.5f * t - 1.0f) * t - 0.5f) * t + 1.0f,
      ((1.0f - t) * t * 0.5f + 1.0f) * t,
      (t * t - 1.0f) * t * a,
  };
}

void SampleBicubic(uint8_t* destination, float fu, float fv) {
  const std::array<float, 4> across = CubicWeights(fu);
  float rowSums[4][3];
  for (int k = 0; k < 4; ++k) {
    const uint8_t* row = NeighbourRows[k];
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
