#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "transform/circle_finder.h"

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
        double value = s.surround + coverage * (lit - s.surround) + s.noise * gaussian();
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

}  // namespace
