#pragma once
// Realistic test pictures: photographs of real scenes (tests/data/world, see
// its README) seen through fisheye lenses, and what makes a real camera's
// picture differ from an ideal one: a dark scene, vignetting, a lens hood's
// shadow, a black level, sensor noise, JPEG. Every step is deterministic (the
// noise has a seed). Across systems a level may differ by one where the C
// library's sine or arc tangent differs in its last bit, and JPEG comes from
// the system's own encoder (libjpeg-turbo, or WIC on Windows): tests give
// them room.
//
// Pictures are in the program's layout (pixel_buffer.h); positions in them
// are source coordinates (lens.h: the top-left pixel's centre is 0, 0, y
// down); directions are the world's of tests/lens_model.h (x east, y up,
// z ahead). A step that changes light works in levels 0 to 255 and rounds
// each result to the nearest level.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lens_model.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"

namespace realistic {

// A picture that owns its pixels.
struct Picture {
  std::vector<uint8_t> pixels;
  int32_t width = 0;
  int32_t height = 0;

  PixelBuffer View() const;
  // The pixel at column x, row y counted from the top.
  const uint8_t* At(int32_t x, int32_t y) const;
  uint8_t* At(int32_t x, int32_t y);
};

// Levels 0 to 255, fractions allowed.
struct Colour {
  double blue = 0, green = 0, red = 0;
};

// The world photograph `name` of tests/data/world ("forest.jpg", "sky.jpg",
// "lake.jpg"), read by the program's own loader once per run. It is the whole
// sphere: its columns span longitude -180 to 180 degrees (east to the right),
// its rows latitude 90 (top) to -90.
const Picture& WorldPhoto(const std::string& name);

// The world's colour in `direction` (any length), bilinear between the
// photograph's pixels, across longitude 180 too.
Colour WorldColour(const Picture& world, lens_model::Vector3 direction);

// The direction the point (x, y) of a picture sees; false where no lens sees
// it (the surround outside the image circle).
using PixelDirection = std::function<bool(double x, double y, lens_model::Vector3& direction)>;

// A picture `width` x `height` of `world` through `directionOf`: each pixel
// the world's colour at its centre's direction, black where it sees nothing.
// Pixels through which that boundary passes are the mean of 4 x 4 points
// inside them, so a rim is anti-aliased as a real lens's is.
Picture RenderFisheye(const Picture& world, int32_t width, int32_t height, const PixelDirection& directionOf);
// The same through an ideal lens (its model, field of view and turns) whose
// image circle is `circle`.
Picture RenderFisheye(const Picture& world, int32_t width, int32_t height, const Lens& lens,
                      const ImageCircle& circle);

// A 16-bit picture half the size of `large` (rendered at twice the size
// wanted), its pixels binned 2 x 2 as a sensor's sum the light: each sample
// the mean of four levels times 257, rounded, so that levels fall between the
// 8-bit ones (PixelBuffer16's layout).
std::vector<uint16_t> Binned16(const Picture& large);

// Multiplies every level by `factor`: a darker (or brighter) scene.
void ScaleLight(Picture& picture, double factor);
// Vignetting: the light at distance d from the circle's centre times
// 1 - (1 - rimShare) (d / radius)^2, rimShare at the rim (and beyond it).
void Vignette(Picture& picture, const ImageCircle& circle, double rimShare);
// A lens hood's soft shadow on the rim: over the arc `halfWidthDegrees` either
// side of `middleDegrees` (counter-clockwise from the right, as seen in the
// picture), the light falls smoothly from none lost `reach` pixels inside the
// rim to `depth` of it lost at the rim and beyond; the arc's ends are as soft.
void HoodShadow(Picture& picture, const ImageCircle& circle, double middleDegrees, double halfWidthDegrees,
                double depth, double reach);
// Adds `level` to every level: a sensor's black level, or flare.
void AddLevel(Picture& picture, double level);
// Adds to each level a nearly normal error (the sum of four uniform ones) of
// deviation `deviation`, from the generator seeded with `seed`.
void AddNoise(Picture& picture, double deviation, uint32_t seed);
// Saves the picture as a JPEG of `quality` with the program's encoder (its
// block grid at the top-left corner, as a camera's is) and decodes it again.
void JpegRoundTrip(Picture& picture, int quality);
// Paints a disc of `colour` (a sun, a plate, a wheel), anti-aliased.
void DrawDisc(Picture& picture, const ImageCircle& disc, Colour colour);

// The share of `circle`'s rim that the picture shows: the share of 720 points
// around it whose neighbours a pixel inside and outside both lie in the
// frame, the inside one at least `minLevels` brighter in (B + 2G + R) / 4.
double VisibleRimShare(const Picture& picture, const ImageCircle& circle, double minLevels = 8.0);

}  // namespace realistic
