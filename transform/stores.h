#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "transform/pixel_buffer.h"

// The three process-wide pixel stores (layout: pixel_buffer.h) and their sizes.

inline constexpr int64_t kSourceCapacityPixels = 50'000'000;
inline constexpr int32_t kPanoramaSpareRows = 1;
inline constexpr int32_t kDisplaySpareRows = 100;

// Gives a store's memory back the way AllocatePixels took it.
struct StoreDeleter {
  size_t mappedBytes = 0;  // 0: from calloc
  void operator()(uint8_t* p) const;
};
using PixelStore = std::unique_ptr<uint8_t[], StoreDeleter>;

// Zero-filled memory for `pixelCount` pixels, or null when it cannot be had.
// Large blocks come straight from the system, so untouched pages cost nothing.
PixelStore AllocatePixels(int64_t pixelCount);

// Has the system provide the first `bytes` of a store's memory now, without
// changing what it holds, so that whoever writes it next does not wait for
// it page by page. Safe while another thread writes the same memory; does
// nothing where the system offers no such request.
void PrepareStorePages(uint8_t* base, size_t bytes);

extern PixelStore SourceStore;
extern PixelStore PanoramaStore;
extern PixelStore DisplayStore;
extern uint8_t* SourcePixels;
extern uint8_t* PanoramaPixels;
extern uint8_t* DisplayPixels;

extern int32_t SourceWidth;
extern int32_t SourceHeight;
// The panorama's size in PanoramaStore: the picture's after a load, the
// panorama's own after a Transform that made the stores anew for it.
extern int32_t PanoramaWidth;
extern int32_t PanoramaHeight;
extern int32_t DisplayWidth;
extern int32_t DisplayHeight;
extern int32_t DisplayRowBytes;

// A picture loaded from a file of 16 bits a sample keeps them here
// (PixelBuffer16, SourceWidth x SourceHeight), and Transform makes its
// panorama from them (PanoramaWidth x PanoramaHeight, the columns outside the
// saved square black for the program's own lens), which PNG and TIFF saves
// write; the panorama and display stores hold its 8-bit rounding. Empty for
// an 8-bit picture, and the panorama's until a Transform.
extern PixelStore SourceSamples16;
extern PixelStore PanoramaSamples16;

bool ReserveSourceStore();

PixelBuffer SourceBuffer();
PixelBuffer PanoramaBuffer();
PixelBuffer DisplayBuffer();
PixelBuffer16 SourceBuffer16();    // base null without 16-bit samples
PixelBuffer16 PanoramaBuffer16();  // base null without a 16-bit panorama

// The saved square is the H x H block of a W x H picture that starts at this
// column; negative for a portrait picture, whose missing columns save black.
int32_t SquareLeft(int32_t width, int32_t height);

// One resampling pass.
struct TransformRecord {
  int32_t destWidth = 0;
  int32_t destHeight = 0;
  int32_t destStride = 0;
  uint8_t* destBase = nullptr;
  int32_t srcWidth = 0;
  int32_t srcHeight = 0;
  int32_t srcStride = 0;
  const uint8_t* srcBase = nullptr;
  float scale = 1.0f;
};

enum : int32_t {
  Centred = 0,
  Fisheye = 2,
  Scaled = 4,
  GeneralLens = 6,  // any lens model, field of view, circle and orientation
};

extern TransformRecord CurrentTransform;
extern int32_t ProjectionMode;
