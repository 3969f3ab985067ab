#pragma once
// One pass through a lens, set up for callers that drive the row kernels
// themselves, a row at a time (the two-lens stitch, its alignment and its
// exposure match).
#include <vector>

#include "transform/lanes.h"
#include "transform/lens.h"
#include "transform/resample_kernels.h"
#include "transform/stores.h"

struct LensPlan {
  ResamplePlan plan;  // points into the tables below
  std::vector<float> sinLongitude;
  std::vector<float> cosLongitude;
  std::vector<LensRowConstants> rows;

  LensPlan() = default;
  LensPlan(const LensPlan&) = delete;
  LensPlan& operator=(const LensPlan&) = delete;
};

// The pass of `record` (whose source may be part of a wider picture: its
// srcStride says how far apart the rows are) through `lens`, whose image
// circle is `circle` in the source's own coordinates (y down).
void PlanLens(LensPlan& pass, const TransformRecord& record, const Lens& lens, const ImageCircle& circle);

// TransformPicture's pass of `record` through `lens`.
void PlanPicture(LensPlan& pass, const TransformRecord& record, const Lens& lens);

// The lens row pass for the path in use; the sample tables are made.
LensRowKernel ActiveLensRowKernel();
// The same for plans of 16-bit samples.
LensRowKernel ActiveLensRowKernel16();
