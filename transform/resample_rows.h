#pragma once
// The row loop shared by the vectorised kernels (resample_sse2.cpp,
// resample_avx2.cpp), which include it inside their own anonymous namespaces.
// It works out a vector of destination pixels at a time: where each comes
// from in the source and the cubic weights there, with lanes.h's arithmetic,
// which gives the plain kernel's bits; then hands each pixel that has a whole
// neighbourhood to the kernel's sampler.
#include <algorithm>
#include <cstddef>

#include "transform/lanes.h"
#include "transform/projection.h"
#include "transform/resample_kernels.h"

namespace {

// Where one vector of pixels samples: for lane p, the nearest source pixel
// (as floats) and the weights across (horizontal) and down (vertical).
template <int kLanes>
struct SamplePoints {
  alignas(32) float nearestX[kLanes];
  alignas(32) float nearestY[kLanes];
  alignas(32) float across[4][kLanes];
  alignas(32) float down[4][kLanes];
};

// Sampler: void(uint8_t* destination, const uint8_t* const taps[kLanes], ptrdiff_t srcStride,
//               const SamplePoints<kLanes>& points)
// writes the destination pixels of the lanes whose `taps` (the bottom-left
// pixel of the 4 x 4 neighbourhood) is not null, and no other.
template <class V, int kLanes, class Sampler>
void ResampleRowsVector(const ResamplePlan& plan, int32_t firstRow, int32_t endRow, Sampler sample) {
  if (plan.mode != Centred && plan.mode != Fisheye && plan.mode != Scaled) return;  // reserved modes map nothing
  const TransformRecord& record = plan.record;
  const V tag = Splat(V{}, 0.0f);
  const V centreDestX = Splat(tag, plan.centreDestX);
  const V centreSrcX = Splat(tag, plan.centreSrcX);
  const V centreSrcY = Splat(tag, plan.centreSrcY);
  const V scale = Splat(tag, record.scale);
  const V scaleU = Splat(tag, FisheyeScaleU);
  const V scaleV = Splat(tag, FisheyeScaleV);
  const float maxCol = static_cast<float>(plan.maxCol);
  const float maxRow = static_cast<float>(plan.maxRow);
  const ptrdiff_t srcStride = record.srcStride;
  SamplePoints<kLanes> points;

  for (int32_t y = firstRow; y < endRow; ++y) {
    const float dyScalar = static_cast<float>(y) - plan.centreDestY;
    const V dy = Splat(tag, dyScalar);
    V sinPolar = tag;
    V cosPolar = tag;
    if (plan.mode == Fisheye) {
      const float polar = PolarAngleOf(dyScalar);
      sinPolar = Splat(tag, SinOf(polar));
      cosPolar = Splat(tag, CosOf(polar));
    }
    uint8_t* destRow = record.destBase + static_cast<ptrdiff_t>(y) * record.destStride;

    for (int32_t x0 = 0; x0 < record.destWidth; x0 += kLanes) {
      const V dx = Consecutive(tag, x0) - centreDestX;
      V u = dx;
      V v = dy;
      if (plan.mode == Fisheye) {
        ProjectFromAngles(Load(tag, plan.sinAzimuth + x0), Load(tag, plan.cosAzimuth + x0), sinPolar, cosPolar,
                          scaleU, scaleV, u, v);
      } else if (plan.mode == Scaled) {
        u = scale * dx;
        v = scale * dy;
      }
      // Nearest source pixel, ties to even, and the fraction left over.
      const V sourceX = u + centreSrcX;
      const V sourceY = v + centreSrcY;
      const V nearestX = RoundToNearest(sourceX);
      const V nearestY = RoundToNearest(sourceY);
      V across[4];
      V down[4];
      CubicWeightsOf(sourceX - nearestX, across);
      CubicWeightsOf(sourceY - nearestY, down);
      Store(points.nearestX, nearestX);
      Store(points.nearestY, nearestY);
      for (int j = 0; j < 4; ++j) {
        Store(points.across[j], across[j]);
        Store(points.down[j], down[j]);
      }

      // Lanes whose neighbourhood is not wholly inside the source, and those
      // past the row's end, get no taps and are left as they are.
      const int lanes = std::min(kLanes, record.destWidth - x0);
      const uint8_t* taps[kLanes];
      bool any = false;
      for (int p = 0; p < kLanes; ++p) {
        // The plain kernel's test, on the same floats.
        const float column = points.nearestX[p] - 1.0f;
        const float row = points.nearestY[p] - 1.0f;
        taps[p] = nullptr;
        if (p < lanes && row >= 0.0f && column >= 0.0f && row <= maxRow && column <= maxCol) {
          taps[p] = record.srcBase + static_cast<ptrdiff_t>(row) * srcStride + 4 * static_cast<ptrdiff_t>(column);
          any = true;
        }
      }
      if (any) sample(destRow + 4 * static_cast<ptrdiff_t>(x0), taps, srcStride, points);
    }
  }
}

}  // namespace
