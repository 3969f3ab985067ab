#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"
#include "transform/resample_kernels.h"

// Every frame of a clip goes through the same lens (or the same two lenses)
// at the same size: where each panorama pixel samples the frame, and with
// what weights, is worked out once for the clip and then used for each frame.
class ClipMap {
 public:
  // One lens: frames `frameWidth` x `frameHeight` into panoramas of `size`
  // (PanoramaSizeFor's; with programLens the columns outside the square
  // stay black).
  //
  // With `chroma`, the map of a 4:2:0 video frame's chroma planes instead:
  // frames and panoramas of half the size each way (all sizes even), each
  // chroma pixel sampling where the four luma pixels it covers sample on
  // average, with their mean weight in a blend.
  static ClipMap ForLens(const Lens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads, bool chroma = false);
  // Two lenses side by side into the whole sphere (DualSphereSize's).
  static ClipMap ForDual(const DualLens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads, bool chroma = false);

  // Writes the panorama of `frame` into the black `panorama`: the bytes
  // TransformPicture (then ClearSideMargins, for the program's own lens) or,
  // for two lenses, StitchDualPicture with `backGains` gives, on `threads`
  // threads. The frame must have the size the map was made for.
  void Apply(const PixelBuffer& frame, const PixelBuffer& panorama, const ChannelGains& backGains,
             int32_t threads) const;

  // For planes of one byte a pixel instead (a video frame's, top row first,
  // rows `frameStride` bytes apart): false, and the map unchanged, when the
  // map has no tables or the plane's offsets do not fit in 31 bits.
  bool AddressPlane(ptrdiff_t frameStride);
  // One plane of a frame and its panorama's (top row first, pixels the map
  // leaves alone keeping their bytes), the back lens's bytes under
  // `backGain` (resample_kernels.h).
  struct Plane {
    const uint8_t* frame = nullptr;
    uint8_t* panorama = nullptr;
    PlaneGain backGain;
  };
  // The steps of Apply on `count` such planes (1, or the 2 chroma planes
  // that share a map), after AddressPlane.
  void ApplyPlanes(const Plane* planes, int32_t count, ptrdiff_t panoramaStride, int32_t threads) const;
  // The size of the frames and panoramas the map was made for.
  int32_t FrameWidth() const { return frameWidth_; }
  int32_t FrameHeight() const { return frameHeight_; }
  const PanoramaSize& Size() const { return size_; }
  // AddressPlane's stride (0 before).
  ptrdiff_t PlaneStride() const { return planeStride_; }

 private:
  // A run of consecutive pixels of one row that all take the same step.
  struct Segment {
    int32_t x = 0;
    int32_t count = 0;
    int32_t kind = 0;    // SegmentKind (clip_map.cpp)
    int32_t entry = 0;   // the first pixel's entry; a blend's back entries follow its front's
    int32_t weight = 0;  // a blend's first front weight
  };

  std::optional<Lens> lens_;
  std::optional<DualLens> dual_;
  PanoramaSize size_;
  int32_t frameWidth_ = 0;
  int32_t frameHeight_ = 0;
  // Without tables (a frame too large for 32-bit offsets) every frame goes
  // through the picture's own pass.
  bool tabled_ = false;
  ptrdiff_t planeStride_ = 0;  // after AddressPlane
  // Per entry: where it samples the frame (PlacedSample's taps, in 32 bits)
  // and its fractions; padded so that a vector may be read past the last.
  std::vector<int32_t> taps_;
  std::vector<float> across_;
  std::vector<float> down_;
  std::vector<float> weights_;
  std::vector<uint32_t> fractions_;  // after AddressPlane (PackFractions'), instead of across_ and down_
  std::vector<Segment> segments_;
  std::vector<int32_t> rowSegments_;  // row y's are [rowSegments_[y], rowSegments_[y + 1])

  struct Row;
  using PlaceRowFunction = std::function<void(int32_t y, Row& row)>;
  void Tabulate(int32_t threads, const PlaceRowFunction& placeRow);
  // The map of the chroma planes from the rows placed for luma (see ForLens).
  static ClipMap Chroma(ClipMap luma, int32_t threads, const PlaceRowFunction& placeLumaRow);
};
