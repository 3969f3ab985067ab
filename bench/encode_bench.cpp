// The JPEG and PNG encoders writing the 3000 x 3000 square of a 4000 x 3000
// panorama into memory, as BM_BmpWriting/1 does for BMP: what a save in those
// formats costs over a BMP file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "imageio/bmp_writer.h"
#include "imageio/load_picture.h"
#include "imageio/picture_encoding.h"
#include "transform/resample.h"

namespace {

constexpr int32_t kWidth = 4000;
constexpr int32_t kSide = 3000;

// Something like a panorama, for encoders whose speed depends on content
// (noise would be the slowest case, a flat picture the fastest): a sky
// darkening upward, ground with a fine texture, a horizon of hard-edged
// buildings and a little sensor noise everywhere.
const std::vector<uint8_t>& Panorama() {
  static const std::vector<uint8_t> pixels = [] {
    std::vector<uint8_t> out(4 * static_cast<size_t>(kWidth) * kSide);
    uint32_t state = 2463534242u;
    auto noise = [&state](int amplitude) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      return static_cast<int>(state % (2 * amplitude + 1)) - amplitude;
    };
    for (int32_t y = 0; y < kSide; ++y) {
      const int32_t top = kSide - 1 - y;  // stored bottom-up
      for (int32_t x = 0; x < kWidth; ++x) {
        const int32_t skyline = kSide / 2 - static_cast<int32_t>(60 * (1 + std::sin(x / 300.0))) -
                                ((x / 170) % 3 == 0 ? 240 : 0);
        int blue, green, red;
        if (top < skyline) {
          blue = 250 - 90 * top / kSide;
          green = 200 - 100 * top / kSide;
          red = 150 - 90 * top / kSide;
        } else {
          const int texture = static_cast<int>(20 * std::sin(x / 7.0) * std::sin(top / 5.0));
          blue = 60 + texture;
          green = 110 + texture + 40 * x / kWidth;
          red = 90 + texture;
        }
        uint8_t* p = &out[4 * (static_cast<size_t>(y) * kWidth + x)];
        p[0] = static_cast<uint8_t>(std::clamp(blue + noise(3), 0, 255));
        p[1] = static_cast<uint8_t>(std::clamp(green + noise(3), 0, 255));
        p[2] = static_cast<uint8_t>(std::clamp(red + noise(3), 0, 255));
        p[3] = 0;
      }
    }
    return out;
  }();
  return pixels;
}

void Report(benchmark::State& state, const std::string& label, size_t fileBytes) {
  state.SetLabel(std::to_string(kWidth) + "x" + std::to_string(kSide) + ", square, " + label + ", " +
                 std::to_string(fileBytes / 1024) + " kB, to memory");
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(kWidth) * kSide / 1e6,
                                               benchmark::Counter::kIsIterationInvariantRate);
}

void BM_JpegEncoding(benchmark::State& state) {
  const PixelBuffer picture{const_cast<uint8_t*>(Panorama().data()), kWidth, kSide};
  EncodeOptions options;
  options.quality = static_cast<int>(state.range(0));
  std::vector<uint8_t> file;
  for (auto _ : state) {
    const Result encoded = EncodeJpeg(picture, SaveShape::Square, options, file);
    if (!encoded.ok()) state.SkipWithError(encoded.reason().c_str());
    benchmark::DoNotOptimize(file.data());
  }
  Report(state, "quality " + std::to_string(options.quality), file.size());
}

void BM_PngEncoding(benchmark::State& state) {
  const PixelBuffer picture{const_cast<uint8_t*>(Panorama().data()), kWidth, kSide};
  std::vector<uint8_t> file;
  for (auto _ : state) {
    const Result encoded = EncodePng(picture, SaveShape::Square, {}, file);
    if (!encoded.ok()) state.SkipWithError(encoded.reason().c_str());
    benchmark::DoNotOptimize(file.data());
  }
  Report(state, "PNG", file.size());
}

// The converter's whole job for one 12-megapixel fisheye JPEG, as the
// program does it, into each format: read and decode the file, transform
// through the program's own lens, write the panorama's square to a new file
// in the system's temporary folder (through the page cache). Side by side,
// the JPEG job's cost over the BMP job's.
void BM_WholeJob(benchmark::State& state) {
  const auto format = static_cast<PictureFormat>(state.range(0));
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  static const std::filesystem::path input = [&folder] {
    // The panorama-like picture as the fisheye photo: its content decodes at
    // a camera photo's pace.
    std::vector<uint8_t> jpeg;
    EncodeOptions options;
    const PixelBuffer picture{const_cast<uint8_t*>(Panorama().data()), kWidth, kSide};
    if (!EncodeJpeg(picture, SaveShape::Sphere, options, jpeg).ok()) std::abort();
    const std::filesystem::path name = folder / "quorvane-bench-fisheye.jpg";
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
    return name;
  }();
  const std::string output = (folder / (format == PictureFormat::Bmp ? "quorvane-bench.bmp" : "quorvane-bench.jpg")).string();
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(output);
    state.ResumeTiming();
    LoadedPicture fisheye;
    if (!LoadPicture(input.string(), fisheye).ok()) state.SkipWithError("cannot load the fisheye");
    PixelStore store = AllocatePixels(int64_t{fisheye.width} * fisheye.height);
    const PixelBuffer panorama{store.get(), fisheye.width, fisheye.height};
    TransformPicture(fisheye.View(), panorama, Lens{}, 0);
    const Result saved = format == PictureFormat::Bmp
                             ? WriteBmpPicture(panorama, SaveShape::Square, output)
                             : WritePictureFile(panorama, SaveShape::Square, format, {}, output);
    if (!saved.ok()) state.SkipWithError(saved.reason().c_str());
  }
  std::filesystem::remove(output);
  state.SetLabel(std::string("4000x3000 JPEG in, square ") + (format == PictureFormat::Bmp ? "BMP" : "JPEG") +
                 " out, new file");
}

BENCHMARK(BM_WholeJob)
    ->Arg(static_cast<int64_t>(PictureFormat::Bmp))
    ->Arg(static_cast<int64_t>(PictureFormat::Jpeg))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The default quality (4:4:4) and one below 90 (4:2:0).
BENCHMARK(BM_JpegEncoding)->Arg(kDefaultJpegQuality)->Arg(85)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngEncoding)->Unit(benchmark::kMillisecond);

}  // namespace
