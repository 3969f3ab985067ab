#include "transform/sharpen.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "transform/stores.h"

SharpenWeights SharpenWeightsFor(int32_t level) {
  // Every use of Save and Sharpen lowers the level by 32. From 127 down to 0
  // this gives k = 32 - level / 4 (stronger each time); below 0 the level is
  // shifted as an unsigned number, so the fourth use (-1) drops back to k =
  // 0x30000008, whose low 16 bits give C = 33, N = -8, and use n >= 4 gets
  // C = 8n + 1, N = -2n. Users know this sequence; it is kept exactly.
  uint32_t q = static_cast<uint32_t>(level) >> 2;
  uint32_t t = 64u - q;
  uint32_t k = static_cast<int32_t>(t) < 32 ? (t - 32u) >> 2 : t - 32u;
  return {static_cast<int16_t>(static_cast<uint16_t>(4u * k + 1u)),
          static_cast<int16_t>(static_cast<uint16_t>(0u - k))};
}

void SharpenDisplay() {
  const int32_t width = DisplayWidth;
  const int32_t height = DisplayHeight;
  // The outermost rows and columns have no full cross of neighbours and stay
  // as they are; so does a picture too small to have an inside.
  if (DisplayPixels == nullptr || width < 3 || height < 3) return;

  const SharpenWeights weights = SharpenWeightsFor(SharpenLevel);
  const int32_t centre = weights.centre;
  const int32_t neighbour = weights.neighbour;
  const size_t rowBytes = static_cast<size_t>(DisplayRowBytes);

  // The pass reads the picture as it was before: keep the unfiltered row
  // above (already overwritten in place) and the current row.
  std::vector<uint8_t> below(rowBytes);
  std::vector<uint8_t> current(rowBytes);
  std::memcpy(below.data(), DisplayPixels, rowBytes);
  for (int32_t y = 1; y < height - 1; ++y) {
    uint8_t* row = DisplayPixels + static_cast<size_t>(y) * rowBytes;
    const uint8_t* above = row + rowBytes;  // not yet written
    std::memcpy(current.data(), row, rowBytes);
    for (size_t i = 4; i < rowBytes - 4; ++i) {
      // Every byte alike, the unused fourth one too. Sums in 32 bits, then
      // the result clamped to a byte and blended 1:15 with the original.
      int32_t c = current[i];
      int32_t sum = c * centre + (below[i] + above[i] + current[i - 4] + current[i + 4]) * neighbour;
      int32_t sharpened = std::clamp(sum, 0, 255);
      row[i] = static_cast<uint8_t>((sharpened + 15 * c) >> 4);
    }
    std::swap(below, current);
  }
}
