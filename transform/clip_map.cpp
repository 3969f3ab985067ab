#include "transform/clip_map.h"

#include "transform/resample.h"

ClipMap ClipMap::ForLens(const Lens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t /*threads*/) {
  ClipMap map;
  map.lens_ = lens;
  map.size_ = size;
  map.frameWidth_ = frameWidth;
  map.frameHeight_ = frameHeight;
  return map;
}

ClipMap ClipMap::ForDual(const DualLens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t /*threads*/) {
  ClipMap map;
  map.dual_ = lens;
  map.size_ = size;
  map.frameWidth_ = frameWidth;
  map.frameHeight_ = frameHeight;
  return map;
}

void ClipMap::Apply(const PixelBuffer& frame, const PixelBuffer& panorama, const ChannelGains& backGains,
                    int32_t threads) const {
  if (dual_) {
    StitchDualPicture(frame, panorama, *dual_, backGains, threads);
    return;
  }
  TransformPicture(frame, panorama, *lens_, threads);
  if (size_.programLens) ClearSideMargins(panorama);
}
