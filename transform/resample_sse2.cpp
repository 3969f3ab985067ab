// The resampling kernel for SSE2, which every x86-64 processor has. One
// pixel's four channels share a vector: a neighbour row is one 16-byte load,
// widened to four vectors of blue, green, red and the unused byte, and the
// weighted sums run in the plain sampler's order (sampler.cpp), so the bits
// match it. The unused byte is worked out too, and thrown away.
#include <cstring>

#include "transform/resample_rows.h"

namespace {

constexpr int kLanes = 4;

// The four pixels of a neighbour row as four vectors of channel levels.
inline void WidenRow(const uint8_t* taps, __m128 pixels[4]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps));
  const __m128i low = _mm_unpacklo_epi8(bytes, zero);
  const __m128i high = _mm_unpackhi_epi8(bytes, zero);
  pixels[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(low, zero));
  pixels[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(low, zero));
  pixels[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(high, zero));
  pixels[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(high, zero));
}

struct SampleBlock {
  static constexpr int kPixelBytes = 4;
  template <class Points>
  void operator()(uint8_t* destination, const Points& points, int first, const uint8_t* srcBase,
                  ptrdiff_t srcStride) const {
    for (int lane = 0; lane < kLanes; ++lane) {
      const int i = first + lane;
      if (points.taps[i] < 0) continue;
      const uint8_t* taps = srcBase + points.taps[i];
      const __m128 across0 = _mm_set1_ps(points.across[0][i]);
      const __m128 across1 = _mm_set1_ps(points.across[1][i]);
      const __m128 across2 = _mm_set1_ps(points.across[2][i]);
      const __m128 across3 = _mm_set1_ps(points.across[3][i]);
      __m128 value = _mm_setzero_ps();
      for (int k = 0; k < 4; ++k) {
        __m128 pixels[4];
        WidenRow(taps + k * srcStride, pixels);
        // The plain sums start from 0; leaving that out changes at most the
        // sign of a zero, which the rounding to a byte ignores.
        __m128 rowSum = _mm_mul_ps(pixels[0], across0);
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[1], across1));
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[2], across2));
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[3], across3));
        const __m128 term = _mm_mul_ps(rowSum, _mm_set1_ps(points.down[k][i]));
        value = k == 0 ? term : _mm_add_ps(value, term);
      }
      // cvtps2dq rounds to nearest, ties to even; the two packs clamp to 0..255.
      __m128i n = _mm_cvtps_epi32(value);
      n = _mm_packs_epi32(n, n);
      n = _mm_packus_epi16(n, n);
      WriteChannels(destination + 4 * lane, static_cast<uint32_t>(_mm_cvtsi128_si32(n)));
    }
  }
};

// The four 16-bit pixels of a neighbour row as four vectors of channel levels.
inline void WidenRow16(const uint8_t* taps, __m128 pixels[4]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps + 16));
  pixels[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(low, zero));
  pixels[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(low, zero));
  pixels[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(high, zero));
  pixels[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(high, zero));
}

// The nearest integers of `value`'s lanes, clamped to 0..65535, as 16-bit
// samples in the low half: moved down by 32768 so that the signed pack
// clamps, then back.
inline __m128i RoundToSamples(__m128 value) {
  const __m128i n = _mm_sub_epi32(_mm_cvtps_epi32(value), _mm_set1_epi32(32768));
  return _mm_xor_si128(_mm_packs_epi32(n, n), _mm_set1_epi16(static_cast<short>(0x8000)));
}

// SampleBlock's steps on 16-bit samples.
struct SampleBlock16 {
  static constexpr int kPixelBytes = 8;
  template <class Points>
  void operator()(uint8_t* destination, const Points& points, int first, const uint8_t* srcBase,
                  ptrdiff_t srcStride) const {
    for (int lane = 0; lane < kLanes; ++lane) {
      const int i = first + lane;
      if (points.taps[i] < 0) continue;
      const uint8_t* taps = srcBase + points.taps[i];
      const __m128 across0 = _mm_set1_ps(points.across[0][i]);
      const __m128 across1 = _mm_set1_ps(points.across[1][i]);
      const __m128 across2 = _mm_set1_ps(points.across[2][i]);
      const __m128 across3 = _mm_set1_ps(points.across[3][i]);
      __m128 value = _mm_setzero_ps();
      for (int k = 0; k < 4; ++k) {
        __m128 pixels[4];
        WidenRow16(taps + k * srcStride, pixels);
        __m128 rowSum = _mm_mul_ps(pixels[0], across0);
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[1], across1));
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[2], across2));
        rowSum = _mm_add_ps(rowSum, _mm_mul_ps(pixels[3], across3));
        const __m128 term = _mm_mul_ps(rowSum, _mm_set1_ps(points.down[k][i]));
        value = k == 0 ? term : _mm_add_ps(value, term);
      }
      WriteChannels16(destination + 8 * lane, static_cast<uint64_t>(_mm_cvtsi128_si64(RoundToSamples(value))));
    }
  }
};

}  // namespace

void ResampleRows16Sse2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow) {
  ResampleRowsVector<Float4, kLanes>(plan, firstRow, endRow, SampleBlock16{});
}

void SampleLensRow16Sse2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                         float* axial, uint8_t* row) {
  SampleLensRowVector<Float4, kLanes>(plan, y, spans, spanCount, axial, row, SampleBlock16{});
}

void ResampleRowsSse2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow) {
  ResampleRowsVector<Float4, kLanes>(plan, firstRow, endRow, SampleBlock{});
}

void SampleLensRowSse2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                       uint8_t* row) {
  SampleLensRowVector<Float4, kLanes>(plan, y, spans, spanCount, axial, row, SampleBlock{});
}

void SamplePlacedSse2(uint8_t* destination, const int32_t* taps, const float* across, const float* down, int32_t count,
                      const uint8_t* srcBase, ptrdiff_t srcStride) {
  SamplePlacedVector<Float4, kLanes>(destination, taps, across, down, count, srcBase, srcStride, SampleBlock{});
}
