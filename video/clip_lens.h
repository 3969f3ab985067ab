#pragma once
#include <cstdint>
#include <string>

#include "imageio/result.h"
#include "transform/dual_lens.h"

// A two-lens clip's circles and alignment, worked out once and held for every
// frame so that the seam never wanders: from kClipSampleFrames frames spread
// over the clip's first kClipSampleSeconds seconds.
inline constexpr int32_t kClipSampleFrames = 8;
inline constexpr double kClipSampleSeconds = 10.0;

struct ClipLensSearch {
  bool findCircles = false;  // each lens's circle: the median of the frames'
  bool align = false;        // the back lens's offset (AlignLenses on each frame; of those, the
                             // one that disagrees least over all of them: LeastDisagreement)
  bool fitLenses = false;    // and each lens's own size
  bool aroundStart = false;  // search around `lens.back`
};

// Opens `path` again and fills `lens` in from its sample frames. A frame on
// which a circle or the alignment fails is left out; the clip fails when
// every frame does, with the last frame's reason.
Result FindClipLens(const std::string& path, const ClipLensSearch& search, int32_t threads, DualLens& lens);
