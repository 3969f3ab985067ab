#include "realistic_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "imageio/decode_picture.h"
#include "imageio/load_picture.h"
#include "imageio/picture_encoding.h"
#include "test_pictures.h"

namespace realistic {

namespace {

using lens_model::kPi;
using lens_model::Vector3;

// The supersampled pixels along a rim take kSubsamples x kSubsamples points:
// 17 coverage levels, finer than the noise of any real rim.
constexpr int kSubsamples = 4;

double Smoothstep(double t) {
  t = std::clamp(t, 0.0, 1.0);
  return t * t * (3.0 - 2.0 * t);
}

// Calls `change` with each pixel's (x, y from the top) colour levels.
template <class Change>
void ForEachPixel(Picture& picture, Change change) {
  for (int32_t y = 0; y < picture.height; ++y) {
    for (int32_t x = 0; x < picture.width; ++x) change(x, y, picture.At(x, y));
  }
}

// The nearest level, within 0 to 255 (halves round up).
uint8_t ToLevel(double value) { return static_cast<uint8_t>(std::clamp(value, 0.0, 255.0) + 0.5); }

void Multiply(uint8_t* pixel, double factor) {
  for (int c = 0; c < 3; ++c) pixel[c] = ToLevel(pixel[c] * factor);
}

double Brightness(const Picture& picture, double x, double y) {  // (B + 2G + R) / 4, bilinear
  const int32_t x0 = static_cast<int32_t>(std::floor(x)), y0 = static_cast<int32_t>(std::floor(y));
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int32_t i, int32_t j) {
    const uint8_t* p = picture.At(std::clamp(i, 0, picture.width - 1), std::clamp(j, 0, picture.height - 1));
    return (p[0] + 2.0 * p[1] + p[2]) / 4.0;
  };
  const double top = at(x0, y0) + fx * (at(x0 + 1, y0) - at(x0, y0));
  const double bottom = at(x0, y0 + 1) + fx * (at(x0 + 1, y0 + 1) - at(x0, y0 + 1));
  return top + fy * (bottom - top);
}

}  // namespace

PixelBuffer Picture::View() const { return {const_cast<uint8_t*>(pixels.data()), width, height}; }

const uint8_t* Picture::At(int32_t x, int32_t y) const {
  return pixels.data() + 4 * (static_cast<size_t>(height - 1 - y) * width + x);
}

uint8_t* Picture::At(int32_t x, int32_t y) {
  return pixels.data() + 4 * (static_cast<size_t>(height - 1 - y) * width + x);
}

const Picture& WorldPhoto(const std::string& name) {
  static std::map<std::string, Picture> loaded;
  auto found = loaded.find(name);
  if (found != loaded.end()) return found->second;
  Picture& photo = loaded[name];
  LoadedPicture picture;
  const Result result = LoadPicture(TestDataPath("world/" + name), picture);
  if (!result.ok()) {
    ADD_FAILURE() << name << ": " << result.reason();
    photo = {std::vector<uint8_t>{128, 128, 128, 0}, 1, 1};  // grey, so that the test goes on to its checks
    return photo;
  }
  photo.width = picture.width;
  photo.height = picture.height;
  const uint8_t* base = picture.View().base;
  photo.pixels.assign(base, base + 4 * static_cast<size_t>(picture.width) * picture.height);
  return photo;
}

Colour WorldColour(const Picture& world, Vector3 direction) {
  const double length = std::sqrt(lens_model::Dot(direction, direction));
  const double longitude = std::atan2(direction.x, direction.z);
  const double latitude = std::asin(std::clamp(direction.y / length, -1.0, 1.0));
  const double u = (longitude / (2 * kPi) + 0.5) * world.width - 0.5;
  const double v = std::clamp((0.5 - latitude / kPi) * world.height - 0.5, 0.0, world.height - 1.0);
  const double x0 = std::floor(u), y0 = std::floor(v);
  const double fx = u - x0, fy = v - y0;
  const int32_t left = (static_cast<int32_t>(x0) % world.width + world.width) % world.width;
  const int32_t right = (left + 1) % world.width;
  const int32_t top = static_cast<int32_t>(y0), bottom = std::min(top + 1, world.height - 1);
  double level[3];
  for (int c = 0; c < 3; ++c) {
    auto at = [&](int32_t x, int32_t y) { return double(world.At(x, y)[c]); };
    const double upper = at(left, top) + fx * (at(right, top) - at(left, top));
    const double lower = at(left, bottom) + fx * (at(right, bottom) - at(left, bottom));
    level[c] = upper + fy * (lower - upper);
  }
  return {level[0], level[1], level[2]};
}

Picture RenderFisheye(const Picture& world, int32_t width, int32_t height, const PixelDirection& directionOf) {
  Picture picture{std::vector<uint8_t>(4 * static_cast<size_t>(width) * height, 0), width, height};
  std::vector<uint8_t> seen(static_cast<size_t>(width) * height, 0);
  auto put = [&](int32_t x, int32_t y, const Colour& colour) {
    uint8_t* pixel = picture.At(x, y);
    pixel[0] = ToLevel(colour.blue);
    pixel[1] = ToLevel(colour.green);
    pixel[2] = ToLevel(colour.red);
  };
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      Vector3 direction;
      if (!directionOf(x, y, direction)) continue;
      seen[static_cast<size_t>(y) * width + x] = 1;
      put(x, y, WorldColour(world, direction));
    }
  }
  // Any straight boundary through a pixel separates its centre from one of its
  // eight neighbours' centres: only pixels with a neighbour unlike them can be
  // partly seen.
  auto onBoundary = [&](int32_t x, int32_t y) {
    const uint8_t own = seen[static_cast<size_t>(y) * width + x];
    for (int32_t j = std::max(0, y - 1); j <= std::min(height - 1, y + 1); ++j) {
      for (int32_t i = std::max(0, x - 1); i <= std::min(width - 1, x + 1); ++i) {
        if (seen[static_cast<size_t>(j) * width + i] != own) return true;
      }
    }
    return false;
  };
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (!onBoundary(x, y)) continue;
      Colour sum;
      for (int j = 0; j < kSubsamples; ++j) {
        for (int i = 0; i < kSubsamples; ++i) {
          Vector3 direction;
          if (!directionOf(x - 0.5 + (i + 0.5) / kSubsamples, y - 0.5 + (j + 0.5) / kSubsamples, direction)) continue;
          const Colour colour = WorldColour(world, direction);
          sum.blue += colour.blue;
          sum.green += colour.green;
          sum.red += colour.red;
        }
      }
      constexpr double kPoints = kSubsamples * kSubsamples;
      put(x, y, {sum.blue / kPoints, sum.green / kPoints, sum.red / kPoints});
    }
  }
  return picture;
}

Picture RenderFisheye(const Picture& world, int32_t width, int32_t height, const Lens& lens,
                      const ImageCircle& circle) {
  const lens_model::Camera camera = lens_model::CameraOf(lens);
  const double focal = lens_model::FocalOf(lens, circle.radius);
  return RenderFisheye(world, width, height, [&](double x, double y, Vector3& direction) {
    return lens_model::DirectionOfPhotoPoint(lens.model, focal, camera, circle, x, y, direction);
  });
}

void ScaleLight(Picture& picture, double factor) {
  ForEachPixel(picture, [&](int32_t, int32_t, uint8_t* pixel) { Multiply(pixel, factor); });
}

void Vignette(Picture& picture, const ImageCircle& circle, double rimShare) {
  ForEachPixel(picture, [&](int32_t x, int32_t y, uint8_t* pixel) {
    const double dx = x - circle.x, dy = y - circle.y;
    const double squared = std::min(1.0, (dx * dx + dy * dy) / (circle.radius * circle.radius));
    Multiply(pixel, 1.0 - (1.0 - rimShare) * squared);
  });
}

void HoodShadow(Picture& picture, const ImageCircle& circle, double middleDegrees, double halfWidthDegrees,
                double depth, double reach) {
  // The arc's ends soften over the same distance as its inner edge, measured
  // along the rim.
  const double softDegrees = reach / circle.radius * 180.0 / kPi;
  ForEachPixel(picture, [&](int32_t x, int32_t y, uint8_t* pixel) {
    const double across = x - circle.x, up = circle.y - y;
    const double fromRim = Smoothstep((std::hypot(across, up) - (circle.radius - reach)) / reach);
    if (fromRim == 0.0) return;
    double off = std::abs(std::atan2(up, across) * 180.0 / kPi - middleDegrees);
    off = std::min(std::fmod(off, 360.0), 360.0 - std::fmod(off, 360.0));
    const double alongArc = Smoothstep((halfWidthDegrees + softDegrees / 2 - off) / softDegrees);
    Multiply(pixel, 1.0 - depth * fromRim * alongArc);
  });
}

void AddLevel(Picture& picture, double level) {
  ForEachPixel(picture, [&](int32_t, int32_t, uint8_t* pixel) {
    for (int c = 0; c < 3; ++c) pixel[c] = ToLevel(pixel[c] + level);
  });
}

void AddNoise(Picture& picture, double deviation, uint32_t seed) {
  uint32_t state = seed * 0x9E3779B1u + 0x7F4A7C15u;
  if (state == 0) state = 1;  // xorshift's one fixed point
  auto uniform = [&] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state / 4294967296.0;
  };
  // The sum of four uniform errors has deviation sqrt(4 / 12): close enough
  // to normal for a sensor, three times as quick as twelve.
  const double scale = deviation * std::sqrt(3.0);
  ForEachPixel(picture, [&](int32_t, int32_t, uint8_t* pixel) {
    for (int c = 0; c < 3; ++c) {
      const double sum = uniform() + uniform() + uniform() + uniform() - 2.0;
      pixel[c] = ToLevel(pixel[c] + scale * sum);
    }
  });
}

void JpegRoundTrip(Picture& picture, int quality) {
  // The encoder saves squares: the picture at the top-left of one, its last
  // column and row repeated to fill it, as a camera fills its last blocks.
  const int32_t side = std::max(picture.width, picture.height);
  Picture square{std::vector<uint8_t>(4 * static_cast<size_t>(side) * side), side, side};
  for (int32_t y = 0; y < side; ++y) {
    for (int32_t x = 0; x < side; ++x) {
      std::memcpy(square.At(x, y), picture.At(std::min(x, picture.width - 1), std::min(y, picture.height - 1)), 4);
    }
  }
  EncodeOptions options;
  options.quality = quality;
  std::vector<uint8_t> file;
  const Result encoded = EncodeJpeg(square.View(), SaveShape::Square, options, file);
  ASSERT_TRUE(encoded.ok()) << encoded.reason();
  int32_t width = 0, height = 0;
  const Result decoded = DecodePicture(file, square.pixels.data(), int64_t{side} * side, width, height);
  ASSERT_TRUE(decoded.ok()) << decoded.reason();
  ASSERT_EQ(width, side);
  ASSERT_EQ(height, side);
  for (int32_t y = 0; y < picture.height; ++y) {
    std::memcpy(picture.At(0, y), square.At(0, y), 4 * static_cast<size_t>(picture.width));
  }
}

void DrawDisc(Picture& picture, const ImageCircle& disc, Colour colour) {
  ForEachPixel(picture, [&](int32_t x, int32_t y, uint8_t* pixel) {
    // The share of the pixel inside the disc, for a rim that is straight across it.
    const double cover = std::clamp(disc.radius + 0.5 - std::hypot(x - disc.x, y - disc.y), 0.0, 1.0);
    if (cover == 0.0) return;
    const double levels[3] = {colour.blue, colour.green, colour.red};
    for (int c = 0; c < 3; ++c) pixel[c] = ToLevel(pixel[c] + cover * (levels[c] - pixel[c]));
  });
}

double VisibleRimShare(const Picture& picture, const ImageCircle& circle, double minLevels) {
  constexpr int32_t kPoints = 720;
  constexpr double kAside = 1.0;
  int32_t visible = 0;
  for (int32_t k = 0; k < kPoints; ++k) {
    const double angle = 2 * kPi * k / kPoints, dx = std::cos(angle), dy = -std::sin(angle);
    const double inX = circle.x + (circle.radius - kAside) * dx, inY = circle.y + (circle.radius - kAside) * dy;
    const double outX = circle.x + (circle.radius + kAside) * dx, outY = circle.y + (circle.radius + kAside) * dy;
    auto inFrame = [&](double x, double y) {
      return x >= 0 && y >= 0 && x <= picture.width - 1 && y <= picture.height - 1;
    };
    if (!inFrame(inX, inY) || !inFrame(outX, outY)) continue;
    visible += Brightness(picture, inX, inY) - Brightness(picture, outX, outY) >= minLevels;
  }
  return double(visible) / kPoints;
}

std::vector<uint16_t> Binned16(const Picture& large) {
  const int32_t width = large.width / 2, height = large.height / 2;
  std::vector<uint16_t> samples(4 * static_cast<size_t>(width) * height, 0);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int channel = 0; channel < 3; ++channel) {
        uint32_t sum = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) sum += large.At(2 * x + dx, 2 * y + dy)[channel];
        samples[4 * (static_cast<size_t>(height - 1 - y) * width + x) + channel] = static_cast<uint16_t>((sum * 257 + 2) / 4);
      }
  return samples;
}

}  // namespace realistic
