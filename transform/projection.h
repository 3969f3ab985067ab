#pragma once
#include <cstdint>

// The program's own lens (an equidistant fisheye, 198 degrees across the
// picture height, centred) and its constants, derived from the picture height.
struct ProgramLensConstants {
  float panoramaRadius;   // panorama pixels per radian
  float radiansPerPixel;  // angular step of one panorama pixel
  float scaleU;           // fisheye pixels per radian off the lens axis
  float scaleV;
  float halfPi;           // polar angle of the panorama's centre row
};
ProgramLensConstants ProgramLensFor(int32_t height);

// The same constants for the picture last loaded into the window.
extern float PanoramaRadius;   // panorama pixels per radian
extern float RadiansPerPixel;  // angular step of one panorama pixel
extern float FisheyeScaleU;    // fisheye pixels per radian off the lens axis
extern float FisheyeScaleV;
extern float HalfPi;           // polar angle of the panorama's centre row

void SetupProjection(int32_t height);

// (x, y): offset of a panorama pixel from the panorama centre; (u, v): offset
// of the matching point from the fisheye centre, in source pixels.
void ProjectFisheye(float x, float y, float& u, float& v);

// The same mapping from the sines and cosines of the azimuth a = x * RadiansPerPixel
// and of the polar angle p = HalfPi - y * RadiansPerPixel, which depend only on
// the column and on the row, so a pass can tabulate them.
void ProjectFisheyeFromAngles(float sinAzimuth, float cosAzimuth, float sinPolar,
                              float cosPolar, float& u, float& v);

// Our own single-precision arctangent (lanes.h), the same on every system.
float ArcTangent(float t);

float AzimuthOf(float x);
float PolarAngleOf(float y);
float PolarAngleOf(float y, const ProgramLensConstants& lens);
float SinOf(float angle);
float CosOf(float angle);
