// Two lenses side by side at 12 megapixels (4896 x 2448, as 360-degree
// cameras record them): the stitched sphere beside one lens's sphere of the
// same size and field, and the alignment search beside the stitch; a 4K
// video frame's stitch beside a clip's map.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/lens_model.h"
#include "transform/clip_map.h"
#include "transform/dual_lens.h"
#include "transform/resample.h"

namespace {

constexpr int32_t kHeight = 2448;
constexpr int32_t kWidth = 2 * kHeight;

DualLens BenchLens() {
  DualLens lens;
  lens.front.fovDegrees = 200.0;
  lens.back = {0.7, -0.4, 0.3};
  return lens;
}

// The camera's picture of a textured world, `width` x `height`.
std::vector<uint8_t> RenderDual(int32_t width, int32_t height) {
  using namespace lens_model;
  std::vector<uint8_t> pixels(4 * size_t(width) * height, 0);
  const PixelBuffer picture{pixels.data(), width, height};
  const DualLens lens = BenchLens();
  const auto world = [](int c, Vector3 d) {
    return 0.75 * PatternAt(c, d) + 28 + 30 * std::sin(61 * d.x + 5 * d.z) * std::cos(53 * d.y - 11 * d.z);
  };
  const Camera front = CameraOf(lens.front);
  Lens back = BackLensOf(lens);
  const int32_t half = FrontHalfWidth(width);
  RenderFisheyeInto(picture, 0, half, lens.front, front, FrontCircleOf(lens, width, height), world);
  RenderFisheyeInto(picture, half, width - half, lens.front, CameraOf(back), BackCircleOf(lens, width, height), world,
                    0.85);
  return pixels;
}

// Made once.
const std::vector<uint8_t>& DualPicture() {
  static const std::vector<uint8_t> pixels = RenderDual(kWidth, kHeight);
  return pixels;
}

std::vector<uint8_t>& Sphere() {
  static std::vector<uint8_t> sphere(4 * size_t(kWidth) * kHeight, 0);
  return sphere;
}

// One lens filling the whole picture's height: the sphere it makes is the
// same size as the two lenses'. At their 200 degrees it leaves 41% of the
// sphere black, unsampled; at 360 it sees every direction, as the two do.
void BM_OneLensSphere(benchmark::State& state) {
  std::vector<uint8_t>& sphere = Sphere();
  Lens lens = BenchLens().front;
  lens.fovDegrees = static_cast<double>(state.range(0));
  lens.circle = ImageCircle{(kWidth - 1) / 2.0, (kHeight - 1) / 2.0, kHeight / 2.0 - 0.25};
  const PixelBuffer source{const_cast<uint8_t*>(DualPicture().data()), kWidth, kHeight};
  for (auto _ : state) TransformPicture(source, {sphere.data(), kWidth, kHeight}, lens, 0);
  state.SetLabel("4896x2448 picture, 4896x2448 sphere, equidistant " + std::to_string(state.range(0)));
}

void BM_DualSphere(benchmark::State& state) {
  std::vector<uint8_t>& sphere = Sphere();
  const PixelBuffer source{const_cast<uint8_t*>(DualPicture().data()), kWidth, kHeight};
  for (auto _ : state) StitchDualPicture(source, {sphere.data(), kWidth, kHeight}, BenchLens(), 0);
  state.SetLabel("4896x2448 picture, 4896x2448 sphere, equidistant 200");
}

void BM_AlignBackLens(benchmark::State& state) {
  const PixelBuffer source{const_cast<uint8_t*>(DualPicture().data()), kWidth, kHeight};
  DualLens lens = BenchLens();
  lens.back = {};
  BackLensOffset found;
  for (auto _ : state) benchmark::DoNotOptimize(AlignBackLens(source, lens, 0, found).ok());
  state.SetLabel("found " + std::to_string(found.yawDegrees) + " " + std::to_string(found.pitchDegrees) + " " +
                 std::to_string(found.rollDegrees));
}

// A 4K two-lens video's frame (3840 x 1920, two 200-degree lenses) into
// the 3840 x 1920 sphere: the stitch as a picture gets it, beside a clip's
// map made once, with the same gains.
constexpr int32_t k4KHeight = 1920;
constexpr int32_t k4KWidth = 2 * k4KHeight;
const ChannelGains kFrameGains{1.17, 1.18, 1.16};

const std::vector<uint8_t>& DualFrame4K() {
  static const std::vector<uint8_t> pixels = RenderDual(k4KWidth, k4KHeight);
  return pixels;
}

void BM_DualStitch4K(benchmark::State& state) {
  const PixelBuffer frame{const_cast<uint8_t*>(DualFrame4K().data()), k4KWidth, k4KHeight};
  const PanoramaSize size = DualSphereSize(k4KWidth, k4KHeight, 0);
  std::vector<uint8_t> sphere(4 * size_t(size.width) * size.height, 0);
  for (auto _ : state) StitchDualPicture(frame, {sphere.data(), size.width, size.height}, BenchLens(), kFrameGains, 0);
  state.SetLabel("3840x1920 frame, 3840x1920 sphere, equidistant 200, gains given");
}

void BM_ClipMapStitch4K(benchmark::State& state) {
  const PixelBuffer frame{const_cast<uint8_t*>(DualFrame4K().data()), k4KWidth, k4KHeight};
  const PanoramaSize size = DualSphereSize(k4KWidth, k4KHeight, 0);
  std::vector<uint8_t> sphere(4 * size_t(size.width) * size.height, 0);
  const ClipMap map = ClipMap::ForDual(BenchLens(), k4KWidth, k4KHeight, size, 0);
  for (auto _ : state) map.Apply(frame, {sphere.data(), size.width, size.height}, kFrameGains, 0);
  state.SetLabel("3840x1920 frame, 3840x1920 sphere, equidistant 200, gains given");
}

// The same frame as a video decoder hands it over (4:2:0 planes, luma the
// frame's green, chroma its blue and red at half size) through the luma and
// chroma maps, straight into the encoder's planes.
void BM_ClipMapPlanes4K(benchmark::State& state) {
  const PixelBuffer frame{const_cast<uint8_t*>(DualFrame4K().data()), k4KWidth, k4KHeight};
  const PanoramaSize size = DualSphereSize(k4KWidth, k4KHeight, 0);
  std::vector<uint8_t> planes[3];
  for (int p = 0; p < 3; ++p) {
    const int32_t step = p == 0 ? 1 : 2;
    const int32_t width = k4KWidth / step;
    const int32_t height = k4KHeight / step;
    planes[p].resize(size_t(width) * height);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        planes[p][size_t(y) * width + x] = frame.Pixel(step * x, frame.height - 1 - step * y)[p == 0 ? 1 : p == 1 ? 0 : 2];
  }
  ClipMap luma = ClipMap::ForDual(BenchLens(), k4KWidth, k4KHeight, size, 0);
  ClipMap chroma = ClipMap::ForDual(BenchLens(), k4KWidth, k4KHeight, size, 0, true);
  if (!luma.AddressPlane(k4KWidth) || !chroma.AddressPlane(k4KWidth / 2)) {
    state.SkipWithError("no plane tables");
    return;
  }
  std::vector<uint8_t> out[3];
  for (int p = 0; p < 3; ++p) out[p].resize(p == 0 ? size_t(size.width) * size.height : size_t(size.width) * size.height / 4);
  for (auto _ : state) {
    const ClipMap::Plane lumaPlane{planes[0].data(), out[0].data(), {16.0f, 1.17f}};
    const ClipMap::Plane chromaPlanes[2] = {{planes[1].data(), out[1].data(), {128.0f, 1.16f}},
                                            {planes[2].data(), out[2].data(), {128.0f, 1.17f}}};
    luma.ApplyPlanes(&lumaPlane, 1, size.width, 0);
    chroma.ApplyPlanes(chromaPlanes, 2, size.width / 2, 0);
  }
  state.SetLabel("3840x1920 4:2:0 frame, 3840x1920 sphere, equidistant 200, gains given");
}

// The map's own making, once per clip.
void BM_ClipMapMaking4K(benchmark::State& state) {
  const PanoramaSize size = DualSphereSize(k4KWidth, k4KHeight, 0);
  for (auto _ : state) benchmark::DoNotOptimize(ClipMap::ForDual(BenchLens(), k4KWidth, k4KHeight, size, 0));
}

// The alignment that also fits each lens's field of view, beside the stitch
// and the alignment of the angles alone.
void BM_AlignLenses(benchmark::State& state) {
  const PixelBuffer source{const_cast<uint8_t*>(DualPicture().data()), kWidth, kHeight};
  DualLens lens = BenchLens();
  lens.back = {};
  lens.front.fovDegrees = 198;
  DualLens found;
  for (auto _ : state) benchmark::DoNotOptimize(AlignLenses(source, lens, true, false, 0, found).ok());
  state.SetLabel("found fov " + std::to_string(found.front.fovDegrees) + " " +
                 std::to_string(found.backFovDegrees.value_or(0)));
}

}  // namespace

BENCHMARK(BM_AlignLenses)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OneLensSphere)->Arg(200)->Arg(360)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DualSphere)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DualStitch4K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClipMapStitch4K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClipMapPlanes4K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClipMapMaking4K)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AlignBackLens)->Unit(benchmark::kMillisecond)->UseRealTime();
