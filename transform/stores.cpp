#include "transform/stores.h"

PixelStore SourceStore;
PixelStore PanoramaStore;
PixelStore DisplayStore;
uint8_t* SourcePixels = nullptr;
uint8_t* PanoramaPixels = nullptr;
uint8_t* DisplayPixels = nullptr;

int32_t SourceWidth = 0;
int32_t SourceHeight = 0;
int32_t DisplayWidth = 0;
int32_t DisplayHeight = 0;
int32_t DisplayRowBytes = 0;

TransformRecord CurrentTransform;
int32_t ProjectionMode = Centred;

PixelStore AllocatePixels(int64_t pixelCount) {
  if (pixelCount < 0 || pixelCount > INT64_MAX / kBytesPerPixel) return nullptr;
  // calloc leaves fresh pages from the system untouched, so a store is cheap
  // until it is written; a zero count still yields a distinct pointer.
  size_t bytes = static_cast<size_t>(pixelCount) * kBytesPerPixel;
  return PixelStore(static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1)));
}

bool ReserveSourceStore() {
  SourceStore = AllocatePixels(kSourceCapacityPixels);
  SourcePixels = SourceStore.get();
  return SourcePixels != nullptr;
}

PixelBuffer SourceBuffer() { return {SourcePixels, SourceWidth, SourceHeight}; }
PixelBuffer PanoramaBuffer() { return {PanoramaPixels, SourceWidth, SourceHeight}; }
PixelBuffer DisplayBuffer() { return {DisplayPixels, DisplayWidth, DisplayHeight}; }

int32_t SquareLeft(int32_t width, int32_t height) {
  // Rounded down, also when negative: a 5 x 3 picture starts at 1, a 2 x 5 at -2.
  int32_t excess = width - height;
  return excess >= 0 ? excess / 2 : -((-excess + 1) / 2);
}
