#pragma once
// The stitch's two passes set up for callers that drive them a row at a time
// (the stitch itself, its exposure match and a clip's map), and the steps
// that lay the back lens over the front, so that each is written once.
#include <algorithm>
#include <cstdint>

#include "transform/dual_lens.h"
#include "transform/lens_plan.h"

// Both lenses' passes into a sphere of one size, and where each is needed.
struct DualPasses {
  LensPlan front;
  LensPlan back;
  double seamAxis[3] = {};  // front axis less back axis, in the world
  float seamHalfWidth = 0;  // in cosines: cos(front angle) - cos(back angle)
  float inverseBand = 0;    // 0.5 / seamHalfWidth
  int32_t width = 0;
  int32_t height = 0;
};

// The passes of `source` (a plan made only for its positions may have no
// pixels: base null) into a sphere `width` x `height`.
void PlanDual(DualPasses& passes, const PixelBuffer& source, int32_t width, int32_t height, const DualLens& lens);

// The columns of sphere row y where the front's (or the back's) weight is
// above 0, a few to spare, in vector-aligned spans (see ColumnSpan). Gives
// the count, at most 2.
int32_t LensSpans(const DualPasses& passes, bool back, int32_t y, ColumnSpan spans[2]);

// The bytes a back-lens byte turns into under the gain of its channel.
struct GainTables {
  uint8_t table[3][256];

  explicit GainTables(const ChannelGains& gains);
};

// The front's weight where both lenses see a pixel, from each one's cosine
// off its axis: cos(front angle) - cos(back angle) runs from -seam to +seam
// across the band, and the weight follows a smooth step from 0 to 1.
inline float FrontWeight(const DualPasses& passes, float frontAxial, float backAxial) {
  const float t = std::clamp((frontAxial - backAxial + passes.seamHalfWidth) * passes.inverseBand, 0.0f, 1.0f);
  return t * t * (3.0f - 2.0f * t);
}

// A channel of the front's sample and the back's (gain applied) blended.
// Weight 1 gives the front's byte and 0 the back's, exactly.
inline uint8_t Blended(uint8_t front, uint8_t back, float weight) {
  const float value = front * weight + back * (1.0f - weight);
  return static_cast<uint8_t>(value + 0.5f);
}
