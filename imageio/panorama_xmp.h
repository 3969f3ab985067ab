#pragma once
#include <cstdint>
#include <string>

#include "imageio/picture_encoding.h"

// What Google's panorama metadata (GPano) says about a saved panorama.
struct PanoramaXmp {
  int32_t fullWidth = 0;
  int32_t fullHeight = 0;
  int32_t croppedWidth = 0;
  int32_t croppedHeight = 0;
  int32_t croppedLeft = 0;
  int32_t croppedTop = 0;
  double poseHeading = 0.0;     // degrees
  double initialHeading = 0.0;  // degrees, 0 to 359
  double initialPitch = 0.0;    // degrees, -90 to 90
};

// For a panorama saved in `shape` from a picture `side` pixels high, taken
// with the lens turned by this yaw and pitch.
PanoramaXmp PanoramaXmpFor(SaveShape shape, int32_t side, double yawDegrees, double pitchDegrees);

// The XMP packet, UTF-8, the same bytes on every system.
std::string PanoramaXmpPacket(const PanoramaXmp& xmp);

// Degrees as the packet writes them: rounded to 0.01, no trailing zeros.
std::string DegreesText(double degrees);
