#pragma once
#include <cstdint>

#include "transform/lanes.h"
#include "transform/projection.h"
#include "transform/stores.h"

// The pixel loop of a resampling pass, in several forms that give the same
// bits: the plain one, which follows the design step by step, and vectorised
// ones for SSE2 (every x86-64 processor) and AVX2. A pass sets up a plan once
// and hands bands of destination rows to the kernel, from several threads.

struct ResamplePlan {
  TransformRecord record;
  int32_t mode = Centred;
  // Centres at size / 2 - 0.5, halved in floating point.
  float centreDestX = 0.0f;
  float centreDestY = 0.0f;
  float centreSrcX = 0.0f;
  float centreSrcY = 0.0f;
  // The leftmost / lowest tap of a neighbourhood may go no further than this.
  int32_t maxCol = 0;
  int32_t maxRow = 0;
  // Fisheye and GeneralLens: sine and cosine of every destination column's
  // azimuth (for GeneralLens its longitude less the camera's yaw), with
  // zeros after the last column up to a multiple of 8 entries.
  const float* sinAzimuth = nullptr;
  const float* cosAzimuth = nullptr;
  // Column width - 1 - x has the negated sine and the same cosine as column
  // x, so its offset from the lens centre is the mirror image.
  bool mirroredColumns = false;
  // Fisheye: the program's own lens.
  ProgramLensConstants program{};
  // GeneralLens: the lens, each destination row's constants, and the roll
  // (with a calibrated lens's matrix), which turns the offsets about the
  // lens centre (centreSrcX, centreSrcY).
  LensPassConstants lens;
  const LensRowConstants* lensRows = nullptr;
  LensTurn turn;
};

using ResampleRowsKernel = void (*)(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);

void ResampleRowsPlain(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);
void ResampleRowsSse2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);
void ResampleRowsAvx2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);

// Destination columns [begin, end) of one row; begin a multiple of 8, end a
// multiple of 8 or the row's width.
struct ColumnSpan {
  int32_t begin = 0;
  int32_t end = 0;
};

// A GeneralLens plan's pass over the columns `spans` of destination row `y`
// alone: pixel x's sample goes to row + 4 * x (its unused byte kept), and
// axial[x] becomes the cosine of its direction's angle off the lens axis, or
// not a number where the pixel is not sampled; `axial` holds the row's width
// rounded up to a multiple of 8, and entries past a span's end up to the next
// multiple of 8 may change. No other pixel or entry is touched. The same bits
// on every path.
// A lens row pass works the lens model out exactly every kLensGrid columns
// (from each span's start) and interpolates between; the plan's longitude
// tables reach kLensGrid entries past the padded width.
inline constexpr int kLensGrid = 8;
using LensRowKernel = void (*)(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                               float* axial, uint8_t* row);
void SampleLensRowPlain(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                        uint8_t* row);
void SampleLensRowSse2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                       uint8_t* row);
void SampleLensRowAvx2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                       uint8_t* row);

enum class KernelPath : int32_t { Automatic, Plain, Sse2, Avx2 };

// Whether this processor (and its system) runs AVX2 code.
bool ProcessorHasAvx2();

// The path passes take: by default the fastest the processor runs, chosen
// once; tests and benchmarks force each path in turn. Forcing AVX2 on a
// processor without it is refused (false).
bool UseKernelPath(KernelPath path);
KernelPath ActiveKernelPath();
const char* KernelPathName(KernelPath path);
