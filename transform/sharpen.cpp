#include "transform/sharpen.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "transform/parallel_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

SharpenWeights SharpenWeightsFor(int32_t level) {
  // Every use of Save and Sharpen lowers the level by 32. From 127 down to 0
  // this gives k = 32 - level / 4 (stronger each time); below 0 the level is
  // shifted as an unsigned number, so the fourth use (-1) drops back to k =
  // 0x30000008, whose low 16 bits give C = 33, N = -8, and use n >= 4 gets
  // C = 8n + 1, N = -2n. Users know this sequence; it is kept exactly.
  uint32_t q = static_cast<uint32_t>(level) >> 2;
  uint32_t t = 64u - q;
  uint32_t k = static_cast<int32_t>(t) < 32 ? (t - 32u) >> 2 : t - 32u;
  return {static_cast<int16_t>(static_cast<uint16_t>(4u * k + 1u)),
          static_cast<int16_t>(static_cast<uint16_t>(0u - k))};
}

namespace {

// One row's new bytes from the row itself as it was (`current`), the rows
// below and above as they were, into `out`. Every byte alike, the unused
// fourth one too: sums in 32 bits, the result clamped to a byte and blended
// 1:15 with the original. The first and last pixel of the row are not written.
void SharpenRow(const uint8_t* below, const uint8_t* current, const uint8_t* above, uint8_t* out, size_t rowBytes,
                int32_t centre, int32_t neighbour) {
  size_t i = 4;
#if defined(__SSE2__)
  // Sixteen bytes at a time. pmaddwd forms c * centre + around * neighbour
  // exactly in 32 bits; the saturating pack to 16 bits keeps every sum's side
  // of 0..255, so the clamp that follows gives the same byte.
  const __m128i zero = _mm_setzero_si128();
  const __m128i weights = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(neighbour)) << 16) |
                                                              static_cast<uint16_t>(centre)));
  const __m128i top = _mm_set1_epi16(255);
  const __m128i fifteen = _mm_set1_epi16(15);
  for (; i + 16 <= rowBytes - 4; i += 16) {
    auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    const __m128i c = load(current + i);
    const __m128i l = load(current + i - 4);
    const __m128i r = load(current + i + 4);
    const __m128i b = load(below + i);
    const __m128i a = load(above + i);
    __m128i result[2];
    for (int half = 0; half < 2; ++half) {
      auto widen = [&](__m128i v) { return half == 0 ? _mm_unpacklo_epi8(v, zero) : _mm_unpackhi_epi8(v, zero); };
      const __m128i c16 = widen(c);
      const __m128i around = _mm_add_epi16(_mm_add_epi16(widen(b), widen(a)), _mm_add_epi16(widen(l), widen(r)));
      const __m128i low = _mm_madd_epi16(_mm_unpacklo_epi16(c16, around), weights);
      const __m128i high = _mm_madd_epi16(_mm_unpackhi_epi16(c16, around), weights);
      __m128i sharpened = _mm_packs_epi32(low, high);
      sharpened = _mm_min_epi16(_mm_max_epi16(sharpened, zero), top);
      result[half] = _mm_srli_epi16(_mm_add_epi16(sharpened, _mm_mullo_epi16(c16, fifteen)), 4);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(result[0], result[1]));
  }
#endif
  for (; i < rowBytes - 4; ++i) {
    int32_t c = current[i];
    int32_t sum = c * centre + (below[i] + above[i] + current[i - 4] + current[i + 4]) * neighbour;
    int32_t sharpened = std::clamp(sum, 0, 255);
    out[i] = static_cast<uint8_t>((sharpened + 15 * c) >> 4);
  }
}

// The same on 16-bit samples: the same weights and blend, the clamp to
// 0..65535, the sums in 64 bits so that no use's weights overflow them.
void SharpenRow(const uint16_t* below, const uint16_t* current, const uint16_t* above, uint16_t* out,
                size_t rowSamples, int32_t centre, int32_t neighbour) {
  for (size_t i = 4; i < rowSamples - 4; ++i) {
    const int64_t c = current[i];
    const int64_t sum = c * centre + (int64_t{below[i]} + above[i] + current[i - 4] + current[i + 4]) * neighbour;
    const int64_t sharpened = std::clamp<int64_t>(sum, 0, 65535);
    out[i] = static_cast<uint16_t>((sharpened + 15 * c) >> 4);
  }
}

// The pass over a picture of 8-bit or 16-bit samples.
template <class Buffer>
void SharpenSamples(const Buffer& picture, SharpenWeights weights, int32_t threads) {
  using Sample = std::remove_pointer_t<decltype(picture.base)>;
  const int32_t width = picture.width;
  const int32_t height = picture.height;
  // The outermost rows and columns have no full cross of neighbours and stay
  // as they are; so does a picture too small to have an inside.
  if (picture.base == nullptr || width < 3 || height < 3) return;

  const size_t rowSamples = 4 * static_cast<size_t>(width);
  auto row = [&picture](int32_t y) { return picture.Row(y); };

  // The pass reads the picture as it was before. Bands of rows run at once,
  // each in place, so the rows at band edges, which a neighbouring band
  // overwrites, are kept as they were first: two rows out of every band.
  const int32_t bands = (height + kRowBandRows - 1) / kRowBandRows;
  std::vector<Sample> edges(2 * static_cast<size_t>(bands) * rowSamples);
  auto keptRow = [&](int32_t band, int side) { return edges.data() + (2 * static_cast<size_t>(band) + side) * rowSamples; };
  for (int32_t band = 0; band < bands; ++band) {
    const int32_t first = band * kRowBandRows;
    const int32_t last = std::min(first + kRowBandRows, height) - 1;
    std::memcpy(keptRow(band, 0), row(first), rowSamples * sizeof(Sample));
    std::memcpy(keptRow(band, 1), row(last), rowSamples * sizeof(Sample));
  }
  // The row as it was: kept if it is a band's first or last row, otherwise
  // still in place unless the band working on it has passed it.
  auto original = [&](int32_t y) -> const Sample* {
    const int32_t band = y / kRowBandRows;
    if (y == band * kRowBandRows) return keptRow(band, 0);
    if (y == std::min((band + 1) * kRowBandRows, height) - 1) return keptRow(band, 1);
    return row(y);
  };

  ForEachRowBand(height, threads, [&](int32_t firstRow, int32_t endRow) {
    // Within a band, rows go upward: the row below is already rewritten, so
    // its original travels along in `below`.
    std::vector<Sample> below(rowSamples);
    std::vector<Sample> current(rowSamples);
    const int32_t start = std::max(firstRow, 1);
    const int32_t stop = std::min(endRow, height - 1);
    if (start >= stop) return;
    std::memcpy(below.data(), original(start - 1), rowSamples * sizeof(Sample));
    for (int32_t y = start; y < stop; ++y) {
      std::memcpy(current.data(), original(y), rowSamples * sizeof(Sample));
      SharpenRow(below.data(), current.data(), original(y + 1), row(y), rowSamples, weights.centre, weights.neighbour);
      std::swap(below, current);
    }
  });
}

}  // namespace

void SharpenPicture(const PixelBuffer& picture, SharpenWeights weights, int32_t threads) {
  SharpenSamples(picture, weights, threads);
}

void SharpenPicture(const PixelBuffer16& picture, SharpenWeights weights, int32_t threads) {
  SharpenSamples(picture, weights, threads);
}
