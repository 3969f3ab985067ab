#pragma once
#include <cstdint>

// Equidistant fisheye model; constants derived from the picture height.
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
float SinOf(float angle);
float CosOf(float angle);
