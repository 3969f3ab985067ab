// Google's panorama metadata (GPano, http://ns.google.com/photos/1.0/panorama/)
// in an XMP packet of our own, which tells viewers and photo services that a
// saved picture is an equirectangular panorama, how much of the sphere it
// covers and where to look first.
#include "imageio/panorama_xmp.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>

namespace {

// A viewer's first look: the heading as a whole degree from 0 to 359, the
// pitch to a hundredth of a degree within -90 to 90, so that the packet never
// depends on the last bits of the lens settings.
double HeadingOf(double yawDegrees) {
  const long long whole = std::llround(yawDegrees) % 360;
  return static_cast<double>(whole < 0 ? whole + 360 : whole);
}

double PitchOf(double pitchDegrees) {
  return std::clamp(static_cast<double>(std::llround(pitchDegrees * 100.0)) / 100.0, -90.0, 90.0);
}

}  // namespace

// GPano places the sphere's longitudes across a 2N x N picture, the pose
// heading in its middle column. The square is the sphere's front half, so it
// sits in the middle of the full panorama (left N/2, rounded down for odd N);
// the rectangle holds that square in its left half, so its middle column
// looks 90 degrees to the right of the lens axis.
PanoramaXmp PanoramaXmpFor(SaveShape shape, int32_t side, double yawDegrees, double pitchDegrees) {
  assert(side > 0 && std::isfinite(yawDegrees) && std::isfinite(pitchDegrees));
  PanoramaXmp xmp;
  xmp.fullWidth = 2 * side;
  xmp.fullHeight = side;
  xmp.croppedHeight = side;
  switch (shape) {
    case SaveShape::Square:
      xmp.croppedWidth = side;
      xmp.croppedLeft = side / 2;
      xmp.initialHeading = HeadingOf(yawDegrees);
      xmp.initialPitch = PitchOf(pitchDegrees);
      break;
    case SaveShape::Rectangle:
      xmp.croppedWidth = 2 * side;
      xmp.poseHeading = 90.0;
      break;
    case SaveShape::Sphere:
      xmp.croppedWidth = 2 * side;
      xmp.initialHeading = HeadingOf(yawDegrees);
      xmp.initialPitch = PitchOf(pitchDegrees);
      break;
  }
  return xmp;
}

// Integer arithmetic on hundredths, not printf: the text cannot depend on a
// locale's decimal comma or a C library's rounding.
std::string DegreesText(double degrees) {
  const long long hundredths = std::llround(degrees * 100.0);
  const long long magnitude = std::llabs(hundredths);
  std::string text = hundredths < 0 ? "-" : "";
  text += std::to_string(magnitude / 100);
  const long long fraction = magnitude % 100;
  if (fraction != 0) {
    text += '.';
    text += static_cast<char>('0' + fraction / 10);
    if (fraction % 10 != 0) text += static_cast<char>('0' + fraction % 10);
  }
  return text;
}

// Plain elements rather than attributes, one per line, without the padding
// some writers leave for editing in place: the packet is written whole every
// time. begin="\xEF\xBB\xBF" is the byte-order mark XMP asks for in UTF-8.
std::string PanoramaXmpPacket(const PanoramaXmp& xmp) {
  std::string packet =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "  <rdf:Description rdf:about=\"\" xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\">\n";
  auto property = [&](const char* name, const std::string& value) {
    packet += std::string("   <GPano:") + name + ">" + value + "</GPano:" + name + ">\n";
  };
  property("ProjectionType", "equirectangular");
  property("UsePanoramaViewer", "True");
  property("FullPanoWidthPixels", std::to_string(xmp.fullWidth));
  property("FullPanoHeightPixels", std::to_string(xmp.fullHeight));
  property("CroppedAreaImageWidthPixels", std::to_string(xmp.croppedWidth));
  property("CroppedAreaImageHeightPixels", std::to_string(xmp.croppedHeight));
  property("CroppedAreaLeftPixels", std::to_string(xmp.croppedLeft));
  property("CroppedAreaTopPixels", std::to_string(xmp.croppedTop));
  property("PoseHeadingDegrees", DegreesText(xmp.poseHeading));
  property("InitialViewHeadingDegrees", DegreesText(xmp.initialHeading));
  property("InitialViewPitchDegrees", DegreesText(xmp.initialPitch));
  packet +=
      "  </rdf:Description>\n"
      " </rdf:RDF>\n"
      "</x:xmpmeta>\n"
      "<?xpacket end=\"w\"?>";
  return packet;
}
