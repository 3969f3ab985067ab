// Microbenchmarks of the engine's parts at three picture sizes: 2, 12 and 50
// megapixels (the largest picture the program loads), on a noise picture and
// a panorama of its size, as the converter holds them.
//
//   build/bench/engine_bench [--benchmark_filter=...]
//
// tools/run-benchmarks runs them all; tools/bench-peers compares the whole
// converter with other programs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "imageio/bmp_writer.h"
#include "transform/calibrated_lens.h"
#include "transform/lanes.h"
#include "transform/lens.h"
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

// A noise picture of this size and a black panorama store of its size,
// made once for every benchmark that asks for that size.
struct Pictures {
  PixelStore source;
  PixelStore panorama;
  PictureSize size{};

  PixelBuffer Source() const { return {source.get(), size.width, size.height}; }
  PixelBuffer Panorama() const { return {panorama.get(), size.width, size.height}; }
};

const Pictures& PicturesOf(PictureSize size) {
  static Pictures pictures;
  if (pictures.size.width == size.width && pictures.size.height == size.height) return pictures;
  pictures = {};
  const size_t pixels = static_cast<size_t>(size.width) * size.height;
  // Room for a sphere of the picture's height, too.
  pictures.source = AllocatePixels(static_cast<int64_t>(pixels));
  pictures.panorama = AllocatePixels(std::max<int64_t>(pixels, 2 * int64_t{size.height} * size.height));
  if (!pictures.source || !pictures.panorama) std::abort();
  pictures.size = size;
  // xorshift noise: every byte differs, nothing the sampler could shortcut.
  uint32_t state = 2463534242u;
  uint8_t* source = pictures.source.get();
  for (size_t i = 0; i < pixels; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::memcpy(source + 4 * i, &state, 3);
    source[4 * i + 3] = 0;
  }
  // Touch the panorama once, so that no benchmark pays for its first pages.
  std::memset(pictures.panorama.get(), 0, 4 * std::max<size_t>(pixels, 2 * size_t(size.height) * size.height));
  return pictures;
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
  const Pictures& pictures = PicturesOf(size);
  const KernelPath path = static_cast<KernelPath>(state.range(1));
  if (!ForceKernelPath(state, path)) return;
  TransformRecord record{size.width,          size.height,  4 * size.width, pictures.panorama.get(),
                         size.width,          size.height,  4 * size.width, pictures.source.get(),
                         0.999f};
  ProjectionMode = Scaled;
  for (auto _ : state) ResampleImage(record);
  ProjectionMode = Centred;
  UseKernelPath(KernelPath::Automatic);
  state.SetLabel(SizeLabel(size) + ", " + KernelPathName(path) + ", " + std::to_string(ThreadCountFor(0)) +
                 " threads");
  SetPixelCounter(state, size);
}

// The transform through the program's own lens, as the converter runs it:
// projection and sampling into a panorama of the picture's size.
void BM_Transform(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  const Pictures& pictures = PicturesOf(size);
  const KernelPath path = static_cast<KernelPath>(state.range(1));
  if (!ForceKernelPath(state, path)) return;
  const int32_t threads = static_cast<int32_t>(state.range(2));
  for (auto _ : state) TransformPicture(pictures.Source(), pictures.Panorama(), Lens{}, threads);
  state.SetLabel(SizeLabel(size) + ", " + KernelPathName(ActiveKernelPath()) + ", " +
                 std::to_string(ThreadCountFor(threads)) + " threads");
  UseKernelPath(KernelPath::Automatic);
  SetPixelCounter(state, size);
}

// The same picture in 16 bits: the 8-bit noise widened (each byte times 257,
// plus noise in the low byte), through the same lens into a 16-bit panorama.
// Beside BM_Transform with the same arguments.
struct Pictures16 {
  std::vector<uint16_t> source;
  std::vector<uint16_t> panorama;
  PictureSize size{};
};

const Pictures16& Pictures16Of(PictureSize size) {
  static Pictures16 pictures;
  if (pictures.size.width == size.width && pictures.size.height == size.height) return pictures;
  pictures = {};
  const Pictures& bytes = PicturesOf(size);
  const size_t samples = 4 * static_cast<size_t>(size.width) * size.height;
  pictures.source.resize(samples);
  pictures.panorama.assign(samples, 0);
  for (size_t i = 0; i < samples; ++i)
    pictures.source[i] = i % 4 == 3 ? 0 : static_cast<uint16_t>(bytes.source.get()[i] * 256 + (i * 37 & 0xFF));
  pictures.size = size;
  return pictures;
}

void BM_Transform16(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  Pictures16& pictures = const_cast<Pictures16&>(Pictures16Of(size));
  const KernelPath path = static_cast<KernelPath>(state.range(1));
  if (!ForceKernelPath(state, path)) return;
  const int32_t threads = static_cast<int32_t>(state.range(2));
  const PixelBuffer16 source{pictures.source.data(), size.width, size.height};
  const PixelBuffer16 panorama{pictures.panorama.data(), size.width, size.height};
  for (auto _ : state) TransformPicture(source, panorama, Lens{}, threads);
  state.SetLabel(SizeLabel(size) + ", 16 bits, " + KernelPathName(ActiveKernelPath()) + ", " +
                 std::to_string(ThreadCountFor(threads)) + " threads");
  UseKernelPath(KernelPath::Automatic);
  SetPixelCounter(state, size);
}

// Each lens model at 12 megapixels against the program's own lens, into a
// panorama of the same size (the picture's width and height): level, pitched
// (which keeps the left-right mirror image) and yawed and rolled (which does
// not). Arguments: model, pitch, yaw and roll in degrees.
void BM_LensTransform(benchmark::State& state) {
  const PictureSize size = kSizes[1];
  const Pictures& pictures = PicturesOf(size);
  Lens lens;
  lens.model = static_cast<LensModel>(state.range(0));
  lens.fovDegrees = DefaultFovDegrees(lens.model);
  // Not the program's own circle, so that every model takes the general path.
  lens.circle = ImageCircle{(size.width - 1) / 2.0, (size.height - 1) / 2.0, size.height / 2.0 - 0.25};
  lens.pitchDegrees = static_cast<double>(state.range(1));
  lens.yawDegrees = static_cast<double>(state.range(2));
  lens.rollDegrees = static_cast<double>(state.range(3));
  for (auto _ : state) TransformPicture(pictures.Source(), pictures.Panorama(), lens, 0);
  state.SetLabel(SizeLabel(size) + ", " + LensModelName(lens.model) + ", pitch " + std::to_string(state.range(1)) +
                 ", yaw " + std::to_string(state.range(2)) + ", roll " + std::to_string(state.range(3)));
  SetPixelCounter(state, size);
}

// A calibrated lens at 12 megapixels, beside BM_LensTransform's equidistant
// lens of the same field and circle (198 degrees across the picture's
// height, which the calibration's own field is limited to, as --circle
// does): a Hugin line (264 degrees across the width, its polynomial, shift
// and shear) and an OpenCV fisheye calibration (unequal focal lengths,
// skew, k1..k4). Arguments: which, then the pitch.
void BM_CalibratedTransform(benchmark::State& state) {
  const PictureSize size = kSizes[1];
  const Pictures& pictures = PicturesOf(size);
  LensCalibration calibration;
  if (state.range(0) == 0) {
    calibration.kind = LensCalibration::Kind::Hugin;
    calibration.fovDegrees = 264;
    calibration.a = 0.01;
    calibration.b = -0.04;
    calibration.c = 0.02;
    calibration.shiftX = 6;
    calibration.shiftY = -4;
    calibration.shearX = 1.5;
  } else {
    calibration.kind = LensCalibration::Kind::KannalaBrandt;
    calibration.fx = size.height / 2.0 / (99.0 * 3.14159265358979 / 180.0);
    calibration.fy = calibration.fx * 0.995;
    calibration.cx = size.width / 2.0;
    calibration.cy = size.height / 2.0;
    calibration.skew = 0.001;
    calibration.k[0] = 0.02;
    calibration.k[1] = -0.006;
    calibration.k[2] = 0.001;
    calibration.k[3] = -0.0001;
  }
  CalibratedLens placed;
  if (!PlaceCalibration(calibration, size.width, size.height, placed).ok()) state.SkipWithError("no placement");
  Lens lens;
  lens.calibrated = std::make_shared<const CalibratedLens>(placed);
  lens.fovDegrees = 360;
  lens.circle = ImageCircle{(size.width - 1) / 2.0, (size.height - 1) / 2.0, size.height / 2.0 - 0.25};
  lens.pitchDegrees = static_cast<double>(state.range(1));
  for (auto _ : state) TransformPicture(pictures.Source(), pictures.Panorama(), lens, 0);
  state.SetLabel(SizeLabel(size) + (state.range(0) == 0 ? ", Hugin" : ", OpenCV") + ", pitch " +
                 std::to_string(state.range(1)));
  SetPixelCounter(state, size);
}

// Save and Sharpen's pass over a picture.
void BM_Sharpen(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  const Pictures& pictures = PicturesOf(size);
  // The first use after a load.
  for (auto _ : state) SharpenPicture(pictures.Source(), SharpenWeightsFor(95), 0);
  state.SetLabel(SizeLabel(size));
  SetPixelCounter(state, size);
}

// The BMP encoder writing the saved square into memory: the program's part of
// a save, without the disk's.
void BM_BmpWriting(benchmark::State& state) {
  const PictureSize size = kSizes[state.range(0)];
  const Pictures& pictures = PicturesOf(size);
  std::vector<uint8_t> file(BmpFileBytes(size.height, SaveShape::Square));
  for (auto _ : state) {
    size_t used = 0;
    const bool ok = EncodeBmp(pictures.Panorama(), SaveShape::Square, [&](std::span<const uint8_t> bytes) {
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
  const Pictures& pictures = PicturesOf(size);
  const std::filesystem::path name = std::filesystem::temp_directory_path() / "quorvane-bench.bmp";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(name);
    state.ResumeTiming();
    const Result saved = WriteBmpPicture(pictures.Panorama(), SaveShape::Square, name.string());
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
BENCHMARK(BM_Transform)
    ->ArgsProduct({{0, 1, 2}, {kSse2, kAvx2}, {0}})
    ->Args({1, kAutomatic, 0})
    ->Args({1, kAutomatic, 1})
    ->Args({1, kPlain, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Transform16)
    ->ArgsProduct({{0, 1, 2}, {kSse2, kAvx2}, {0}})
    ->Args({1, kAutomatic, 1})
    ->Args({1, kPlain, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Every model level and pitched by 90, then yawed, then rolled; the program's
// own lens beside them is BM_Transform/1/0/0.
BENCHMARK(BM_LensTransform)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 90}, {0}, {0}})
    ->Args({1, 30, 20, 0})
    ->Args({1, 30, 0, 20})
    ->Args({0, 0, 45, 10})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CalibratedTransform)->ArgsProduct({{0, 1}, {0, 90}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sharpen)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpWriting)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpFileWriting)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
