#pragma once
#include <string>

#include "imageio/result.h"

// Writes DisplayStore in the shape SaveAsRectangle chooses. `name` becomes the
// name written (BmpFileName). An existing file is replaced only once the new
// one is complete; on failure it is left as it was.
Result WriteBmpFile(std::string& name);
