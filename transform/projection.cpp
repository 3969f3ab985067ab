#include "transform/projection.h"

#include <cmath>

#include "transform/lanes.h"

float PanoramaRadius = 0.0f;
float RadiansPerPixel = 0.0f;
float FisheyeScaleU = 0.0f;
float FisheyeScaleV = 0.0f;
float HalfPi = 0.0f;

// The lens model's constants are decimals as the design writes them, not the
// exact values they approximate: 2 * 0.159154 is 1/pi to six digits, 1.570796
// is a little below pi/2 (so no polar cosine is ever exactly 0), and the 1.1
// shrinks the 180-degree circle to H / 1.1 across, 198 degrees over the height.
constexpr double kHalfTurnPerRadian = 0.159154;
constexpr float kCircleShrink = 1.1f;
constexpr float kHalfPiAsWritten = 1.570796f;

ProgramLensConstants ProgramLensFor(int32_t height) {
  ProgramLensConstants lens;
  lens.panoramaRadius = static_cast<float>(2.0 * height * kHalfTurnPerRadian);
  lens.radiansPerPixel = 1.0f / lens.panoramaRadius;
  lens.scaleV = lens.panoramaRadius / kCircleShrink;
  lens.scaleU = lens.panoramaRadius / kCircleShrink;
  lens.halfPi = kHalfPiAsWritten;
  return lens;
}

void SetupProjection(int32_t height) {
  const ProgramLensConstants lens = ProgramLensFor(height);
  PanoramaRadius = lens.panoramaRadius;
  RadiansPerPixel = lens.radiansPerPixel;
  FisheyeScaleV = lens.scaleV;
  FisheyeScaleU = lens.scaleU;
  HalfPi = lens.halfPi;
}

float AzimuthOf(float x) { return x * RadiansPerPixel; }

float PolarAngleOf(float y) { return HalfPi - y * RadiansPerPixel; }

float PolarAngleOf(float y, const ProgramLensConstants& lens) { return lens.halfPi - y * lens.radiansPerPixel; }

// Sines and cosines are evaluated in double and rounded once, which gives the
// same single-precision value with every C library.
float SinOf(float angle) { return static_cast<float>(std::sin(static_cast<double>(angle))); }

float CosOf(float angle) { return static_cast<float>(std::cos(static_cast<double>(angle))); }

float ArcTangent(float t) { return ArcTangentOf(t); }

void ProjectFisheyeFromAngles(float sinAzimuth, float cosAzimuth, float sinPolar,
                              float cosPolar, float& u, float& v) {
  // The vectorised transform runs the same template on its lanes.
  ProjectFromAngles(sinAzimuth, cosAzimuth, sinPolar, cosPolar, FisheyeScaleU, FisheyeScaleV, u, v);
}

void ProjectFisheye(float x, float y, float& u, float& v) {
  float azimuth = AzimuthOf(x);
  float polar = PolarAngleOf(y);
  ProjectFisheyeFromAngles(SinOf(azimuth), CosOf(azimuth), SinOf(polar), CosOf(polar), u, v);
}
