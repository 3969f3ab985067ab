// The image-circle finder on a 12-megapixel circular fisheye picture, to set
// beside BM_RunTransform at the same size (the finder should take at most a
// fifth of its time).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transform/circle_finder.h"

namespace {

// A disc of radius 1500 in the middle of 4000 x 3000, its rim anti-aliased,
// filled with 32-pixel blocks of noise over a slope; the surround is black.
const std::vector<uint8_t>& FisheyePicture(int32_t width, int32_t height) {
  static std::vector<uint8_t> pixels;
  if (!pixels.empty()) return pixels;
  pixels.assign(4 * size_t(width) * height, 0);
  const double cx = width / 2.0 - 0.5, cy = height / 2.0 - 0.5, radius = 1500.0;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = pixels.data() + 4 * size_t(height - 1 - y) * width;
    for (int32_t x = 0; x < width; ++x) {
      const double d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
      double coverage = d < radius ? 1.0 : 0.0;
      if (d >= radius - 1 && d <= radius + 1) {
        int inside = 0;
        for (int i = 0; i < 8; ++i) {
          for (int j = 0; j < 8; ++j) {
            const double px = x - 0.5 + (i + 0.5) / 8 - cx, py = y - 0.5 + (j + 0.5) / 8 - cy;
            inside += px * px + py * py < radius * radius;
          }
        }
        coverage = inside / 64.0;
      }
      uint32_t h = uint32_t(x / 32) * 0x9E3779B1u ^ uint32_t(y / 32) * 0x85EBCA77u;
      h ^= h >> 15;
      h *= 0x2C1B3C6Du;
      h ^= h >> 12;
      for (int c = 0; c < 3; ++c) {
        const double lit = 60 + ((h >> (8 * c)) & 0x7F) + 40.0 * x / width;
        row[4 * x + c] = static_cast<uint8_t>(coverage * lit + 0.5);
      }
    }
  }
  return pixels;
}

void BM_FindImageCircle(benchmark::State& state) {
  const int32_t width = 4000, height = 3000;
  const PixelBuffer picture{const_cast<uint8_t*>(FisheyePicture(width, height).data()), width, height};
  for (auto _ : state) {
    ImageCircle circle;
    const Result result = FindImageCircle(picture, circle);
    if (!result.ok()) {
      state.SkipWithError(result.reason().c_str());
      break;
    }
    benchmark::DoNotOptimize(circle);
  }
  state.SetLabel("4000x3000");
}
BENCHMARK(BM_FindImageCircle)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
