// Microbenchmarks of the engine's parts at three picture sizes: 2, 12 and 50
// megapixels (the largest picture the program loads). Each works on the
// process-wide stores, set up as a load of a noise picture would leave them.
//
//   build/bench/engine_bench [--benchmark_filter=...]
//
// tools/run-benchmarks runs them all; tools/bench-peers compares the whole
// converter with other programs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "imageio/bmp_writer.h"
#include "transform/lanes.h"
#include "transform/parallel_rows.h"
#include "transform/projection.h"
#include "transform/resample.h"
#include "transform/resample_kernels.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

namespace {

struct PictureSize {
  int32_t width;
  int32_t height;
};
// 4:3 pictures of 2, 12 and 50 megapixels.
constexpr PictureSize kSizes[] = {{1633, 1225}, {4000, 3000}, {8660, 5773}};

// Makes a picture of this size the loaded one, unless it already is.
void Install(PictureSize size) {
  static bool reserved = ReserveSourceStore();
  if (!reserved) std::abort();
  if (SourceWidth == size.width && SourceHeight == size.height) return;
  // xorshift noise: every byte differs, nothing the sampler could shortcut.
  uint32_t state = 2463534242u;
  const size_t pixels = static_cast<size_t>(size.width) * size.height;
  for (size_t i = 0; i < pixels; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::memcpy(SourcePixels + 4 * i, &state, 3);
    SourcePixels[4 * i + 3] = 0;
  }
  SourceWidth = DisplayWidth = size.width;
  SourceHeight = DisplayHeight = size.height;
  DisplayRowBytes = 4 * size.width;
  SetupProjection(size.height);
  PanoramaStore = AllocatePixels(int64_t{size.width} * (size.height + kPanoramaSpareRows));
  DisplayStore = AllocatePixels(int64_t{size.width} * (size.height + kDisplaySpareRows));
  PanoramaPixels = PanoramaStore.get();
  DisplayPixels = DisplayStore.get();
  std::memcpy(DisplayPixels, SourcePixels, 4 * pixels);
  // Touch the panorama once, so that no benchmark pays for its first pages.
  std::memset(PanoramaPixels, 0, 4 * pixels);
}

void SetPixelCounter(benchmark::State& state, PictureSize size) {
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(size.width) * size.height / 1e6,
                                               benchmark::Counter::kIsIterationInvariantRate);
}

std::string SizeLabel(PictureSize size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The lens model alone: every pixel's source position, four at a time with
// the SSE2 arithmetic, from the tabulated sines and cosines. (The transform
// itself works out only the left half of each row and mirrors it.)
void BM_Projection(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  SetupProjection(size.height);
  const float centreX = size.width / 2.0f - 0.5f;
  const float centreY = size.height / 2.0f - 0.5f;
  std::vector<float> sinAzimuth(size.width + 4), cosAzimuth(size.width + 4);
  for (int32_t x = 0; x < size.width; ++x) {
    sinAzimuth[x] = SinOf(AzimuthOf(x - centreX));
    cosAzimuth[x] = CosOf(AzimuthOf(x - centreX));
  }
  const Float4 scaleU = Splat(Float4{}, FisheyeScaleU);
  const Float4 scaleV = Splat(Float4{}, FisheyeScaleV);
  for (auto _ : state) {
    Float4 total = Splat(Float4{}, 0.0f);
    for (int32_t y = 0; y < size.height; ++y) {
      const float polar = PolarAngleOf(y - centreY);
      const Float4 sinPolar = Splat(Float4{}, SinOf(polar));
      const Float4 cosPolar = Splat(Float4{}, CosOf(polar));
      for (int32_t x = 0; x < size.width; x += 4) {
        Float4 u, v;
        ProjectFromAngles(Load(Float4{}, &sinAzimuth[x]), Load(Float4{}, &cosAzimuth[x]), sinPolar, cosPolar, scaleU,
                          scaleV, u, v);
        total = total + u + v;
      }
    }
    benchmark::DoNotOptimize(total.v);
  }
  state.SetLabel(SizeLabel(size) + ", one thread");
  SetPixelCounter(state, size);
}

// Forces the kernel path the benchmark's arguments name; false (and the
// benchmark skipped) where this processor cannot run it.
bool ForceKernelPath(benchmark::State& state, KernelPath path) {
  if (UseKernelPath(path)) return true;
  state.SkipWithError("this processor cannot run that path");
  return false;
}

// The sampler alone: a pass whose mapping is a plain scaling, so nearly all
// the time goes into the 4 x 4 cubic sums.
void BM_Sampler(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Install(size);
  const KernelPath path = static_cast<KernelPath>(state.range(1));
  if (!ForceKernelPath(state, path)) return;
  TransformRecord record{size.width,          size.height,  4 * size.width, PanoramaPixels,
                         size.width,          size.height,  4 * size.width, SourcePixels,
                         0.999f};
  ProjectionMode = Scaled;
  for (auto _ : state) ResampleImage(record);
  ProjectionMode = Centred;
  UseKernelPath(KernelPath::Automatic);
  state.SetLabel(SizeLabel(size) + ", " + KernelPathName(path) + ", " + std::to_string(TransformThreadCount()) +
                 " threads");
  SetPixelCounter(state, size);
}

// The Transform command: projection, sampling, copy to the display, margins.
void BM_RunTransform(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Install(size);
  const KernelPath path = static_cast<KernelPath>(state.range(1));
  if (!ForceKernelPath(state, path)) return;
  TransformThreads = static_cast<int32_t>(state.range(2));
  for (auto _ : state) RunTransform();
  state.SetLabel(SizeLabel(size) + ", " + KernelPathName(ActiveKernelPath()) + ", " +
                 std::to_string(TransformThreadCount()) + " threads");
  UseKernelPath(KernelPath::Automatic);
  TransformThreads = 0;
  SetPixelCounter(state, size);
}

// Save and Sharpen's pass over the display.
void BM_Sharpen(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Install(size);
  for (auto _ : state) {
    SharpenLevel = 95;  // the first use after a load
    SharpenDisplay();
  }
  state.SetLabel(SizeLabel(size));
  SetPixelCounter(state, size);
}

// The BMP encoder writing the saved square into memory: the program's part of
// a save, without the disk's.
void BM_BmpWriting(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Install(size);
  std::vector<uint8_t> file(BmpFileBytes(size.height, SaveShape::Square));
  for (auto _ : state) {
    size_t used = 0;
    const bool ok = EncodeBmp(DisplayBuffer(), SaveShape::Square, [&](std::span<const uint8_t> bytes) {
      std::memcpy(file.data() + used, bytes.data(), bytes.size());
      used += bytes.size();
      return true;
    });
    benchmark::DoNotOptimize(ok);
  }
  state.SetLabel(SizeLabel(size) + ", square, to memory");
  SetPixelCounter(state, size);
}

// The whole save as the program does it: WriteBmpPicture to a new file in
// the system's temporary folder (through the page cache; a file that
// replaces another also waits for the disk).
void BM_BmpFileWriting(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Install(size);
  const std::filesystem::path name = std::filesystem::temp_directory_path() / "quorvane-bench.bmp";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(name);
    state.ResumeTiming();
    const Result saved = WriteBmpPicture(DisplayBuffer(), SaveShape::Square, name.string());
    if (!saved.ok()) state.SkipWithError(saved.reason().c_str());
  }
  std::filesystem::remove(name);
  state.SetLabel(SizeLabel(size) + ", square, new file");
  SetPixelCounter(state, size);
}

constexpr int64_t kPlain = static_cast<int64_t>(KernelPath::Plain);
constexpr int64_t kSse2 = static_cast<int64_t>(KernelPath::Sse2);
constexpr int64_t kAvx2 = static_cast<int64_t>(KernelPath::Avx2);
constexpr int64_t kAutomatic = static_cast<int64_t>(KernelPath::Automatic);

BENCHMARK(BM_Projection)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sampler)->ArgsProduct({{0, 1, 2}, {kSse2, kAvx2}})->Unit(benchmark::kMillisecond)->UseRealTime();
// Each instruction-set path at every size on every core; at 12 megapixels
// also the path the program picks (which tools/bench-peers reads), one
// thread, and the plain loop.
BENCHMARK(BM_RunTransform)
    ->ArgsProduct({{0, 1, 2}, {kSse2, kAvx2}, {0}})
    ->Args({1, kAutomatic, 0})
    ->Args({1, kAutomatic, 1})
    ->Args({1, kPlain, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Sharpen)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpWriting)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpFileWriting)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
