#pragma once
#include <array>
#include <cmath>
#include <cstddef>
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
  // The bytes of a source and a destination pixel: 4, or 8 where both hold
  // 16-bit samples (PixelBuffer16); the record's strides are in bytes either way.
  int32_t pixelBytes = kBytesPerPixel;
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
// The same for 16-bit samples (pixelBytes 8); the plain loop takes both.
void ResampleRows16Sse2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);
void ResampleRows16Avx2(const ResamplePlan& plan, int32_t firstRow, int32_t endRow);

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
// The same for 16-bit samples (pixelBytes 8, pixel x at row + 8 * x); the
// plain pass takes both.
void SampleLensRow16Sse2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                         float* axial, uint8_t* row);
void SampleLensRow16Avx2(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                         float* axial, uint8_t* row);

// Where one destination pixel samples: the byte offset of the first (left,
// bottom) tap of its 4 x 4 neighbourhood from the source's first pixel, -1
// when it has no whole neighbourhood there, and the fractions across and down
// from its nearest source pixel, from which the cubic weights come.
struct PlacedSample {
  ptrdiff_t taps = -1;
  float across = 0.0f;
  float down = 0.0f;
};

// The plain loop's placing of source position (sourceX, sourceY) under
// `plan`: the nearest pixel, ties to even, and whether its neighbourhood is
// wholly inside the source. The vectorised kernels place to the same bits.
bool PlaceSample(const ResamplePlan& plan, float sourceX, float sourceY, PlacedSample& placed);
// Where every pixel of destination row y samples under `plan` (placed holds
// the row's width).
void PlaceRow(const ResamplePlan& plan, int32_t y, PlacedSample* placed);
// The same for a GeneralLens plan's lens row pass over `spans` alone, with
// axial as the lens row kernels give it; other entries are not touched.
void PlaceLensRow(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                  PlacedSample* placed, float* axial);

// Samples `count` placed pixels into destination + 4 * i, their unused
// bytes kept: pixel i from taps[i] (-1: left as it is) with fractions
// across[i] and down[i], with the bits of the other kernels. The fractions
// are read a vector (8 entries) past `count`; the source's offsets fit in 31
// bits.
using PlacedSampler = void (*)(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                               int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride);
void SamplePlacedPlain(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                       int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride);
void SamplePlacedSse2(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                      int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride);
void SamplePlacedAvx2(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                      int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride);

// Planes of one byte a pixel, a video frame's: its luma, or its two chroma
// planes at once, which share their map. For plane p of `planes` (1 or 2),
// byte i of destinations[p] comes from sources[p] + taps[i] (-1: left as it
// is), a neighbourhood's rows srcStride apart (negative: upwards in storage),
// at the fractions of fractions[i] (PackFractions'). The cubic weights are
// SamplePlacedPlain's, worked out in integers (PlaneWeights) in
// kPlaneWeightOne parts; each row of taps is summed exactly, kept to 1/64 of
// a level, then the rows summed exactly and rounded once. The taps and
// fractions are read a vector past `count`.
inline constexpr int32_t kPlaneWeightOne = 16384;
// The four cubic weights of a fraction in kFractionStep steps (-16384 to
// 16384), in kPlaneWeightOne parts summing to exactly one: each step rounds
// as the vector form's 16-bit lanes do. The weights' parts are twice the
// fractions' steps, so each product's constant carries a half: 2731 is
// 32768 / 12, a sixth.
inline std::array<int32_t, 4> PlaneWeights(int32_t t) {
  const auto product = [](int32_t a, int32_t b) { return (a * b + 0x4000) >> 15; };  // pmulhrsw's
  const int32_t t2 = product(t, t);
  const int32_t t3 = product(t2, t);
  const int32_t w3 = product(t3 - t, 2731);                                  // (t^3 - t) / 6
  const int32_t w0 = product(t2 - t, 8192) - w3;                             // (t^2 - t) / 2 - w3
  const int32_t w1 = product(t3 - t, 8192) - product(t2, 16384) + kPlaneWeightOne;  // 3 w3 - t^2 / 2 + 1
  return {w0, w1, kPlaneWeightOne - w0 - w1 - w3, w3};
}
// A row of taps summed against its weights is kept in 1/64 of a level; the
// half that this drops on average is added back in the rounding.
inline constexpr int32_t kPlaneRowShift = 8;
inline constexpr int32_t kPlaneShift = 20;
inline constexpr int32_t kPlaneRounding = (1 << (kPlaneShift - 1)) + kPlaneWeightOne / 2;
struct PlaneSet {
  int32_t planes = 1;
  uint8_t* destinations[2] = {};
  const uint8_t* sources[2] = {};
};
using PlaneSampler = void (*)(const PlaneSet& set, const int32_t* taps, const uint32_t* fractions, int32_t count,
                              ptrdiff_t srcStride);
void SamplePlanesPlain(const PlaneSet& set, const int32_t* taps, const uint32_t* fractions, int32_t count,
                       ptrdiff_t srcStride);
void SamplePlanesAvx2(const PlaneSet& set, const int32_t* taps, const uint32_t* fractions, int32_t count,
                      ptrdiff_t srcStride);

// The back lens's bytes of a plane under its gain, `gain` times their
// distance from `origin` (luma's black, or the colour differences' middle):
// Gained's value. Where `back` is given, bytes i of `pixels` (the front's)
// become the front's and the gained back's blended, Blended's value with
// the front's weight weights[i]; without, the pixels themselves are the
// back's and are gained. Entries whose taps[i] is -1 stay as they are.
struct PlaneGain {
  float origin = 0.0f;
  float gain = 1.0f;
};
inline uint8_t Gained(uint8_t v, const PlaneGain& g) {
  const float value = std::floor(g.origin + (static_cast<float>(v) - g.origin) * g.gain + 0.5f);
  return static_cast<uint8_t>(value <= 0.0f ? 0.0f : value >= 255.0f ? 255.0f : value);
}
using PlaneFinisher = void (*)(uint8_t* pixels, const uint8_t* back, const float* weights, const int32_t* taps,
                               int32_t count, const PlaneGain& gain);
void FinishPlanePlain(uint8_t* pixels, const uint8_t* back, const float* weights, const int32_t* taps, int32_t count,
                      const PlaneGain& gain);
void FinishPlaneAvx2(uint8_t* pixels, const uint8_t* back, const float* weights, const int32_t* taps, int32_t count,
                     const PlaneGain& gain);

// A sample's fractions across and down (each -0.5 to 0.5) in one word: two
// signed 16-bit halves, across in the low one, in steps of 1/32768 pixel.
inline constexpr float kFractionStep = 1.0f / 32768.0f;
uint32_t PackFractions(float across, float down);

enum class KernelPath : int32_t { Automatic, Plain, Sse2, Avx2 };

// Whether this processor (and its system) runs AVX2 code.
bool ProcessorHasAvx2();

// The path passes take: by default the fastest the processor runs, chosen
// once; tests and benchmarks force each path in turn. Forcing AVX2 on a
// processor without it is refused (false).
bool UseKernelPath(KernelPath path);
KernelPath ActiveKernelPath();
const char* KernelPathName(KernelPath path);

// The placed-pixel sampler for the path in use; the sample tables are made.
PlacedSampler ActivePlacedSampler();
// The plane sampler for the path in use (SSE2 takes the plain one).
PlaneSampler ActivePlaneSampler();
PlaneFinisher ActivePlaneFinisher();
