#pragma once
#include <string>

#include "imageio/picture_encoding.h"
#include "imageio/result.h"

// Writes DisplayStore in the shape SaveAsRectangle chooses. `name` becomes the
// name written (BmpFileName). An existing file is replaced only once the new
// one is complete; on failure it is left as it was.
Result WriteBmpFile(std::string& name);

// The same for any format: a JPEG or PNG file carries the loaded file's EXIF
// and colour profile, and the panorama's own metadata when the display holds
// a panorama.
Result WriteDisplayFile(const std::string& name, PictureFormat format);
