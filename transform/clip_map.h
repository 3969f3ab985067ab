#pragma once
#include <cstdint>
#include <memory>
#include <optional>

#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"

// Every frame of a clip goes through the same lens (or the same two lenses)
// at the same size: where each panorama pixel samples the frame, and with
// what weights, is worked out once for the clip and then used for each frame.
class ClipMap {
 public:
  // One lens: frames `frameWidth` x `frameHeight` into panoramas of `size`
  // (PanoramaSizeFor's; with programLens the columns outside the square
  // stay black).
  static ClipMap ForLens(const Lens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads);
  // Two lenses side by side into the whole sphere (DualSphereSize's).
  static ClipMap ForDual(const DualLens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads);

  // Writes the panorama of `frame` into the black `panorama`: the bytes
  // TransformPicture (then ClearSideMargins, for the program's own lens) or,
  // for two lenses, StitchDualPicture with `backGains` gives, on `threads`
  // threads. The frame must have the size the map was made for.
  void Apply(const PixelBuffer& frame, const PixelBuffer& panorama, const ChannelGains& backGains,
             int32_t threads) const;

 private:
  std::optional<Lens> lens_;
  std::optional<DualLens> dual_;
  PanoramaSize size_;
  int32_t frameWidth_ = 0;
  int32_t frameHeight_ = 0;
};
