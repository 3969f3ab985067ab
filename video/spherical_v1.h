#pragma once
#include <cstdint>
#include <string>

#include "imageio/result.h"
#include "transform/lens.h"

// Spherical Video V1: the GSpherical XML (namespace
// http://ns.google.com/videos/1.0/spherical/) that older 360-degree players
// and upload sites read from a `uuid` box in an MP4 file's video track.

// The GSpherical XML of Spherical Video V1 for a panorama of this shape, `width` x `height` pixels as saved.
std::string SphericalV1Xml(SaveShape shape, int32_t width, int32_t height);

// Inserts a `uuid` box ffcc8263-f855-4a93-8814-587a02521fdd holding `xml` into the first video `trak` of the MP4 file `path` (whose `moov` follows its media data), fixing the `trak` and `moov` sizes in place. Fails, changing nothing, when the file is not such an MP4.
Result InsertSphericalV1(const std::string& path, const std::string& xml);
