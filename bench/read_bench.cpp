// PNG and TIFF reading, 5000 x 2500 pictures held in memory: DecodePicture
// (the 8-bit picture in the program's layout, and the 16-bit samples kept)
// beside the library alone decoding the same file into one buffer of its own
// rows, the least any reader built on it can do. The two should be close:
// the program's reader adds no copy of the picture.
#include <benchmark/benchmark.h>
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "imageio/decode_picture.h"
#include "imageio/picture_encoding.h"
#include "imageio/tiff_writer.h"

namespace {

// 2:1, so that the sphere's file of the picture holds all of it.
constexpr int32_t kWidth = 5000;
constexpr int32_t kHeight = 2500;

// A smooth photograph-like picture with some noise, as 16-bit samples
// (layout PixelBuffer16).
const std::vector<uint16_t>& Deep() {
  static const std::vector<uint16_t> samples = [] {
    std::vector<uint16_t> out(4 * static_cast<size_t>(kWidth) * kHeight);
    uint32_t state = 2463534242u;
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        uint16_t* p = &out[4 * (static_cast<size_t>(y) * kWidth + x)];
        const double shade = 0.5 + 0.4 * std::sin(x / 300.0) * std::cos(y / 200.0);
        for (int c = 0; c < 3; ++c) p[c] = static_cast<uint16_t>(shade * (50000 + 4000 * c) + (state >> (8 * c)) % 600);
      }
    }
    return out;
  }();
  return samples;
}

enum Kind { kPng8, kPng16, kTiff8, kTiff16 };

const std::vector<uint8_t>& File(int kind) {
  static std::vector<uint8_t> files[4];
  std::vector<uint8_t>& file = files[kind];
  if (file.empty()) {
    const std::vector<uint16_t>& deep = Deep();
    std::vector<uint8_t> eight(deep.size());
    for (size_t i = 0; i < deep.size(); ++i) eight[i] = ReduceSample(deep[i]);
    const PixelBuffer picture{eight.data(), kWidth, kHeight};
    const PixelBuffer16 picture16{const_cast<uint16_t*>(deep.data()), kWidth, kHeight};
    const SaveShape whole = SaveShape::Sphere;
    Result made = kind == kPng8    ? EncodePng(picture, whole, {}, file)
                  : kind == kPng16 ? EncodePng16(picture16, whole, {}, file)
                  : kind == kTiff8 ? EncodeTiff(picture, whole, {}, file)
                                   : EncodeTiff16(picture16, whole, {}, file);
    if (!made.ok()) std::abort();
  }
  return file;
}

const char* Label(int kind) {
  const char* kLabels[] = {"PNG 8-bit RGB", "PNG 16-bit RGB", "TIFF 8-bit RGB Deflate", "TIFF 16-bit RGB Deflate"};
  return kLabels[kind];
}

void BM_DecodePicture(benchmark::State& state) {
  const std::vector<uint8_t>& file = File(static_cast<int>(state.range(0)));
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(kWidth) * kHeight);
  for (auto _ : state) {
    int32_t width = 0, height = 0;
    PixelStore samples16;
    if (!DecodePicture(file, pixels.data(), int64_t{kWidth} * kHeight, width, height, &samples16).ok()) std::abort();
    benchmark::DoNotOptimize(samples16.get());
  }
  state.SetLabel(Label(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_DecodePicture)->DenseRange(kPng8, kTiff16)->Unit(benchmark::kMillisecond);

struct MemoryReader {
  const std::vector<uint8_t>* file;
  size_t at;
};

void BM_LibraryAlone(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = File(kind);
  const bool deep = kind == kPng16 || kind == kTiff16;
  const size_t rowBytes = (deep ? 6 : 3) * static_cast<size_t>(kWidth);
  std::vector<uint8_t> rows(rowBytes * kHeight);
  for (auto _ : state) {
    if (kind == kPng8 || kind == kPng16) {
      png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
      png_infop info = png_create_info_struct(png);
      MemoryReader reader{&file, 0};
      png_set_read_fn(png, &reader, [](png_structp p, png_bytep data, size_t length) {
        auto* r = static_cast<MemoryReader*>(png_get_io_ptr(p));
        std::memcpy(data, r->file->data() + r->at, length);
        r->at += length;
      });
      png_read_info(png, info);
      for (int32_t y = 0; y < kHeight; ++y) png_read_row(png, rows.data() + rowBytes * y, nullptr);
      png_destroy_read_struct(&png, &info, nullptr);
    } else {
      // libtiff reads its own files; a file in memory goes through the
      // same client procedures as the program's reader would need.
      TIFFErrorHandler quiet = TIFFSetWarningHandler(nullptr);
      static thread_local MemoryReader reader;
      reader = {&file, 0};
      TIFF* tiff = TIFFClientOpen(
          "bench", "rm", &reader,
          [](thandle_t h, tdata_t d, tsize_t n) -> tsize_t {
            auto* r = static_cast<MemoryReader*>(h);
            const size_t count = std::min<size_t>(n, r->file->size() - std::min(r->at, r->file->size()));
            std::memcpy(d, r->file->data() + r->at, count);
            r->at += count;
            return static_cast<tsize_t>(count);
          },
          [](thandle_t, tdata_t, tsize_t) -> tsize_t { return -1; },
          [](thandle_t h, toff_t offset, int whence) -> toff_t {
            auto* r = static_cast<MemoryReader*>(h);
            r->at = (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? r->at : r->file->size()) + offset;
            return r->at;
          },
          [](thandle_t) { return 0; }, [](thandle_t h) -> toff_t { return static_cast<MemoryReader*>(h)->file->size(); },
          [](thandle_t, tdata_t*, toff_t*) { return 0; }, [](thandle_t, tdata_t, toff_t) {});
      for (int32_t y = 0; y < kHeight; ++y) TIFFReadScanline(tiff, rows.data() + rowBytes * y, y, 0);
      TIFFClose(tiff);
      TIFFSetWarningHandler(quiet);
    }
    benchmark::DoNotOptimize(rows.data());
  }
  state.SetLabel(Label(kind));
}
BENCHMARK(BM_LibraryAlone)->DenseRange(kPng8, kTiff16)->Unit(benchmark::kMillisecond);

}  // namespace
