// The resampling kernel for AVX2. Positions and weights are worked out for
// eight pixels at a time, and two pixels are sampled at once, one in each
// 128-bit half of a vector, by the same steps as the SSE2 kernel, so the bits
// match the plain sampler's. Built with -mavx2 on its own and entered only
// when the processor has AVX2 (resample.cpp decides).
#include <cstring>

#include "transform/resample_rows.h"

namespace {

constexpr int kLanes = 8;

struct SampleBlock {
  static constexpr int kPixelBytes = 4;
  template <class Points>
  void operator()(uint8_t* destination, const Points& points, int first, const uint8_t* srcBase,
                  ptrdiff_t srcStride) const {
    const int32_t* taps = points.taps + first;
    const __m256i zero = _mm256_setzero_si256();
    __m256 across[4];
    __m256 down[4];
    for (int j = 0; j < 4; ++j) {
      across[j] = _mm256_load_ps(points.across[j] + first);
      down[j] = _mm256_load_ps(points.down[j] + first);
    }
    for (int lane = 0; lane < kLanes; lane += 2) {
      const uint8_t* left = taps[lane] < 0 ? nullptr : srcBase + taps[lane];
      const uint8_t* right = taps[lane + 1] < 0 ? nullptr : srcBase + taps[lane + 1];
      if (left == nullptr && right == nullptr) continue;
      // A skipped pixel of the pair reads its partner's taps and is not written.
      const uint8_t* leftTaps = left != nullptr ? left : right;
      const uint8_t* rightTaps = right != nullptr ? right : left;
      // Each half of a weight vector holds one pixel's weight four times.
      const __m256i pick = _mm256_add_epi32(_mm256_set1_epi32(lane), _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
      const __m256 across0 = _mm256_permutevar8x32_ps(across[0], pick);
      const __m256 across1 = _mm256_permutevar8x32_ps(across[1], pick);
      const __m256 across2 = _mm256_permutevar8x32_ps(across[2], pick);
      const __m256 across3 = _mm256_permutevar8x32_ps(across[3], pick);
      __m256 value = _mm256_setzero_ps();
      for (int k = 0; k < 4; ++k) {
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(leftTaps + k * srcStride))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(rightTaps + k * srcStride)), 1);
        const __m256i low = _mm256_unpacklo_epi8(bytes, zero);
        const __m256i high = _mm256_unpackhi_epi8(bytes, zero);
        const __m256 pixel0 = _mm256_cvtepi32_ps(_mm256_unpacklo_epi16(low, zero));
        const __m256 pixel1 = _mm256_cvtepi32_ps(_mm256_unpackhi_epi16(low, zero));
        const __m256 pixel2 = _mm256_cvtepi32_ps(_mm256_unpacklo_epi16(high, zero));
        const __m256 pixel3 = _mm256_cvtepi32_ps(_mm256_unpackhi_epi16(high, zero));
        __m256 rowSum = _mm256_mul_ps(pixel0, across0);
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel1, across1));
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel2, across2));
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel3, across3));
        const __m256 term = _mm256_mul_ps(rowSum, _mm256_permutevar8x32_ps(down[k], pick));
        value = k == 0 ? term : _mm256_add_ps(value, term);
      }
      __m256i n = _mm256_cvtps_epi32(value);
      n = _mm256_packs_epi32(n, n);
      n = _mm256_packus_epi16(n, n);
      const __m128i both = _mm_unpacklo_epi32(_mm256_castsi256_si128(n), _mm256_extracti128_si256(n, 1));
      if (left != nullptr && right != nullptr) {
        // Two neighbouring pixels in one go, their unused bytes kept.
        uint64_t pixels;
        std::memcpy(&pixels, destination + 4 * lane, 8);
        pixels = (pixels & 0xFF000000FF000000u) | (static_cast<uint64_t>(_mm_cvtsi128_si64(both)) & 0x00FFFFFF00FFFFFFu);
        std::memcpy(destination + 4 * lane, &pixels, 8);
      } else if (left != nullptr) {
        WriteChannels(destination + 4 * lane, static_cast<uint32_t>(_mm_cvtsi128_si32(both)));
      } else {
        WriteChannels(destination + 4 * (lane + 1), static_cast<uint32_t>(_mm_extract_epi32(both, 1)));
      }
    }
  }
};

// SampleBlock's steps on 16-bit samples: a neighbour row of a pixel is 32
// bytes, whose four pixels are paired with the partner's before widening.
struct SampleBlock16 {
  static constexpr int kPixelBytes = 8;
  template <class Points>
  void operator()(uint8_t* destination, const Points& points, int first, const uint8_t* srcBase,
                  ptrdiff_t srcStride) const {
    const int32_t* taps = points.taps + first;
    __m256 across[4];
    __m256 down[4];
    for (int j = 0; j < 4; ++j) {
      across[j] = _mm256_load_ps(points.across[j] + first);
      down[j] = _mm256_load_ps(points.down[j] + first);
    }
    for (int lane = 0; lane < kLanes; lane += 2) {
      const uint8_t* left = taps[lane] < 0 ? nullptr : srcBase + taps[lane];
      const uint8_t* right = taps[lane + 1] < 0 ? nullptr : srcBase + taps[lane + 1];
      if (left == nullptr && right == nullptr) continue;
      const uint8_t* leftTaps = left != nullptr ? left : right;
      const uint8_t* rightTaps = right != nullptr ? right : left;
      const __m256i pick = _mm256_add_epi32(_mm256_set1_epi32(lane), _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
      const __m256 across0 = _mm256_permutevar8x32_ps(across[0], pick);
      const __m256 across1 = _mm256_permutevar8x32_ps(across[1], pick);
      const __m256 across2 = _mm256_permutevar8x32_ps(across[2], pick);
      const __m256 across3 = _mm256_permutevar8x32_ps(across[3], pick);
      __m256 value = _mm256_setzero_ps();
      for (int k = 0; k < 4; ++k) {
        // [l0 l1 | l2 l3] and [r0 r1 | r2 r3], 8 bytes a pixel, paired as
        // [l0 r0 | l2 r2] and [l1 r1 | l3 r3].
        const __m256i leftRow = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(leftTaps + k * srcStride));
        const __m256i rightRow = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rightTaps + k * srcStride));
        const __m256i evens = _mm256_unpacklo_epi64(leftRow, rightRow);
        const __m256i odds = _mm256_unpackhi_epi64(leftRow, rightRow);
        const __m256 pixel0 = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(evens)));
        const __m256 pixel1 = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(odds)));
        const __m256 pixel2 = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(evens, 1)));
        const __m256 pixel3 = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(odds, 1)));
        __m256 rowSum = _mm256_mul_ps(pixel0, across0);
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel1, across1));
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel2, across2));
        rowSum = _mm256_add_ps(rowSum, _mm256_mul_ps(pixel3, across3));
        const __m256 term = _mm256_mul_ps(rowSum, _mm256_permutevar8x32_ps(down[k], pick));
        value = k == 0 ? term : _mm256_add_ps(value, term);
      }
      // Rounded, then clamped to 0..65535 by the unsigned pack.
      __m256i n = _mm256_cvtps_epi32(value);
      n = _mm256_packus_epi32(n, n);
      if (left != nullptr) {
        WriteChannels16(destination + 8 * lane,
                        static_cast<uint64_t>(_mm_cvtsi128_si64(_mm256_castsi256_si128(n))));
      }
      if (right != nullptr) {
        WriteChannels16(destination + 8 * (lane + 1),
                        static_cast<uint64_t>(_mm_cvtsi128_si64(_mm256_extracti128_si256(n, 1))));
      }
    }
  }
};

}  // namespace

void ResampleRows16Avx2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow) {
  ResampleRowsVector<Float8, kLanes>(plan, firstRow, endRow, SampleBlock16{});
}

void SampleLensRow16Avx2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                         float* axial, uint8_t* row) {
  SampleLensRowVector<Float8, kLanes>(plan, y, spans, spanCount, axial, row, SampleBlock16{});
}

void ResampleRowsAvx2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow) {
  ResampleRowsVector<Float8, kLanes>(plan, firstRow, endRow, SampleBlock{});
}

void SampleLensRowAvx2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                       uint8_t* row) {
  SampleLensRowVector<Float8, kLanes>(plan, y, spans, spanCount, axial, row, SampleBlock{});
}

void SamplePlacedAvx2(uint8_t* destination, const int32_t* taps, const float* across, const float* down, int32_t count,
                      const uint8_t* srcBase, ptrdiff_t srcStride) {
  SamplePlacedVector<Float8, kLanes>(destination, taps, across, down, count, srcBase, srcStride, SampleBlock{});
}


constexpr int32_t kPlanePrefetchAhead = 64;

void SamplePlanesAvx2(const PlaneSet& set, const int32_t* taps, const uint32_t* fractions, int32_t count,
                      ptrdiff_t srcStride) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i evenBytes = _mm256_set1_epi32(0x00FF00FF);
  const __m256i one = _mm256_set1_epi16(kPlaneWeightOne);
  const __m256i sixth = _mm256_set1_epi16(2731);
  const __m256i quarter = _mm256_set1_epi16(8192);
  const __m256i half = _mm256_set1_epi16(16384);
  const __m256i rounding = _mm256_set1_epi32(kPlaneRounding);
  for (int32_t first = 0; first < count; first += kLanes) {
    // Eight pixels at once: a neighbourhood's row of four taps is one word.
    const __m256i offsets = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps + first));
    const __m256i sampled = _mm256_andnot_si256(_mm256_srai_epi32(offsets, 31),
                                                _mm256_cmpgt_epi32(_mm256_set1_epi32(count - first), lanes));
    const int written = _mm256_movemask_ps(_mm256_castsi256_ps(sampled));
    if (written == 0) continue;
    // The neighbourhoods a little ahead, every other one: neighbours share lines.
    for (int32_t i = first + kPlanePrefetchAhead; i < std::min(first + kPlanePrefetchAhead + kLanes, count); i += 2)
      for (int32_t p = 0; p < set.planes; ++p) PrefetchNeighbourhood(set.sources[p], taps[i], srcStride);
    // PlaneWeights in 16-bit lanes, across and down at once: weight j of a
    // pixel across in the low half of its lane in w[j], down in the high.
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(fractions + first));
    const __m256i t2 = _mm256_mulhrs_epi16(t, t);
    const __m256i t3 = _mm256_mulhrs_epi16(t2, t);
    __m256i w[4];
    const __m256i cubeLess = _mm256_sub_epi16(t3, t);
    w[3] = _mm256_mulhrs_epi16(cubeLess, sixth);
    w[0] = _mm256_sub_epi16(_mm256_mulhrs_epi16(_mm256_sub_epi16(t2, t), quarter), w[3]);
    w[1] = _mm256_add_epi16(_mm256_sub_epi16(_mm256_mulhrs_epi16(cubeLess, quarter), _mm256_mulhrs_epi16(t2, half)),
                            one);
    w[2] = _mm256_sub_epi16(_mm256_sub_epi16(_mm256_sub_epi16(one, w[0]), w[1]), w[3]);
    // Across: taps 0 and 2 paired in each lane's halves, and 1 and 3, against
    // their weights likewise; down, rows 0 and 1 paired, and 2 and 3.
    const __m256i across02 = _mm256_blend_epi16(w[0], _mm256_slli_epi32(w[2], 16), 0xAA);
    const __m256i across13 = _mm256_blend_epi16(w[1], _mm256_slli_epi32(w[3], 16), 0xAA);
    const __m256i down01 = _mm256_blend_epi16(_mm256_srli_epi32(w[0], 16), w[1], 0xAA);
    const __m256i down23 = _mm256_blend_epi16(_mm256_srli_epi32(w[2], 16), w[3], 0xAA);
    for (int32_t p = 0; p < set.planes; ++p) {
      __m256i rows[4];
      for (int k = 0; k < 4; ++k) {
        const uint8_t* base = set.sources[p] + k * srcStride;
        __m256i row;
        if (written == 0xFF) {
          // Word by word: faster than a gather here.
          const auto word = [&](int i) {
            int32_t v;
            std::memcpy(&v, base + taps[first + i], 4);
            return v;
          };
          row = _mm256_setr_epi32(word(0), word(1), word(2), word(3), word(4), word(5), word(6), word(7));
        } else {
          row = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(base), offsets,
                                            sampled, 1);
        }
        const __m256i taps02 = _mm256_and_si256(row, evenBytes);
        const __m256i taps13 = _mm256_and_si256(_mm256_srli_epi32(row, 8), evenBytes);
        rows[k] = _mm256_add_epi32(_mm256_madd_epi16(taps02, across02), _mm256_madd_epi16(taps13, across13));
      }
      // Each row's sum shifted to 16 bits, rows 0 and 2 into the low halves.
      const auto pair = [](__m256i low, __m256i high) {
        return _mm256_blend_epi16(_mm256_srai_epi32(low, kPlaneRowShift), _mm256_slli_epi32(high, 16 - kPlaneRowShift),
                                  0xAA);
      };
      __m256i n = _mm256_add_epi32(_mm256_madd_epi16(pair(rows[0], rows[1]), down01),
                                   _mm256_madd_epi16(pair(rows[2], rows[3]), down23));
      n = _mm256_srai_epi32(_mm256_add_epi32(n, rounding), kPlaneShift);
      n = _mm256_packs_epi32(n, n);
      n = _mm256_packus_epi16(n, n);
      const uint64_t result = static_cast<uint64_t>(
          _mm_cvtsi128_si64(_mm_unpacklo_epi32(_mm256_castsi256_si128(n), _mm256_extracti128_si256(n, 1))));
      uint8_t* out = set.destinations[p] + first;
      if (written == 0xFF) {
        std::memcpy(out, &result, 8);
      } else {
        for (int i = 0; i < kLanes; ++i)
          if (written & (1 << i)) out[i] = static_cast<uint8_t>(result >> (8 * i));
      }
    }
  }
}

void FinishPlaneAvx2(uint8_t* pixels, const uint8_t* back, const float* weights, const int32_t* taps, int32_t count,
                     const PlaneGain& gain) {
  const __m256 origin = _mm256_set1_ps(gain.origin);
  const __m256 factor = _mm256_set1_ps(gain.gain);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 most = _mm256_set1_ps(255.0f);
  const __m256 zero = _mm256_setzero_ps();
  int32_t first = 0;
  for (; first + kLanes <= count; first += kLanes) {
    const __m256i offsets = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps + first));
    const int kept = _mm256_movemask_ps(_mm256_castsi256_ps(offsets));
    if (kept == 0xFF) continue;
    const auto bytes = [](const uint8_t* from) {
      return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(from))));
    };
    const __m256 front = bytes(pixels + first);
    // Gained: the same steps as the plain one, vector by vector.
    const __m256 source = back == nullptr ? front : bytes(back + first);
    __m256 gained = _mm256_floor_ps(
        _mm256_add_ps(_mm256_add_ps(origin, _mm256_mul_ps(_mm256_sub_ps(source, origin), factor)), half));
    gained = _mm256_min_ps(_mm256_max_ps(gained, zero), most);
    __m256 value = gained;
    if (back != nullptr) {
      const __m256 weight = _mm256_loadu_ps(weights + first);
      value = _mm256_add_ps(_mm256_mul_ps(front, weight), _mm256_mul_ps(gained, _mm256_sub_ps(one, weight)));
      value = _mm256_add_ps(value, half);
    }
    __m256i n = _mm256_cvttps_epi32(value);
    n = _mm256_packs_epi32(n, n);
    n = _mm256_packus_epi16(n, n);
    uint64_t result = static_cast<uint64_t>(
        _mm_cvtsi128_si64(_mm_unpacklo_epi32(_mm256_castsi256_si128(n), _mm256_extracti128_si256(n, 1))));
    if (kept != 0) {
      uint64_t old;
      std::memcpy(&old, pixels + first, 8);
      for (int i = 0; i < kLanes; ++i) {
        const uint64_t byte = uint64_t{0xFF} << (8 * i);
        if (kept & (1 << i)) result = (result & ~byte) | (old & byte);
      }
    }
    std::memcpy(pixels + first, &result, 8);
  }
  FinishPlanePlain(pixels + first, back == nullptr ? nullptr : back + first, weights + first, taps + first,
                   count - first, gain);
}
