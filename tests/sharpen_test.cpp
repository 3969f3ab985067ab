#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "app/app_state.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/parallel_rows.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

namespace {

TEST(SharpenTest, StrengthFollowsTheNumberOfUsesSinceALoad) {
  struct Expect {
    int32_t level;
    int16_t centre, neighbour;
  };
  for (Expect e : {Expect{127, 5, -1}, Expect{95, 37, -9}, Expect{63, 69, -17}, Expect{31, 101, -25},
                   Expect{-1, 33, -8}, Expect{-33, 41, -10}}) {
    SharpenWeights w = SharpenWeightsFor(e.level);
    EXPECT_EQ(w.centre, e.centre) << e.level;
    EXPECT_EQ(w.neighbour, e.neighbour) << e.level;
  }
  for (int uses = 4; uses < 4000; ++uses) {
    SharpenWeights w = SharpenWeightsFor(127 - 32 * uses);
    ASSERT_EQ(w.centre, 8 * uses + 1) << uses;
    ASSERT_EQ(w.neighbour, -2 * uses) << uses;
  }
}

// The filter by its definition, one pixel at a time, on bytes or on 16-bit
// samples (clamped to their own range).
template <class Sample>
std::vector<Sample> Reference(const std::vector<Sample>& in, int32_t width, int32_t height, int32_t level) {
  SharpenWeights w = SharpenWeightsFor(level);
  std::vector<Sample> out = in;
  auto at = [&](int32_t x, int32_t y, int byte) { return int32_t{in[4 * (size_t(y) * width + x) + byte]}; };
  for (int32_t y = 1; y + 1 < height; ++y) {
    for (int32_t x = 1; x + 1 < width; ++x) {
      for (int byte = 0; byte < 4; ++byte) {
        int32_t c = at(x, y, byte);
        int32_t around = at(x - 1, y, byte) + at(x + 1, y, byte) + at(x, y - 1, byte) + at(x, y + 1, byte);
        int32_t s = std::clamp(c * w.centre + around * w.neighbour, 0, int32_t{std::numeric_limits<Sample>::max()});
        out[4 * (size_t(y) * width + x) + byte] = static_cast<Sample>((s + 15 * c) / 16);
      }
    }
  }
  return out;
}

void SharpenOnce() {
  SharpenLevel -= 32;
  SharpenDisplay();
}

TEST(SharpenTest, MatchesTheFivePointFormulaOverManyUses) {
  const int32_t width = 37, height = 23;
  std::vector<uint8_t> expected = MakeNoisePicture(width, height, 7);
  InstallPicture(expected, width, height);
  for (int use = 1; use <= 12; ++use) {
    SharpenOnce();
    expected = Reference(expected, width, height, SharpenLevel);
    ASSERT_EQ(DisplayCopy(), expected) << "use " << use;
  }
  // The spare rows below the picture stay black.
  const uint8_t* spare = DisplayPixels + 4 * size_t{width} * height;
  EXPECT_TRUE(std::all_of(spare, spare + 4 * size_t{width} * kDisplaySpareRows, [](uint8_t b) { return b == 0; }));
}

// Bands of rows are sharpened at once; rows at their edges must still see
// their neighbours as they were. Widths give every vector tail length.
TEST(SharpenTest, GivesTheSameBytesForEveryThreadCount) {
  for (auto [width, height] : {std::pair{301, 70}, std::pair{8, 33}, std::pair{3, 17}}) {
    const std::vector<uint8_t> picture = MakeNoisePicture(width, height, 5);
    std::vector<uint8_t> expected = Reference(picture, width, height, 95);
    expected = Reference(expected, width, height, 63);
    for (int32_t threads : {1, 2, 3, 8}) {
      std::vector<uint8_t> sharpened = picture;
      const PixelBuffer view{sharpened.data(), width, height};
      SharpenPicture(view, SharpenWeightsFor(95), threads);
      SharpenPicture(view, SharpenWeightsFor(63), threads);
      EXPECT_EQ(sharpened, expected) << width << "x" << height << ", " << threads << " threads";
    }
    // 16-bit samples: the same weights, the clamp at 65535.
    const std::vector<uint16_t> picture16 = MakeNoisePicture16(width, height, 5);
    std::vector<uint16_t> expected16 = Reference(Reference(picture16, width, height, 95), width, height, 63);
    for (int32_t threads : {1, 3}) {
      std::vector<uint16_t> sharpened = picture16;
      const PixelBuffer16 view{sharpened.data(), width, height};
      SharpenPicture(view, SharpenWeightsFor(95), threads);
      SharpenPicture(view, SharpenWeightsFor(63), threads);
      EXPECT_EQ(sharpened, expected16) << width << "x" << height << ", 16 bits, " << threads << " threads";
    }
  }
}

TEST(SharpenTest, KeepsUniformPicturesAndTheEdgesUnchanged) {
  const int32_t width = 6, height = 5;
  std::vector<uint8_t> uniform(4 * width * height, 77);
  InstallPicture(uniform, width, height);
  SharpenOnce();
  SharpenOnce();
  EXPECT_EQ(DisplayCopy(), uniform);

  // A bright pixel on the left edge must not leak into the row below through
  // the end of that row.
  std::vector<uint8_t> edge(4 * width * height, 100);
  for (int byte = 0; byte < 3; ++byte) edge[4 * (2 * width + 0) + byte] = 250;
  InstallPicture(edge, width, height);
  SharpenOnce();
  std::vector<uint8_t> out = DisplayCopy();
  EXPECT_EQ(out[4 * (1 * width + 4)], 100) << "last inner pixel of the row below";
  EXPECT_EQ(out[4 * (2 * width + 0)], 250) << "edge pixel itself";
  EXPECT_LT(out[4 * (2 * width + 1)], 100) << "its inner neighbour is pushed away from it";
}

TEST(SharpenTest, SaturatesAsTheFirstAndFourthUsesDo) {
  const int32_t width = 3, height = 3;
  auto cross = [&](uint8_t centre, uint8_t around) {
    std::vector<uint8_t> p(4 * width * height, around);
    for (size_t i = 3; i < p.size(); i += 4) p[i] = 0;
    for (int byte = 0; byte < 3; ++byte) p[4 * 4 + byte] = centre;
    return p;
  };
  InstallPicture(cross(200, 100), width, height);
  SharpenOnce();  // C 37, N -9: s = 3800, clamped to 255, (255 + 3000) / 16
  EXPECT_EQ(DisplayPixels[4 * 4], 203);
  EXPECT_EQ(DisplayPixels[4 * 4 + 3], 0) << "the unused byte stays 0";

  InstallPicture(cross(100, 200), width, height);
  SharpenLevel = 31;
  SharpenOnce();  // level -1: C 33, N -8: s = -3100, clamped to 0, 1500 / 16
  EXPECT_EQ(DisplayPixels[4 * 4], 93);

  // In 16 bits the same crosses times 257 clamp at 65535 and 0.
  struct Case {
    uint16_t centre, around;
    int32_t level;
    uint16_t expected;
  };
  for (const Case& c : {Case{51400, 25700, 95, 52283},  // (65535 + 15 * 51400) / 16
                        Case{25700, 51400, -1, 24093}}) {  // 15 * 25700 / 16
    std::vector<uint16_t> p(4 * width * height, c.around);
    for (int sample = 0; sample < 3; ++sample) p[4 * 4 + sample] = c.centre;
    SharpenPicture(PixelBuffer16{p.data(), width, height}, SharpenWeightsFor(c.level), 1);
    EXPECT_EQ(p[4 * 4], c.expected) << c.level;
  }
}

TEST(SharpenTest, PicturesWithoutAnInsideAndNoPictureAreLeftAlone) {
  for (auto [width, height] : {std::pair{2, 9}, std::pair{9, 2}, std::pair{1, 1}}) {
    std::vector<uint8_t> picture = MakeNoisePicture(width, height, 9);
    InstallPicture(picture, width, height);
    SharpenOnce();
    EXPECT_EQ(DisplayCopy(), picture) << width << "x" << height;
  }
  ResetProgramState();
  SharpenOnce();
  EXPECT_EQ(DisplayPixels, nullptr);
}

}  // namespace
