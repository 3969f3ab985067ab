#pragma once
#include "imageio/result.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"

// Finds the image circle of a circular fisheye picture, in source coordinates.
// On failure `circle` is left as it was.
Result FindImageCircle(const PixelBuffer& picture, ImageCircle& circle);
