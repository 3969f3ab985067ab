#pragma once
// Single-precision arithmetic written once for a single float and for SSE2 and
// AVX2 vectors of floats, so that the projection and the cubic weights run the
// same operations in the same order on every path and give the same bits.
//
// Everything here has internal linkage on purpose: the AVX2 kernel includes
// this header too, compiled with other instructions, and the linker must never
// hand one translation unit's copy of an inline function to another.
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX2__)
#include <immintrin.h>
#endif

// What a pass through any lens holds fixed: the camera's pitch, the model and
// its focal length in source pixels, and the cosine of half the field of view.
// A calibrated lens (calibrated_lens.h) takes its base model's radius b per
// unit of focal length times the polynomial P(b), with `focal` then plain f.
struct LensPassConstants {
  int32_t model = 0;        // LensModel
  float sinPitch = 0.0f;
  float cosPitch = 1.0f;
  float focal = 0.0f;       // f, or 2f for stereographic, f * sqrt(2) for equisolid
  float cosHalfFov = -2.0f;  // below -1 when the lens sees every direction
  bool calibrated = false;
  float poly[9] = {};       // P's coefficients, the constant first
};

// From a lens's offsets (across, up), before the camera's roll, to offsets
// (u, v) from the source centre: the roll, and for a calibrated lens its
// matrix too; and for a calibrated lens the circle that limits its field
// (its centre relative to the source centre), outside which it sees nothing.
struct LensTurn {
  float m[2][2] = {{1.0f, 0.0f}, {0.0f, 1.0f}};
  bool limited = false;
  float limitX = 0.0f;
  float limitY = 0.0f;
  float limitRadiusSquared = 0.0f;
};

// A panorama row's part of the direction: the cosine of its latitude, and its
// sine times the pitch's cosine and sine.
struct LensRowConstants {
  float cosLatitude;
  float upCos;
  float upSin;
};

namespace {

// --- one float ---------------------------------------------------------------
inline float Splat(float, float value) { return value; }
inline float Sqrt(float x) { return std::sqrt(x); }
inline float Abs(float x) { return std::fabs(x); }
inline bool Greater(float a, float b) { return a > b; }
inline float Select(bool mask, float ifTrue, float ifFalse) { return mask ? ifTrue : ifFalse; }
// The sign of `sign` on a magnitude that is +0 or more.
inline float WithSignOf(float magnitude, float sign) { return std::copysign(magnitude, sign); }

#if defined(__SSE2__)
// --- four floats -------------------------------------------------------------
struct Float4 {
  __m128 v;
};
inline Float4 Splat(Float4, float value) { return {_mm_set1_ps(value)}; }
inline Float4 operator+(Float4 a, Float4 b) { return {_mm_add_ps(a.v, b.v)}; }
inline Float4 operator-(Float4 a, Float4 b) { return {_mm_sub_ps(a.v, b.v)}; }
inline Float4 operator*(Float4 a, Float4 b) { return {_mm_mul_ps(a.v, b.v)}; }
inline Float4 operator/(Float4 a, Float4 b) { return {_mm_div_ps(a.v, b.v)}; }
inline Float4 Sqrt(Float4 x) { return {_mm_sqrt_ps(x.v)}; }
inline Float4 Abs(Float4 x) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), x.v)}; }
inline Float4 Greater(Float4 a, Float4 b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
inline Float4 Select(Float4 mask, Float4 ifTrue, Float4 ifFalse) {
  return {_mm_or_ps(_mm_and_ps(mask.v, ifTrue.v), _mm_andnot_ps(mask.v, ifFalse.v))};
}
inline Float4 WithSignOf(Float4 magnitude, Float4 sign) {
  return {_mm_or_ps(magnitude.v, _mm_and_ps(_mm_set1_ps(-0.0f), sign.v))};
}
// All ones in the lanes where a <= b.
inline Float4 LessOrEqual(Float4 a, Float4 b) { return {_mm_cmple_ps(a.v, b.v)}; }
inline Float4 operator&(Float4 a, Float4 b) { return {_mm_and_ps(a.v, b.v)}; }
// The lanes that are all ones, as bits 0..3 of an integer.
inline int LaneBits(Float4 mask) { return _mm_movemask_ps(mask.v); }
// row * rowBytes + 4 * column in the lanes of `inside`, -1 in the others;
// row and column hold whole numbers, and in `inside` lanes the result is
// below 2^31. SSE2 multiplies two lanes at a time, into 64 bits.
// Pixels are 1 << kColumnShift bytes apart (4 for 8-bit samples, 8 for 16).
template <int kColumnShift = 2>
inline void StoreTapOffsets(int32_t* to, Float4 inside, Float4 column, Float4 row, int32_t rowBytes) {
  const __m128i rows = _mm_cvttps_epi32(row.v);
  const __m128i stride = _mm_set1_epi32(rowBytes);
  const __m128i even = _mm_mul_epu32(rows, stride);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(rows, 32), stride);
  const __m128i products = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
  const __m128i offsets = _mm_add_epi32(products, _mm_slli_epi32(_mm_cvttps_epi32(column.v), kColumnShift));
  const __m128i outside = _mm_xor_si128(_mm_castps_si128(inside.v), _mm_set1_epi32(-1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_or_si128(offsets, outside));
}
inline Float4 Load(Float4, const float* from) { return {_mm_loadu_ps(from)}; }
inline void Store(float* to, Float4 x) { _mm_storeu_ps(to, x.v); }
// The nearest integer, ties to even (the processor's rounding mode), for
// values of magnitude below 2^31; others come out as -2^31.
inline Float4 RoundToNearest(Float4 x) { return {_mm_cvtepi32_ps(_mm_cvtps_epi32(x.v))}; }
// The lanes in the opposite order.
inline Float4 Reversed(Float4 x) { return {_mm_shuffle_ps(x.v, x.v, _MM_SHUFFLE(0, 1, 2, 3))}; }
// The sign flipped, zeros and infinities included, as unary minus does.
inline Float4 Negated(Float4 x) { return {_mm_xor_ps(x.v, _mm_set1_ps(-0.0f))}; }
// first, first + 1, ... as floats.
inline Float4 Consecutive(Float4, int32_t first) {
  return {_mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(first), _mm_setr_epi32(0, 1, 2, 3)))};
}
#endif

#if defined(__AVX2__)
// --- eight floats ------------------------------------------------------------
struct Float8 {
  __m256 v;
};
inline Float8 Splat(Float8, float value) { return {_mm256_set1_ps(value)}; }
inline Float8 operator+(Float8 a, Float8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline Float8 operator-(Float8 a, Float8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline Float8 operator*(Float8 a, Float8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline Float8 operator/(Float8 a, Float8 b) { return {_mm256_div_ps(a.v, b.v)}; }
inline Float8 Sqrt(Float8 x) { return {_mm256_sqrt_ps(x.v)}; }
inline Float8 Abs(Float8 x) { return {_mm256_andnot_ps(_mm256_set1_ps(-0.0f), x.v)}; }
inline Float8 Greater(Float8 a, Float8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
inline Float8 Select(Float8 mask, Float8 ifTrue, Float8 ifFalse) { return {_mm256_blendv_ps(ifFalse.v, ifTrue.v, mask.v)}; }
inline Float8 WithSignOf(Float8 magnitude, Float8 sign) {
  return {_mm256_or_ps(magnitude.v, _mm256_and_ps(_mm256_set1_ps(-0.0f), sign.v))};
}
inline Float8 LessOrEqual(Float8 a, Float8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)}; }
inline Float8 operator&(Float8 a, Float8 b) { return {_mm256_and_ps(a.v, b.v)}; }
inline int LaneBits(Float8 mask) { return _mm256_movemask_ps(mask.v); }
template <int kColumnShift = 2>
inline void StoreTapOffsets(int32_t* to, Float8 inside, Float8 column, Float8 row, int32_t rowBytes) {
  const __m256i offsets = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_cvttps_epi32(row.v), _mm256_set1_epi32(rowBytes)),
                                           _mm256_slli_epi32(_mm256_cvttps_epi32(column.v), kColumnShift));
  const __m256i outside = _mm256_xor_si256(_mm256_castps_si256(inside.v), _mm256_set1_epi32(-1));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_or_si256(offsets, outside));
}
inline Float8 Load(Float8, const float* from) { return {_mm256_loadu_ps(from)}; }
inline void Store(float* to, Float8 x) { _mm256_storeu_ps(to, x.v); }
inline Float8 RoundToNearest(Float8 x) { return {_mm256_round_ps(x.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)}; }
inline Float8 Reversed(Float8 x) { return {_mm256_permutevar8x32_ps(x.v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0))}; }
inline Float8 Negated(Float8 x) { return {_mm256_xor_ps(x.v, _mm256_set1_ps(-0.0f))}; }
inline Float8 Consecutive(Float8, int32_t first) {
  return {_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(first), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)))};
}
#endif

// --- the shared formulas -------------------------------------------------------

// Arctangent in single precision, within 2 ulp of the correctly rounded value
// (checked over every float by tests/arctangent_test.cpp). The C libraries'
// atanf differ from one another in the last bit, and the panorama must come
// out the same on every system, so the program carries its own.
// The argument is brought into [-tan(pi/8), tan(pi/8)] by
// atan(t) = pi/2 + atan(-1/t) above tan(3pi/8) and pi/4 + atan((t-1)/(t+1))
// above tan(pi/8); there an odd polynomial of degree 9 (the coefficients of
// Cephes' atanf) does the rest. No branch: every lane takes the same steps,
// and an infinite argument gives pi/2.
template <class V>
V ArcTangentOf(V t) {
  const V one = Splat(t, 1.0f);
  const V ax = Abs(t);
  const auto beyond3PiOver8 = Greater(ax, Splat(t, 2.414213562373095f));
  const auto beyondPiOver8 = Greater(ax, Splat(t, 0.4142135623730950f));
  const V numerator = Select(beyond3PiOver8, Splat(t, -1.0f), Select(beyondPiOver8, ax - one, ax));
  const V denominator = Select(beyond3PiOver8, ax, Select(beyondPiOver8, ax + one, one));
  const V x = numerator / denominator;
  // pi/2 and pi/4 as a float plus the part the float misses.
  const V baseHigh = Select(beyond3PiOver8, Splat(t, 1.57079637050628662109375f),
                            Select(beyondPiOver8, Splat(t, 0.785398185253143310546875f), Splat(t, 0.0f)));
  const V baseLow = Select(beyond3PiOver8, Splat(t, -4.37113900018624283e-8f),
                           Select(beyondPiOver8, Splat(t, -2.18556950009312141e-8f), Splat(t, 0.0f)));
  const V z = x * x;
  const V poly = (((Splat(t, 8.05374449538e-2f) * z - Splat(t, 1.38776856032e-1f)) * z + Splat(t, 1.99777106478e-1f)) * z -
                  Splat(t, 3.33329491539e-1f)) *
                 z;
  const V y = baseHigh + ((poly * x + baseLow) + x);
  return WithSignOf(y, t);
}

// The lens model's mapping from the sines and cosines of a panorama pixel's
// azimuth and polar angle to its offset (u, v) from the fisheye centre, in
// source pixels. Each named value is a single-precision value.
template <class V>
void ProjectFromAngles(V sinAzimuth, V cosAzimuth, V sinPolar, V cosPolar, V scaleU, V scaleV, V& u, V& v) {
  // Unit direction: X toward increasing columns, Y toward increasing storage
  // rows, Z along the lens axis.
  const V dirX = sinAzimuth * sinPolar;
  const V dirY = cosPolar;
  const V dirZ = cosAzimuth * sinPolar;
  // r is the sine of the angle off the lens axis and never 0 (see HalfPi).
  const V r = Sqrt(dirX * dirX + dirY * dirY);
  // The one-argument arctangent: behind the lens plane (Z < 0) theta turns
  // negative and the point lands mirrored; the transform blanks those columns.
  const V theta = ArcTangentOf(r / dirZ);
  const V q = theta / r;
  u = dirX * scaleU * q;
  v = dirY * scaleV * q;
}

// Cubic Lagrange weights for samples at -1, 0, +1 and +2 from the nearest
// pixel, t in [-0.5, 0.5]. 1/6 and 1/3 as the design writes them; the weights
// sum to 1 only to about five digits, which the byte rounding never shows.
template <class V>
void CubicWeightsOf(V t, V weights[4]) {
  const V a = Splat(t, 0.16667f);
  const V b = Splat(t, 0.33333f);
  const V half = Splat(t, 0.5f);
  const V one = Splat(t, 1.0f);
  weights[0] = ((Splat(t, -0.16667f) * t + half) * t - b) * t;
  weights[1] = ((half * t - one) * t - half) * t + one;
  weights[2] = ((one - t) * t * half + one) * t;
  weights[3] = (t * t - one) * t * a;
}

// Any lens: from a direction's longitude (relative to the camera's yaw) and
// its row's constants to its offset from the image circle's centre in source
// pixels, `across` to the right and `up`, before the camera's roll turns it.
// Not a number where the lens does not see the direction. With `axial`, also
// the cosine of the direction's angle off the lens axis.
//
// The direction in the camera's frame, after the pitch: X to the right, Y up,
// Z along the lens axis; theta is its angle off the axis and r = sin(theta).
// Each model's rho(theta) / r is written without trigonometry where it can be:
// equisolid 2f sin(theta/2) / sin(theta) = f sqrt(2 / (1 + cos theta)),
// stereographic 2f tan(theta/2) / sin(theta) = 2f / (1 + cos theta),
// orthographic f sin(theta) / sin(theta) = f.
template <class V>
[[gnu::always_inline]] inline void ProjectThroughLens(V sinLongitude, V cosLongitude, const LensRowConstants& row, const LensPassConstants& pass,
                        V& across, V& up, V* axial = nullptr) {
  const V zero = Splat(sinLongitude, 0.0f);
  const V one = Splat(sinLongitude, 1.0f);
  const V cosLatitude = Splat(sinLongitude, row.cosLatitude);
  const V ahead = cosLatitude * cosLongitude;
  const V camX = cosLatitude * sinLongitude;
  const V camY = Splat(sinLongitude, row.upCos) - ahead * Splat(sinLongitude, pass.sinPitch);
  const V camZ = ahead * Splat(sinLongitude, pass.cosPitch) + Splat(sinLongitude, row.upSin);
  const V focal = Splat(sinLongitude, pass.focal);
  V ratio;
  if (pass.calibrated) {
    // b / r for the base model, then rho / r = f (b / r) P(b).
    const V r = Sqrt(camX * camX + camY * camY);
    V perR;
    switch (pass.model) {
      case 0: {
        const V t = r / camZ;
        const V angle = ArcTangentOf(t);
        const V theta = Select(Greater(zero, t), angle + Splat(sinLongitude, 3.14159265358979f), angle);
        perR = Select(Greater(r, zero), theta / r, one);
        break;
      }
      case 1: perR = Sqrt(Splat(sinLongitude, 2.0f) / (one + camZ)); break;
      case 2: perR = Splat(sinLongitude, 2.0f) / (one + camZ); break;
      default: perR = one; break;
    }
    const V b = perR * r;
    V p = Splat(sinLongitude, pass.poly[8]);
    for (int i = 7; i >= 0; --i) p = p * b + Splat(sinLongitude, pass.poly[i]);
    ratio = focal * perR * p;
  } else {
  switch (pass.model) {
    case 0: {  // equidistant: f theta / r
      const V r = Sqrt(camX * camX + camY * camY);
      const V t = r / camZ;
      const V angle = ArcTangentOf(t);
      // Behind the lens plane t is negative (or -inf on it) and theta = pi + atan(t).
      const V theta = Select(Greater(zero, t), angle + Splat(sinLongitude, 3.14159265358979f), angle);
      ratio = focal * Select(Greater(r, zero), theta / r, one);
      break;
    }
    case 1: ratio = focal / Sqrt(one + camZ); break;
    case 2: ratio = focal / (one + camZ); break;
    default: ratio = focal; break;
  }
  }
  const V unseen = Splat(sinLongitude, std::numeric_limits<float>::quiet_NaN());
  const auto outside = Greater(Splat(sinLongitude, pass.cosHalfFov), camZ);
  across = Select(outside, unseen, ratio * camX);
  up = Select(outside, unseen, ratio * camY);
  if (axial != nullptr) *axial = camZ;
}

// LensTurn for one float or a vector of them, its constants spread once.
template <class V>
struct TurnLanes {
  V m00, m01, m10, m11, limitX, limitY, limitRadiusSquared;
  bool limited;

  explicit TurnLanes(const LensTurn& turn)
      : m00(Splat(V{}, turn.m[0][0])),
        m01(Splat(V{}, turn.m[0][1])),
        m10(Splat(V{}, turn.m[1][0])),
        m11(Splat(V{}, turn.m[1][1])),
        limitX(Splat(V{}, turn.limitX)),
        limitY(Splat(V{}, turn.limitY)),
        limitRadiusSquared(Splat(V{}, turn.limitRadiusSquared)),
        limited(turn.limited) {}

  // For a plain roll, across cos - up sin and across sin + up cos, to the bit.
  void Apply(V across, V up, V& u, V& v) const {
    u = across * m00 + up * m01;
    v = across * m10 + up * m11;
    if (limited) {
      const V du = u - limitX;
      const V dv = v - limitY;
      u = Select(Greater(du * du + dv * dv, limitRadiusSquared), Splat(u, std::numeric_limits<float>::quiet_NaN()), u);
    }
  }
};

}  // namespace
