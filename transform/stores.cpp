#include "transform/stores.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

PixelStore SourceStore;
PixelStore PanoramaStore;
PixelStore DisplayStore;
uint8_t* SourcePixels = nullptr;
uint8_t* PanoramaPixels = nullptr;
uint8_t* DisplayPixels = nullptr;

int32_t SourceWidth = 0;
int32_t SourceHeight = 0;
int32_t PanoramaWidth = 0;
int32_t PanoramaHeight = 0;
int32_t DisplayWidth = 0;
int32_t DisplayHeight = 0;
int32_t DisplayRowBytes = 0;

TransformRecord CurrentTransform;
int32_t ProjectionMode = Centred;

#if defined(__linux__)
namespace {

// Stores are filled once, right after they are made, and a 48 MB store written
// for the first time page by page cost as much as the whole transform: in 2 MB
// pages (which the system hands out only for aligned blocks it is asked to)
// the first write costs a few milliseconds. Untouched parts still cost nothing.
constexpr size_t kLargePageBytes = size_t{2} << 20;

uint8_t* MapLargePages(size_t bytes, size_t& mappedBytes) {
  const size_t rounded = (bytes + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes;
  void* area = mmap(nullptr, rounded + kLargePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  // Keep the aligned middle, give back what lies before and after it.
  const uintptr_t start = reinterpret_cast<uintptr_t>(area);
  const uintptr_t aligned = (start + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes;
  if (aligned > start) munmap(area, aligned - start);
  const size_t tail = start + rounded + kLargePageBytes - (aligned + rounded);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + rounded), tail);
  madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);  // a hint; fine if refused
  mappedBytes = rounded;
  return reinterpret_cast<uint8_t*>(aligned);
}

}  // namespace
#endif

void StoreDeleter::operator()(uint8_t* p) const {
#if defined(__linux__)
  if (mappedBytes > 0) {
    munmap(p, mappedBytes);
    return;
  }
#endif
  std::free(p);
}

PixelStore AllocatePixels(int64_t pixelCount) {
  if (pixelCount < 0 || pixelCount > INT64_MAX / kBytesPerPixel) return nullptr;
  size_t bytes = static_cast<size_t>(pixelCount) * kBytesPerPixel;
#if defined(__linux__)
  if (bytes >= kLargePageBytes) {
    size_t mappedBytes = 0;
    uint8_t* pixels = MapLargePages(bytes, mappedBytes);
    return pixels == nullptr ? nullptr : PixelStore(pixels, StoreDeleter{mappedBytes});
  }
#endif
  // calloc leaves fresh pages from the system untouched, so a store is cheap
  // until it is written; a zero count still yields a distinct pointer.
  return PixelStore(static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1)));
}

void PrepareStorePages(uint8_t* base, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  const uintptr_t pageBytes = 4096;
  const uintptr_t start = reinterpret_cast<uintptr_t>(base) / pageBytes * pageBytes;
  const uintptr_t end = reinterpret_cast<uintptr_t>(base) + bytes;
  if (bytes > 0) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);  // a request only
#else
  (void)base;
  (void)bytes;
#endif
}

PixelBuffer SourceBuffer() { return {SourcePixels, SourceWidth, SourceHeight}; }
PixelBuffer PanoramaBuffer() { return {PanoramaPixels, PanoramaWidth, PanoramaHeight}; }
PixelBuffer DisplayBuffer() { return {DisplayPixels, DisplayWidth, DisplayHeight}; }

PixelStore SourceSamples16;
PixelStore PanoramaSamples16;

PixelBuffer16 SourceBuffer16() {
  if (!SourceSamples16) return {};
  return {reinterpret_cast<uint16_t*>(SourceSamples16.get()), SourceWidth, SourceHeight};
}

PixelBuffer16 PanoramaBuffer16() {
  if (!PanoramaSamples16) return {};
  return {reinterpret_cast<uint16_t*>(PanoramaSamples16.get()), PanoramaWidth, PanoramaHeight};
}

int32_t SquareLeft(int32_t width, int32_t height) {
  // Rounded down, also when negative: a 5 x 3 picture starts at 1, a 2 x 5 at -2.
  int32_t excess = width - height;
  return excess >= 0 ? excess / 2 : -((-excess + 1) / 2);
}
