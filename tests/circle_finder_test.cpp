#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "realistic_pictures.h"
#include "transform/circle_finder.h"
#include "transform/dual_lens.h"

namespace {

enum class Inside { Blocks, Vignetted };

// A synthetic circular fisheye picture: a textured disc on a dark surround.
struct Scene {
  const char* name;
  int32_t width, height;
  double x, y, radius;   // the true circle, source coordinates
  Inside inside = Inside::Blocks;
  double rimWidth = 0;   // 0: sharp, each pixel lit by its coverage; else a linear fall this wide
  int32_t surround = 0;  // level outside the disc
  double noise = 0;      // standard deviation, levels
  bool darkSky = false;  // the top third of the disc 2 levels above the surround
};

uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// Share of the pixel at (x, y) inside the scene's circle.
double Coverage(const Scene& s, int32_t x, int32_t y) {
  const double d = std::sqrt((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y));
  if (s.rimWidth > 0) return std::clamp((s.radius + s.rimWidth / 2 - d) / s.rimWidth, 0.0, 1.0);
  if (d <= s.radius - 0.75) return 1.0;
  if (d >= s.radius + 0.75) return 0.0;
  constexpr int kSub = 16;
  int inside = 0;
  for (int i = 0; i < kSub; ++i) {
    for (int j = 0; j < kSub; ++j) {
      const double px = x - 0.5 + (i + 0.5) / kSub - s.x, py = y - 0.5 + (j + 0.5) / kSub - s.y;
      inside += px * px + py * py < s.radius * s.radius;
    }
  }
  return double(inside) / (kSub * kSub);
}

// Bottom-up B, G, R, unused (pixel_buffer.h). The texture is 24-pixel blocks of
// random colours from 70 to 230 on a slope of 20 levels across, so the rim
// meets steps of brightness; only + - * / and sqrt, so Linux and Windows draw
// alike.
std::vector<uint8_t> Render(const Scene& s) {
  std::vector<uint8_t> pixels(4 * size_t(s.width) * s.height);
  uint32_t noiseState = 88172645u;
  auto gaussian = [&] {  // sum of twelve uniforms: mean 0, deviation 1
    double sum = -6.0;
    for (int i = 0; i < 12; ++i) {
      noiseState ^= noiseState << 13;
      noiseState ^= noiseState >> 17;
      noiseState ^= noiseState << 5;
      sum += noiseState / 4294967296.0;
    }
    return sum;
  };
  for (int32_t y = 0; y < s.height; ++y) {
    uint8_t* row = pixels.data() + 4 * size_t(s.height - 1 - y) * s.width;
    for (int32_t x = 0; x < s.width; ++x) {
      const double coverage = Coverage(s, x, y);
      for (int c = 0; c < 3; ++c) {
        double lit = 70 + Hash(x / 24 + 1000 * c, y / 24) % 161 + 20.0 * x / s.width;
        if (s.inside == Inside::Vignetted) {
          const double d2 = ((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (s.radius * s.radius);
          lit *= 1.0 - 0.5 * d2;  // half as bright at the rim
        }
        if (s.darkSky && y < s.y - s.radius / 3) lit = s.surround + 2;
        double value = s.surround + coverage * (lit - s.surround) + (s.noise > 0 ? s.noise * gaussian() : 0.0);
        row[4 * x + c] = static_cast<uint8_t>(std::clamp(std::floor(value + 0.5), 0.0, 255.0));
      }
    }
  }
  return pixels;
}

TEST(CircleFinderTest, FindsSyntheticCirclesToAQuarterPixel) {
  const Scene scenes[] = {
      {"centred", 1200, 900, 599.87, 449.29, 430.3},
      {"off centre by a tenth of the width, and down", 1600, 1200, 960.3, 670.4, 480.7},
      {"clipped at top and bottom", 1500, 1000, 749.7, 499.2, 640.4},
      {"clipped, 3:2 with only short arcs left and right", 1800, 1200, 900.6, 600.3, 860.2},
      {"dim surround", 1200, 900, 610.2, 440.6, 420.9, Inside::Blocks, 0, 14, 1.5},
      {"dark sky", 1200, 900, 595.5, 452.5, 440.25, Inside::Blocks, 0, 2, 2.0, true},
      {"noisy", 1200, 900, 601.1, 447.8, 425.6, Inside::Blocks, 0, 0, 12.0},
      {"soft vignetted rim", 1200, 900, 598.4, 451.9, 430.0, Inside::Vignetted, 5.0, 0, 3.0},
      {"small picture, clipped, noisy, dark sky", 640, 480, 322.3, 238.6, 260.1, Inside::Blocks, 0, 3, 8.0, true},
      {"large picture", 3000, 2000, 1470.2, 1012.7, 905.5, Inside::Vignetted, 2.0, 5, 4.0},
  };
  for (const Scene& s : scenes) {
    std::vector<uint8_t> pixels = Render(s);
    const PixelBuffer picture{pixels.data(), s.width, s.height};
    ImageCircle found;
    const Result result = FindImageCircle(picture, found);
    ASSERT_TRUE(result.ok()) << s.name << ": " << result.reason();
    // Half a pixel is what the transform can live with; the finder keeps to a
    // quarter here, so that a slip of half a pixel in the pixel centres shows.
    EXPECT_NEAR(found.x, s.x, 0.25) << s.name;
    EXPECT_NEAR(found.y, s.y, 0.25) << s.name;
    EXPECT_NEAR(found.radius, s.radius, 0.25) << s.name;
  }
}

uint8_t Blocks(int32_t x, int32_t y, int c) { return uint8_t(70 + Hash(x / 24 + 1000 * c, y / 24) % 161); }

// Pictures without an image circle: the finder says so and leaves the circle.
TEST(CircleFinderTest, FailsWhereThereIsNoCircle) {
  struct Case {
    const char* name;
    uint8_t (*level)(int32_t x, int32_t y, int c);
    const char* reason = "no image circle found: no round rim between a lit region and a dark surround";
  };
  const Case cases[] = {
      {"lit to its corners", Blocks, "no image circle found: the picture is lit to its corners"},
      {"lit rectangle on black",
       [](int32_t x, int32_t y, int c) {
         return x > 100 && x < 500 && y > 80 && y < 400 ? Blocks(x, y, c) : uint8_t(0);
       }},
      {"lit ellipse on black",
       [](int32_t x, int32_t y, int) {
         const double u = (x - 320) / 270.0, v = (y - 240) / 200.0;
         return uint8_t(u * u + v * v < 1 ? 200 : 0);
       }},
      // Round, dark corners, but no rim: the light fades out over 100 pixels.
      {"vignetted to black",
       [](int32_t x, int32_t y, int c) {
         const double d2 = ((x - 320.0) * (x - 320.0) + (y - 240.0) * (y - 240.0)) / (400.0 * 400.0);
         return uint8_t(Blocks(x, y, c) * std::max(0.0, 1 - 3 * d2));
       }},
      {"grey", [](int32_t, int32_t, int) { return uint8_t(128); },
       "no image circle found: the picture is almost uniform"},
  };
  const int32_t width = 640, height = 480;
  std::vector<uint8_t> pixels(4 * size_t(width) * height);
  for (const Case& k : cases) {
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) pixels[4 * (size_t(height - 1 - y) * width + x) + c] = k.level(x, y, c);
      }
    }
    ImageCircle circle{1.0, 2.0, 3.0};
    const Result result = FindImageCircle(PixelBuffer{pixels.data(), width, height}, circle);
    EXPECT_FALSE(result.ok()) << k.name << ": found " << circle.x << ", " << circle.y << ", r " << circle.radius;
    EXPECT_EQ(result.reason(), k.reason) << k.name;
    EXPECT_EQ(circle.x, 1.0) << k.name;
    EXPECT_EQ(circle.y, 2.0) << k.name;
    EXPECT_EQ(circle.radius, 3.0) << k.name;
  }
}

// A photograph of one of the world photos (tests/data/world) through a lens,
// and what the camera did to it, in the order it happens: the scene's light,
// the lens's vignetting and its hood's shadow, then the sensor's black level
// and noise, then JPEG.
struct Shot {
  std::string name;
  const char* world;
  int32_t width, height;
  ImageCircle circle;  // the truth
  LensModel model = LensModel::Equisolid;
  double fov = 180, yaw = 0, pitch = 0, roll = 0;
  double light = 1.0;     // the scene's brightness, times
  double rimShare = 1.0;  // vignetting: the light left at the rim
  double hood = 0;        // a hood's shadow over the top 80 degrees of the rim: the share of light it takes there
  double black = 0;       // levels added everywhere
  double noise = 0;       // deviation, levels
  int jpeg = 0;           // quality; 0: none
};

struct Photographed {
  realistic::Picture picture;
  double visible = 0;  // the share of the rim that shows (VisibleRimShare), before noise and JPEG
};

Photographed Photograph(const Shot& shot) {
  Lens lens;
  lens.model = shot.model;
  lens.fovDegrees = shot.fov;
  lens.yawDegrees = shot.yaw;
  lens.pitchDegrees = shot.pitch;
  lens.rollDegrees = shot.roll;
  Photographed taken{
      realistic::RenderFisheye(realistic::WorldPhoto(shot.world), shot.width, shot.height, lens, shot.circle)};
  realistic::Picture& picture = taken.picture;
  if (shot.light != 1.0) realistic::ScaleLight(picture, shot.light);
  if (shot.rimShare != 1.0) realistic::Vignette(picture, shot.circle, shot.rimShare);
  if (shot.hood > 0) realistic::HoodShadow(picture, shot.circle, 90, 40, shot.hood, 0.12 * shot.circle.radius);
  taken.visible = realistic::VisibleRimShare(picture, shot.circle);
  if (shot.black > 0) realistic::AddLevel(picture, shot.black);
  if (shot.noise > 0) realistic::AddNoise(picture, shot.noise, 17);
  if (shot.jpeg > 0) realistic::JpegRoundTrip(picture, shot.jpeg);
  return taken;
}

// Within a pixel in centre and radius: what --circle auto promises wherever a
// quarter of the rim or more shows.
void ExpectWithinAPixel(const ImageCircle& found, const ImageCircle& truth, const std::string& name) {
  EXPECT_LE(std::hypot(found.x - truth.x, found.y - truth.y), 1.0)
      << name << ": centre " << found.x << ", " << found.y << " for " << truth.x << ", " << truth.y;
  EXPECT_NEAR(found.radius, truth.radius, 1.0) << name;
}

TEST(CircleFinderTest, FindsTheCircleOfRealisticPhotographs) {
  const Shot shots[] = {
      {.name = "forest, whole circle", .world = "forest.jpg", .width = 800, .height = 600,
       .circle = {399.6, 299.3, 288.2}},
      {.name = "lake, off centre, turned", .world = "lake.jpg", .width = 1200, .height = 900,
       .circle = {652.4, 480.2, 390.7}, .model = LensModel::Equidistant, .fov = 190, .yaw = 30, .roll = 8},
      {.name = "all-sky camera, sky at the rim", .world = "sky.jpg", .width = 640, .height = 640,
       .circle = {320.2, 318.7, 310.4}, .pitch = 90},
      {.name = "forest canopy from below, trunks at the rim", .world = "forest.jpg", .width = 640, .height = 640,
       .circle = {317.2, 322.7, 308.4}, .model = LensModel::Equidistant, .fov = 185, .pitch = 90},
      {.name = "dark forest at most of the rim", .world = "forest.jpg", .width = 800, .height = 600,
       .circle = {401.5, 297.3, 292.1}, .fov = 185, .light = 0.17},
      {.name = "clipped at top and bottom", .world = "lake.jpg", .width = 960, .height = 640,
       .circle = {479.6, 319.8, 410.3}, .model = LensModel::Equidistant, .fov = 200},
      {.name = "clipped on all four sides", .world = "forest.jpg", .width = 960, .height = 720,
       .circle = {480.4, 359.2, 512.6}, .model = LensModel::Equidistant, .fov = 220, .yaw = 150},
      {.name = "vignetted to 10% at the rim", .world = "lake.jpg", .width = 800, .height = 600,
       .circle = {398.2, 302.3, 290.8}, .yaw = -40, .rimShare = 0.1},
      {.name = "vignetted to 30%, noise, JPEG 85", .world = "forest.jpg", .width = 800, .height = 600,
       .circle = {403.2, 297.3, 286.8}, .yaw = 120, .rimShare = 0.3, .noise = 3, .jpeg = 85},
      {.name = "strong noise and JPEG 90", .world = "lake.jpg", .width = 800, .height = 600,
       .circle = {398.2, 302.3, 290.8}, .yaw = 60, .noise = 8, .jpeg = 90},
      {.name = "black level, noise, JPEG 95", .world = "forest.jpg", .width = 800, .height = 600,
       .circle = {399.3, 300.6, 286.2}, .model = LensModel::Stereographic, .yaw = 200, .pitch = 10,
       .rimShare = 0.5, .black = 12, .noise = 4, .jpeg = 95},
      {.name = "hood's shadow over the sky", .world = "sky.jpg", .width = 800, .height = 640,
       .circle = {405.3, 318.8, 300.4}, .pitch = 60, .hood = 0.95},
      {.name = "hood's shadow, lake, JPEG 90", .world = "lake.jpg", .width = 800, .height = 600,
       .circle = {400.7, 299.1, 293.5}, .hood = 0.9, .noise = 2, .jpeg = 90},
      {.name = "disc of radius 100 in 1600 x 1200", .world = "lake.jpg", .width = 1600, .height = 1200,
       .circle = {700.3, 650.8, 100.4}},
      {.name = "disc darkening to 10% at its rim", .world = "sky.jpg", .width = 800, .height = 640,
       .circle = {405.3, 318.8, 300.4}, .pitch = 60, .rimShare = 0.1},
      {.name = "orthographic, rolled", .world = "lake.jpg", .width = 800, .height = 600,
       .circle = {399.3, 300.6, 286.2}, .model = LensModel::Orthographic, .roll = 30, .rimShare = 0.4},
  };
  for (const Shot& shot : shots) {
    const Photographed taken = Photograph(shot);
    ASSERT_GE(taken.visible, 0.25) << shot.name << ": the case should show a quarter of its rim";
    ImageCircle found;
    const Result result = FindImageCircle(taken.picture.View(), found);
    ASSERT_TRUE(result.ok()) << shot.name << ": " << result.reason();
    ExpectWithinAPixel(found, shot.circle, shot.name);
  }
}

// Each world under three lights and two vignettes, through the equidistant,
// equisolid and stereographic models turned every way, with noise and JPEG:
// where a quarter of the rim shows the circle is found to a pixel; where less
// shows it may be refused, but a circle found is still the lens's, to a
// pixel. (An orthographic lens at 180 degrees squeezes the horizon into the
// circle's last pixels; where those are too dark to show, the light ends a
// pixel or two short of the rim, and the finder finds where the light ends.
// The table above has one with its rim lit.)
TEST(CircleFinderTest, FindsTheCircleOrRefusesButNeverMakesOneUp) {
  int32_t n = 0;
  for (const char* world : {"forest.jpg", "lake.jpg", "sky.jpg"}) {
    for (double light : {1.0, 0.5, 0.25}) {
      for (double rimShare : {0.4, 0.15}) {
        ++n;
        Shot shot{.name = std::string(world) + ", light " + std::to_string(light) + ", vignetting to " +
                          std::to_string(rimShare),
                  .world = world, .width = 640, .height = 480,
                  .circle = {320.3 + n % 7 * 3.1, 240.2 - n % 5 * 2.3, 225.4 + n % 4 * 5.7},
                  .model = static_cast<LensModel>(n % 3), .yaw = n * 37.0, .pitch = n % 4 * 20.0,
                  .roll = n * 11.0, .light = light, .rimShare = rimShare, .noise = 2.0 + n % 5 * 1.5,
                  .jpeg = n % 2 == 0 ? 85 : 95};
        if (shot.model != LensModel::Stereographic) shot.fov += n / 3 % 3 * 10;
        const Photographed taken = Photograph(shot);
        ImageCircle found;
        const Result result = FindImageCircle(taken.picture.View(), found);
        if (taken.visible >= 0.25) {
          EXPECT_TRUE(result.ok()) << shot.name << ": " << result.reason();
        }
        if (result.ok()) ExpectWithinAPixel(found, shot.circle, shot.name);
      }
    }
  }
}

// Two lenses side by side, each circle clipped on all four sides of its half
// (only the half's corners are dark), as many 360-degree cameras record them.
TEST(CircleFinderTest, FindsBothCirclesOfATwoLensPicture) {
  const int32_t height = 640, width = 2 * height, half = FrontHalfWidth(width);
  const ImageCircle truth[2] = {{320.4, 319.6, 344.2}, {319.5, 320.7, 343.6}};
  Lens lenses[2];
  for (Lens& lens : lenses) lens.fovDegrees = 200;
  lenses[1].yawDegrees = 180;
  const lens_model::Camera cameras[2] = {lens_model::CameraOf(lenses[0]), lens_model::CameraOf(lenses[1])};
  realistic::Picture picture = realistic::RenderFisheye(
      realistic::WorldPhoto("lake.jpg"), width, height, [&](double x, double y, lens_model::Vector3& direction) {
        const int side = x < half - 0.5 ? 0 : 1;
        const double focal = lens_model::FocalOf(lenses[side], truth[side].radius);
        return lens_model::DirectionOfPhotoPoint(lenses[side].model, focal, cameras[side], truth[side],
                                                 x - side * half, y, direction);
      });
  realistic::AddNoise(picture, 3, 5);
  realistic::JpegRoundTrip(picture, 90);
  ImageCircle front, back;
  const Result result = FindDualCircles(picture.View(), front, back);
  ASSERT_TRUE(result.ok()) << result.reason();
  ExpectWithinAPixel(front, truth[0], "front");
  ExpectWithinAPixel(back, truth[1], "back");
}

// Photographs without an image circle: ordinary photographs (the world
// photos themselves, which are also twice as wide as high, like two lenses
// side by side), and with round things in them: a sun, a moon by night, a
// plate, a wheel. The finder refuses each and leaves the circle as it was.
TEST(CircleFinderTest, RefusesOrdinaryPhotographsWithRoundThingsInThem) {
  struct Disc {
    ImageCircle disc;
    realistic::Colour colour;
  };
  struct Case {
    const char* name;
    const char* world;
    double light = 1.0;
    std::vector<Disc> discs = {};
  };
  const realistic::Colour sun{235, 250, 255}, moon{200, 210, 215}, plate{225, 230, 232}, tyre{20, 20, 22};
  const Case cases[] = {
      {"forest", "forest.jpg"},
      {"sky", "sky.jpg"},
      {"lake", "lake.jpg"},
      {"sun in the sky", "sky.jpg", 1.0, {{{520.3, 110.6, 40.2}, sun}}},
      {"sun over the lake", "lake.jpg", 1.0, {{{300.2, 95.7, 30.1}, sun}}},
      {"moon over the lake by night", "lake.jpg", 0.08, {{{500.6, 70.3, 50.4}, moon}}},
      {"large moon over the lake by night", "lake.jpg", 0.04, {{{380.6, 150.3, 120.4}, moon}}},
      {"moon over the dark forest", "forest.jpg", 0.2, {{{384.0, 120.5, 60.0}, moon}}},
      {"plate in the dark forest", "forest.jpg", 0.5, {{{380.4, 250.2, 110.3}, plate}}},
      {"wheel on the path", "forest.jpg", 1.0, {{{200.5, 300.5, 70.2}, tyre}, {{200.5, 300.5, 40.1}, plate}}},
  };
  for (const Case& k : cases) {
    realistic::Picture picture = realistic::WorldPhoto(k.world);
    realistic::ScaleLight(picture, k.light);
    for (const Disc& disc : k.discs) realistic::DrawDisc(picture, disc.disc, disc.colour);
    ImageCircle circle{1.0, 2.0, 3.0};
    EXPECT_FALSE(FindImageCircle(picture.View(), circle).ok())
        << k.name << ": found " << circle.x << ", " << circle.y << ", r " << circle.radius;
    EXPECT_EQ(circle.x, 1.0) << k.name;
    EXPECT_EQ(circle.radius, 3.0) << k.name;
    ASSERT_TRUE(IsSideBySide(picture.width, picture.height));
    ImageCircle front{1.0, 2.0, 3.0}, back{1.0, 2.0, 3.0};
    EXPECT_FALSE(FindDualCircles(picture.View(), front, back).ok())
        << k.name << ": found " << front.x << ", " << front.y << ", r " << front.radius << " and " << back.x
        << ", " << back.y << ", r " << back.radius;
  }
}

}  // namespace
