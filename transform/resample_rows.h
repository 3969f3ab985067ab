#pragma once
// The row loop shared by the vectorised kernels (resample_sse2.cpp,
// resample_avx2.cpp), which include it inside their own anonymous namespaces.
// It works out a vector of destination pixels at a time: where each comes
// from in the source (for the fisheye, a row's offsets from the lens centre
// first) and the cubic weights there, with lanes.h's arithmetic,
// which gives the plain kernel's bits; then hands each pixel that has a whole
// neighbourhood to the kernel's sampler.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include <xmmintrin.h>

#include "transform/lanes.h"
#include "transform/projection.h"
#include "transform/resample_kernels.h"

namespace {

// Where a run of pixels of one row samples: for pixel i, the byte offset of
// the bottom-left tap of its 4 x 4 neighbourhood from the start of the
// source (-1 when the pixel is skipped; the source is smaller than 2 GB,
// resample.cpp sees to that), and its
// weights across (horizontal) and down (vertical). The positions of a whole
// run are worked out before any pixel of it is sampled: the projection is a
// long chain of dependent steps, and interleaved with the sampling the
// processor would wait on it for every vector.
inline constexpr int kRunPixels = 256;
struct SamplePoints {
  alignas(32) float across[4][kRunPixels];
  alignas(32) float down[4][kRunPixels];
  int32_t taps[kRunPixels];
};

// The sampler's reads follow the lens's curves through the source, across
// its rows, where the processor's own prefetching does not keep up; the
// neighbourhoods of the pixels this many places ahead are asked for early.
inline constexpr int kPrefetchAhead = 16;

inline void PrefetchNeighbourhood(const uint8_t* srcBase, int32_t taps, ptrdiff_t srcStride) {
  if (taps < 0) return;
  for (int k = 0; k < 4; ++k) _mm_prefetch(reinterpret_cast<const char*>(srcBase + taps + k * srcStride), _MM_HINT_T0);
}

// Bytes 0 to 2 of a pixel from the low dword of `channels`; byte 3 kept.
inline void WriteChannels(uint8_t* destination, uint32_t channels) {
  uint32_t pixel;
  std::memcpy(&pixel, destination, 4);
  pixel = (pixel & 0xFF000000u) | (channels & 0x00FFFFFFu);
  std::memcpy(destination, &pixel, 4);
}

// Samples 0 to 2 of a 16-bit pixel from the low 48 bits of `channels`; the
// unused sample kept.
inline void WriteChannels16(uint8_t* destination, uint64_t channels) {
  uint64_t pixel;
  std::memcpy(&pixel, destination, 8);
  pixel = (pixel & 0xFFFF000000000000u) | (channels & 0x0000FFFFFFFFFFFFu);
  std::memcpy(destination, &pixel, 8);
}

// Where a vector of pixels samples, from their positions (u, v) relative to
// the source centre: the nearest source pixel, ties to even, the fraction left
// over and its cubic weights, and the taps, -1 for lanes whose neighbourhood
// is not wholly inside the source (not-a-number positions included) and for
// the lanes from `lanes` on. Gives the lanes sampled, as bits. Source pixels
// are kPixelBytes apart (4, or 8 for 16-bit samples).
template <class V, int kPixelBytes = 4>
struct TapPlacer {
  V centreSrcX;
  V centreSrcY;
  V maxColumn;
  V maxRow;
  int32_t rowBytes;

  TapPlacer(const ResamplePlan& plan)
      : centreSrcX(Splat(V{}, plan.centreSrcX)),
        centreSrcY(Splat(V{}, plan.centreSrcY)),
        maxColumn(Splat(V{}, static_cast<float>(plan.maxCol))),
        maxRow(Splat(V{}, static_cast<float>(plan.maxRow))),
        rowBytes(plan.record.srcStride) {}

  int Place(SamplePoints& points, int first, V u, V v, int lanes) const {
    V inside;
    return Place(points, first, u, v, lanes, inside);
  }

  // The same, with the lanes sampled as a mask as well.
  int Place(SamplePoints& points, int first, V u, V v, int lanes, V& inside) const {
    const V zero = Splat(u, 0.0f);
    const V one = Splat(u, 1.0f);
    const V sourceX = u + centreSrcX;
    const V sourceY = v + centreSrcY;
    const V nearestX = RoundToNearest(sourceX);
    const V nearestY = RoundToNearest(sourceY);
    V across[4];
    V down[4];
    CubicWeightsOf(sourceX - nearestX, across);
    CubicWeightsOf(sourceY - nearestY, down);
    for (int j = 0; j < 4; ++j) {
      Store(points.across[j] + first, across[j]);
      Store(points.down[j] + first, down[j]);
    }
    // The plain kernel's test on the same floats: the neighbourhood's first
    // column and row between 0 and maxCol, maxRow. Not-a-number fails it.
    const V firstColumn = nearestX - one;
    const V firstRowOfTaps = nearestY - one;
    inside = LessOrEqual(zero, firstColumn) & LessOrEqual(zero, firstRowOfTaps) &
                     LessOrEqual(firstColumn, maxColumn) & LessOrEqual(firstRowOfTaps, maxRow);
    StoreTapOffsets<kPixelBytes == 8 ? 3 : 2>(points.taps + first, inside, firstColumn, firstRowOfTaps, rowBytes);
    for (int p = lanes; p < static_cast<int>(sizeof(V) / sizeof(float)); ++p) points.taps[first + p] = -1;
    return LaneBits(inside) & ((1 << lanes) - 1);
  }
};

// Samples the `runPixels` pixels whose points are worked out into
// `destination` (the run's first pixel), asking for the neighbourhoods a
// little ahead.
template <int kLanes, class Sampler>
void SampleRun(uint8_t* destination, const SamplePoints& points, int runPixels, const uint8_t* srcBase,
               ptrdiff_t srcStride, Sampler sample) {
  for (int first = 0; first < runPixels; first += kLanes) {
    const int aheadEnd = std::min(first + kPrefetchAhead + kLanes, runPixels);
    for (int i = first + kPrefetchAhead; i < aheadEnd; ++i) PrefetchNeighbourhood(srcBase, points.taps[i], srcStride);
    sample(destination + Sampler::kPixelBytes * static_cast<ptrdiff_t>(first), points, first, srcBase, srcStride);
  }
}

// Sampler: void(uint8_t* destination, const SamplePoints& points, int first,
//               const uint8_t* srcBase, ptrdiff_t srcStride)
// samples pixels first .. first + kLanes - 1 of the run (first a multiple of
// kLanes), destination addressing pixel `first`, and writes those whose taps
// are not -1, and no other. Sampler::kPixelBytes: the bytes of a source and a
// destination pixel, 4, or 8 for 16-bit samples.
template <class V, int kLanes, class Sampler>
void ResampleRowsVector(const ResamplePlan& plan, int32_t firstRow, int32_t endRow, Sampler sample) {
  static_assert(kRunPixels % kLanes == 0);
  if (plan.mode != Centred && plan.mode != Fisheye && plan.mode != Scaled && plan.mode != GeneralLens)
    return;  // reserved modes map nothing
  const bool throughLens = plan.mode == Fisheye || plan.mode == GeneralLens;
  const TransformRecord& record = plan.record;
  const V tag = Splat(V{}, 0.0f);
  const V centreDestX = Splat(tag, plan.centreDestX);
  const V scale = Splat(tag, record.scale);
  const V scaleU = Splat(tag, plan.program.scaleU);
  const V scaleV = Splat(tag, plan.program.scaleV);
  const TurnLanes<V> turn(plan.turn);
  const ptrdiff_t srcStride = record.srcStride;
  SamplePoints points;
  const TapPlacer<V, Sampler::kPixelBytes> placer(plan);
  // Through a lens: every pixel's offset from the lens centre, for the row at
  // hand (for GeneralLens before the roll, which keeps the mirror image).
  // Mirror-image columns have offsets of opposite sign and equal height
  // (resample.cpp checks the tables for it), so only the left half of a row
  // goes through the lens model and the right half is copied from it.
  // Allocated once per band of rows, not per row.
  const int32_t paddedWidth = (record.destWidth + 7) / 8 * 8;
  std::vector<float> offsetsAcross;
  std::vector<float> offsetsDown;
  int32_t projectedColumns = record.destWidth;
  if (throughLens) {
    offsetsAcross.assign(static_cast<size_t>(paddedWidth), 0.0f);
    offsetsDown.assign(static_cast<size_t>(paddedWidth), 0.0f);
    // The left half, middle column included, in whole vectors.
    if (plan.mirroredColumns) projectedColumns = ((record.destWidth + 1) / 2 + kLanes - 1) / kLanes * kLanes;
  }

  for (int32_t y = firstRow; y < endRow; ++y) {
    const float dyScalar = static_cast<float>(y) - plan.centreDestY;
    const V dy = Splat(tag, dyScalar);
    if (plan.mode == Fisheye) {
      const float polar = PolarAngleOf(dyScalar, plan.program);
      const V sinPolar = Splat(tag, SinOf(polar));
      const V cosPolar = Splat(tag, CosOf(polar));
      for (int32_t x0 = 0; x0 < projectedColumns; x0 += kLanes) {
        V u;
        V v;
        ProjectFromAngles(Load(tag, plan.sinAzimuth + x0), Load(tag, plan.cosAzimuth + x0), sinPolar, cosPolar,
                          scaleU, scaleV, u, v);
        Store(offsetsAcross.data() + x0, u);
        Store(offsetsDown.data() + x0, v);
      }
    } else if (plan.mode == GeneralLens) {
      for (int32_t x0 = 0; x0 < projectedColumns; x0 += kLanes) {
        V across;
        V up;
        ProjectThroughLens(Load(tag, plan.sinAzimuth + x0), Load(tag, plan.cosAzimuth + x0), plan.lensRows[y],
                           plan.lens, across, up);
        Store(offsetsAcross.data() + x0, across);
        Store(offsetsDown.data() + x0, up);
      }
    }
    if (throughLens) {
      // Column x takes column width - 1 - x's offsets, a vector at a time.
      int32_t x = projectedColumns;
      for (; x + kLanes <= record.destWidth; x += kLanes) {
        const int32_t mirror = record.destWidth - x - kLanes;
        Store(offsetsAcross.data() + x, Negated(Reversed(Load(tag, offsetsAcross.data() + mirror))));
        Store(offsetsDown.data() + x, Reversed(Load(tag, offsetsDown.data() + mirror)));
      }
      const int32_t last = record.destWidth - 1;
      for (; x < record.destWidth; ++x) {
        offsetsAcross[x] = -offsetsAcross[last - x];
        offsetsDown[x] = offsetsDown[last - x];
      }
    }
    uint8_t* destRow = record.destBase + static_cast<ptrdiff_t>(y) * record.destStride;

    for (int32_t runStart = 0; runStart < record.destWidth; runStart += kRunPixels) {
      const int32_t runEnd = std::min(runStart + kRunPixels, record.destWidth);
      int anyInside = 0;
      for (int32_t x0 = runStart; x0 < runEnd; x0 += kLanes) {
        const V dx = Consecutive(tag, x0) - centreDestX;
        V u = dx;
        V v = dy;
        if (plan.mode == Fisheye) {
          u = Load(tag, offsetsAcross.data() + x0);
          v = Load(tag, offsetsDown.data() + x0);
        } else if (plan.mode == GeneralLens) {
          const V across = Load(tag, offsetsAcross.data() + x0);
          const V up = Load(tag, offsetsDown.data() + x0);
          turn.Apply(across, up, u, v);
        } else if (plan.mode == Scaled) {
          u = scale * dx;
          v = scale * dy;
        }
        // Lanes past the row's end are left alone.
        anyInside |= placer.Place(points, x0 - runStart, u, v, std::min(kLanes, runEnd - x0));
      }
      if (anyInside == 0) continue;
      SampleRun<kLanes>(destRow + Sampler::kPixelBytes * static_cast<ptrdiff_t>(runStart), points, runEnd - runStart, record.srcBase,
                        srcStride, sample);
    }
  }
}

// Samples pixels placed beforehand (see PlacedSampler) a vector at a time:
// their cubic weights from the fractions, then the kernel's sampler, which
// reads them as it reads a run's points.
template <int kLanes>
struct PlacedGroup {
  alignas(32) float across[4][kLanes];
  alignas(32) float down[4][kLanes];
  const int32_t* taps;
};

template <class V, int kLanes, class Sampler>
void SamplePlacedVector(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                        int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride, Sampler sample) {
  const V tag = Splat(V{}, 0.0f);
  PlacedGroup<kLanes> group;
  int32_t lastTaps[kLanes];
  for (int32_t first = 0; first < count; first += kLanes) {
    const int32_t aheadEnd = std::min(first + kPrefetchAhead + kLanes, count);
    for (int32_t i = first + kPrefetchAhead; i < aheadEnd; ++i) PrefetchNeighbourhood(srcBase, taps[i], srcStride);
    V acrossWeights[4];
    V downWeights[4];
    CubicWeightsOf(Load(tag, across + first), acrossWeights);
    CubicWeightsOf(Load(tag, down + first), downWeights);
    for (int j = 0; j < 4; ++j) {
      Store(group.across[j], acrossWeights[j]);
      Store(group.down[j], downWeights[j]);
    }
    group.taps = taps + first;
    if (count - first < kLanes) {
      // The lanes past the end are skipped.
      for (int i = 0; i < kLanes; ++i) lastTaps[i] = i < count - first ? taps[first + i] : -1;
      group.taps = lastTaps;
    }
    sample(destination + Sampler::kPixelBytes * static_cast<ptrdiff_t>(first), group, 0, srcBase, srcStride);
  }
}

// One lens's pass over the spans of row y (see LensRowKernel). The lens
// model goes through its formula only every kLensGrid columns; the columns
// between take the straight line between those two, which is within 0.02
// source pixels of the formula for any sphere the program makes (the
// curvature of a row's image, at most the circle's radius, times the square
// of kLensGrid columns' angle, over 8). Where either end lies outside the
// lens's field, the columns between take the formula too.
template <class V, int kLanes, class Sampler>
void SampleLensRowVector(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                         uint8_t* row, Sampler sample) {
  static_assert(kLensGrid % kLanes == 0);
  constexpr int kGridPoints = kRunPixels / kLensGrid + 1;
  constexpr int kGridPadded = (kGridPoints + kLanes - 1) / kLanes * kLanes;
  const TransformRecord& record = plan.record;
  const V tag = Splat(V{}, 0.0f);
  const TurnLanes<V> turn(plan.turn);
  const V unseen = Splat(tag, std::numeric_limits<float>::quiet_NaN());
  const V gridStep = Splat(tag, 1.0f / kLensGrid);
  const TapPlacer<V, Sampler::kPixelBytes> placer(plan);
  SamplePoints points;
  alignas(32) float gridSin[kGridPadded] = {};
  alignas(32) float gridCos[kGridPadded] = {};
  alignas(32) float gridAcross[kGridPadded];
  alignas(32) float gridUp[kGridPadded];
  alignas(32) float gridCosine[kGridPadded];
  for (int32_t span = 0; span < spanCount; ++span) {
    for (int32_t runStart = spans[span].begin; runStart < spans[span].end; runStart += kRunPixels) {
      const int32_t runEnd = std::min(runStart + kRunPixels, spans[span].end);
      // The formula at columns runStart, runStart + kLensGrid, ... up to the
      // first at or past the run's end.
      const int gridPoints = (runEnd - runStart + kLensGrid - 1) / kLensGrid + 1;
      for (int k = 0; k < gridPoints; ++k) {
        gridSin[k] = plan.sinAzimuth[runStart + k * kLensGrid];
        gridCos[k] = plan.cosAzimuth[runStart + k * kLensGrid];
      }
      for (int k = 0; k < gridPoints; k += kLanes) {
        V across;
        V up;
        V cosine;
        ProjectThroughLens(Load(tag, gridSin + k), Load(tag, gridCos + k), plan.lensRows[y], plan.lens, across, up,
                           &cosine);
        Store(gridAcross + k, across);
        Store(gridUp + k, up);
        Store(gridCosine + k, cosine);
      }
      int anyInside = 0;
      for (int32_t x0 = runStart; x0 < runEnd; x0 += kLanes) {
        const int k = (x0 - runStart) / kLensGrid;
        V across;
        V up;
        V cosine;
        if (gridAcross[k] != gridAcross[k] || gridAcross[k + 1] != gridAcross[k + 1]) {
          ProjectThroughLens(Load(tag, plan.sinAzimuth + x0), Load(tag, plan.cosAzimuth + x0), plan.lensRows[y],
                             plan.lens, across, up, &cosine);
        } else {
          const V fraction = Consecutive(tag, x0 - runStart - k * kLensGrid) * gridStep;
          const V across0 = Splat(tag, gridAcross[k]);
          const V up0 = Splat(tag, gridUp[k]);
          const V cosine0 = Splat(tag, gridCosine[k]);
          across = across0 + (Splat(tag, gridAcross[k + 1]) - across0) * fraction;
          up = up0 + (Splat(tag, gridUp[k + 1]) - up0) * fraction;
          cosine = cosine0 + (Splat(tag, gridCosine[k + 1]) - cosine0) * fraction;
        }
        const int lanes = std::min(kLanes, runEnd - x0);
        V inside;
        V u;
        V v;
        turn.Apply(across, up, u, v);
        anyInside |= placer.Place(points, x0 - runStart, u, v, lanes, inside);
        // Whole vectors: the spans never share one, and the row's last is padded.
        Store(axial + x0, Select(inside, cosine, unseen));
      }
      if (anyInside == 0) continue;
      SampleRun<kLanes>(row + Sampler::kPixelBytes * static_cast<ptrdiff_t>(runStart), points, runEnd - runStart, record.srcBase,
                        record.srcStride, sample);
    }
  }
}

}  // namespace
