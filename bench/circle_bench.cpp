// The image-circle finder on a 12-megapixel circular fisheye picture, to set
// beside BM_Transform at the same size (the finder should take at most a
// fifth of its time).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transform/circle_finder.h"

namespace {

constexpr int32_t kWidth = 4000, kHeight = 3000;

// A disc in the middle of 4000 x 3000, its rim anti-aliased, filled with
// 32-pixel blocks of noise over a slope; the surround is black. The easy
// picture: radius 1500, lit to its rim. The hard one, as real photographs
// are: radius 1650 (the frame cuts it at the top and bottom), the light
// falling to a quarter at the rim, the scene as dark as the surround along a
// third of the rim (from the top right round to the bottom), and sensor noise
// of 3 levels.
std::vector<uint8_t> FisheyePicture(bool hard) {
  std::vector<uint8_t> pixels(4 * size_t(kWidth) * kHeight, 0);
  const double cx = kWidth / 2.0 - 0.5, cy = kHeight / 2.0 - 0.5, radius = hard ? 1650.0 : 1500.0;
  uint32_t noise = 2463534242u;
  for (int32_t y = 0; y < kHeight; ++y) {
    uint8_t* row = pixels.data() + 4 * size_t(kHeight - 1 - y) * kWidth;
    for (int32_t x = 0; x < kWidth; ++x) {
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
      if (hard) {
        coverage *= 1.0 - 0.75 * std::min(1.0, d * d / (radius * radius));
        // The dark third: right of the centre and below the line from the
        // centre to the top right.
        if (x > cx && (y - cy) > -(x - cx) * 0.6 && d > 0.8 * radius) coverage = 0.0;
      }
      uint32_t h = uint32_t(x / 32) * 0x9E3779B1u ^ uint32_t(y / 32) * 0x85EBCA77u;
      h ^= h >> 15;
      h *= 0x2C1B3C6Du;
      h ^= h >> 12;
      for (int c = 0; c < 3; ++c) {
        const double lit = 60 + ((h >> (8 * c)) & 0x7F) + 40.0 * x / kWidth;
        double value = coverage * lit;
        if (hard) {
          noise ^= noise << 13;
          noise ^= noise >> 17;
          noise ^= noise << 5;
          value += 3.0 * std::sqrt(12.0) * (noise / 4294967296.0 - 0.5);
        }
        row[4 * x + c] = static_cast<uint8_t>(std::clamp(value + 0.5, 0.0, 255.0));
      }
    }
  }
  return pixels;
}

// Argument 0: the easy picture; 1: the hard one.
void BM_FindImageCircle(benchmark::State& state) {
  static std::vector<uint8_t> pictures[2];
  const bool hard = state.range(0) != 0;
  std::vector<uint8_t>& pixels = pictures[hard];
  if (pixels.empty()) pixels = FisheyePicture(hard);
  const PixelBuffer picture{pixels.data(), kWidth, kHeight};
  for (auto _ : state) {
    ImageCircle circle;
    const Result result = FindImageCircle(picture, circle);
    if (!result.ok()) {
      state.SkipWithError(result.reason().c_str());
      break;
    }
    benchmark::DoNotOptimize(circle);
  }
  state.SetLabel(hard ? "4000x3000, clipped, vignetted, a dark third, noise" : "4000x3000");
}
BENCHMARK(BM_FindImageCircle)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
