// The PNG and TIFF readers against files the libraries themselves wrote:
// every colour type, depth, layout and compression, the pixels and the kept
// 16-bit samples compared with the samples the test wrote.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "imageio/decode_picture.h"
#include "picture_files.h"

namespace {

using picture_files::MakePng;
using picture_files::MakeSamples;
using picture_files::MakeTiff;
using picture_files::PngLayout;
using picture_files::Samples;
using picture_files::TiffLayout;

struct Decoded {
  Result result;
  int32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
  PixelStore samples16;
};

Decoded Decode(const std::vector<uint8_t>& file, int64_t capacity = 1 << 20) {
  Decoded decoded;
  decoded.pixels.assign(4 * capacity, 0xEE);
  decoded.result = DecodePicture(file, decoded.pixels.data(), capacity, decoded.width, decoded.height, &decoded.samples16);
  return decoded;
}

// Checks every pixel against the samples, composited over black with
// rounding to the nearest, the 8-bit picture from the 16-bit samples by
// (v * 255 + 32767) / 65535.
void ExpectPixels(const Samples& samples, const Decoded& decoded) {
  ASSERT_TRUE(decoded.result.ok()) << decoded.result.reason();
  ASSERT_EQ(decoded.width, samples.width);
  ASSERT_EQ(decoded.height, samples.height);
  ASSERT_EQ(decoded.samples16 != nullptr, samples.bits == 16);
  const double top = samples.bits == 16 ? 65535.0 : 255.0;
  const auto* deep = reinterpret_cast<const uint16_t*>(decoded.samples16.get());
  int wrong = 0;
  for (int32_t y = 0; y < samples.height; ++y) {
    for (int32_t x = 0; x < samples.width; ++x) {
      const uint16_t* in = samples.At(x, y);
      const bool grey = samples.channels <= 2;
      const bool alpha = samples.channels % 2 == 0;
      const double opacity = alpha ? in[samples.channels - 1] / top : 1.0;
      const size_t at = 4 * (size_t(samples.height - 1 - y) * samples.width + x);
      for (int c = 0; c < 3; ++c) {
        const uint32_t value = static_cast<uint32_t>(std::lround(in[grey ? 0 : 2 - c] * opacity));
        const uint32_t eight = samples.bits == 16 ? (value * 255 + 32767) / 65535 : value;
        wrong += decoded.pixels[at + c] != eight;
        if (deep != nullptr) wrong += deep[at + c] != value;
      }
      wrong += decoded.pixels[at + 3] != 0;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(PictureReadingTest, EveryPngColourTypeAndDepth) {
  struct Case {
    int channels, bits;
    PngLayout layout;
  };
  const Case cases[] = {
      {1, 8, {}},  {2, 8, {}},  {3, 8, {}},  {4, 8, {}},      {1, 16, {}},           {3, 16, {}},
      {4, 16, {}}, {3, 8, {true, false}}, {4, 8, {true, false}}, {3, 8, {false, true}}, {4, 16, {false, true}},
      {3, 8, {true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits" +
                 (c.layout.palette ? ", palette" : "") + (c.layout.interlaced ? ", interlaced" : ""));
    // Odd sizes, so that interlacing's passes and the rows' ends all matter;
    // a palette's 256 colours hold every pixel of the smaller one.
    const Samples samples = c.layout.palette ? MakeSamples(15, 13, c.channels, c.bits)
                                             : MakeSamples(37, 23, c.channels, c.bits);
    ExpectPixels(samples, Decode(MakePng(samples, c.layout)));
  }
}

TEST(PictureReadingTest, EveryTiffLayoutAndCompression) {
  struct Case {
    int channels, bits;
    TiffLayout layout;
  };
  const Case cases[] = {
      {3, 8, {1}},        {3, 8, {5}},         {3, 8, {8}},         {3, 8, {32773}}, {4, 8, {8}},
      {1, 8, {5}},        {2, 8, {1}},         {3, 16, {1}},        {3, 16, {8}},    {4, 16, {5}},
      {1, 16, {32773}},   {3, 8, {5, 16}},     {4, 16, {8, 16}},    {1, 16, {1, 16}},
      {3, 16, {8, 0, 23}}, {1, 8, {1, 0, 7, false, true}}, {3, 8, {8, 0, 7, false, false, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits, compression " +
                 std::to_string(c.layout.compression) + (c.layout.tileSide > 0 ? ", tiles" : ", strips") +
                 (c.layout.minIsWhite ? ", white is zero" : "") + ", " + std::to_string(c.layout.pages) + " pages");
    const Samples samples = MakeSamples(37, 23, c.channels, c.bits);
    ExpectPixels(samples, Decode(MakeTiff(samples, c.layout)));
  }
}

TEST(PictureReadingTest, RefusedFilesSayWhyAndLeaveTheSizes) {
  const Samples greyAlpha16 = MakeSamples(9, 8, 2, 16);
  const Samples rgb = MakeSamples(9, 8, 3, 8);
  std::vector<uint8_t> truncatedPng = MakePng(MakeSamples(64, 64, 3, 16));
  truncatedPng.resize(truncatedPng.size() / 2);
  std::vector<uint8_t> truncatedTiff = MakeTiff(MakeSamples(64, 64, 3, 16), {8});
  truncatedTiff.resize(truncatedTiff.size() / 2);
  const struct {
    const char* what;
    std::vector<uint8_t> file;
    std::string reason;
  } cases[] = {
      {"16-bit grey and alpha PNG", MakePng(greyAlpha16), "16-bit grey with alpha is not supported"},
      {"16-bit grey and alpha TIFF", MakeTiff(greyAlpha16), "16-bit grey with alpha is not supported"},
      {"separate planes", MakeTiff(rgb, {1, 0, 8, true}), "TIFF files with separate colour planes"},
      {"truncated PNG", truncatedPng, "damaged PNG file"},
      {"truncated TIFF", truncatedTiff, "damaged TIFF file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Decoded decoded = Decode(c.file);
    EXPECT_EQ(decoded.result.reason().find(c.reason), 0u) << decoded.result.reason();
    EXPECT_EQ(decoded.width, 0);
    EXPECT_EQ(decoded.samples16, nullptr);
  }
}

// The limit holds before any pixel is decoded: a file one pixel over it
// leaves the destination untouched.
TEST(PictureReadingTest, PicturesOverTheLimitAreRefusedFromTheHeader) {
  const Samples samples = MakeSamples(40, 30, 3, 16);
  for (const std::vector<uint8_t>& file : {MakePng(samples), MakeTiff(samples, {8, 16})}) {
    Decoded decoded = Decode(file, 40 * 30 - 1);
    EXPECT_EQ(decoded.result.reason(), "the picture is too large (40 x 30 pixels; at most 1199 pixels can be loaded)");
    EXPECT_EQ(std::count(decoded.pixels.begin(), decoded.pixels.end(), 0xEE), std::ptrdiff_t(decoded.pixels.size()));
    EXPECT_TRUE(Decode(file, 40 * 30).result.ok());
  }
}

}  // namespace
