#include <gtest/gtest.h>

#include <array>

#include "transform/sampler.h"

namespace {

// A 4 x 4 neighbourhood whose rows all hold the same four values in one
// channel; the other channels hold other values, to catch mixed-up channels.
struct Block {
  std::array<std::array<uint8_t, 16>, 4> rows{};

  void SetChannel(int row, int channel, std::array<uint8_t, 4> values) {
    for (int j = 0; j < 4; ++j) rows[row][4 * j + channel] = values[j];
  }
  void Point() {
    for (int k = 0; k < 4; ++k) NeighbourRows[k] = rows[k].data();
  }
};

uint8_t SampleOneRowPattern(std::array<uint8_t, 4> values, float fu, float fv) {
  Block block;
  for (int k = 0; k < 4; ++k) {
    block.SetChannel(k, 0, {7, 7, 7, 7});
    block.SetChannel(k, 1, values);
    block.SetChannel(k, 2, {200, 200, 200, 200});
  }
  block.Point();
  uint8_t out[4] = {1, 2, 3, 0xAB};
  SampleBicubic(out, fu, fv);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[2], 200);
  EXPECT_EQ(out[3], 0xAB) << "the unused byte is never written";
  return out[1];
}

TEST(SamplerTest, TablesAreTheIdentityAndTheSixteenthsRounding) {
  BuildSampleTables();
  for (int i = 0; i < kByteToLevelEntries; ++i) EXPECT_EQ(ByteToLevel[i], i <= 255 ? float(i) : 0.0f) << i;
  EXPECT_EQ(SixteenthToByte[0], 0);
  for (int n = 1; n <= 255; ++n) EXPECT_EQ(SixteenthToByte[16 * n - 1], n) << n;
  for (int i = 4081; i < 4096; ++i) EXPECT_EQ(SixteenthToByte[i], 255) << i;
  EXPECT_EQ(SixteenthToByte[4096], 0);
}

TEST(SamplerTest, WeightsAreTheCubicLagrangeWeights) {
  auto w = CubicWeights(0.0f);
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_EQ(w[1], 1.0f);
  EXPECT_EQ(w[2], 0.0f);
  EXPECT_EQ(w[3], 0.0f);
  w = CubicWeights(0.5f);
  EXPECT_NEAR(w[0], -0.0625f, 1e-5f);
  EXPECT_NEAR(w[1], 0.5625f, 1e-5f);
  EXPECT_NEAR(w[2], 0.5625f, 1e-5f);
  EXPECT_NEAR(w[3], -0.0625f, 1e-5f);
  w = CubicWeights(-0.5f);
  EXPECT_NEAR(w[0], 0.3125f, 1e-5f);
  EXPECT_NEAR(w[1], 0.9375f, 1e-5f);
  EXPECT_NEAR(w[2], -0.3125f, 1e-5f);
  EXPECT_NEAR(w[3], 0.0625f, 1e-5f);
  // Exact for cubic polynomials: samples of t^3 at -1, 0, 1, 2.
  for (float t = -0.5f; t <= 0.5f; t += 0.0625f) {
    w = CubicWeights(t);
    EXPECT_NEAR(w[0] + w[1] + w[2] + w[3], 1.0f, 1e-4f) << t;
    EXPECT_NEAR(-w[0] + w[2] + 8 * w[3], t * t * t, 1e-4f) << t;
  }
}

TEST(SamplerTest, RoundsToNearestAndClampsOvershoot) {
  BuildSampleTables();
  EXPECT_EQ(SampleOneRowPattern({0, 0, 255, 255}, 0.25f, 0.0f), 60);   // 59.77
  EXPECT_EQ(SampleOneRowPattern({0, 0, 255, 255}, 0.5f, 0.0f), 127);   // 127.4997, not 128
  EXPECT_EQ(SampleOneRowPattern({0, 0, 255, 255}, -0.5f, 0.0f), 0);    // -63.75
  EXPECT_EQ(SampleOneRowPattern({255, 255, 0, 0}, -0.5f, 0.0f), 255);  // 318.75
  EXPECT_EQ(SampleOneRowPattern({9, 61, 130, 250}, 0.0f, 0.0f), 61);   // at a pixel: that pixel
}

TEST(SamplerTest, InterpolatesAcrossRowsAsWellAsColumns) {
  BuildSampleTables();
  Block block;
  block.SetChannel(1, 2, {0, 255, 0, 0});  // one bright red tap
  block.Point();
  uint8_t out[4] = {};
  SampleBicubic(out, 0.5f, 0.5f);
  EXPECT_EQ(out[2], 81);  // 80.68
  EXPECT_EQ(out[0], 0);

  // Rows matter in order: the same tap in the last row lies behind.
  Block lower;
  lower.SetChannel(3, 2, {0, 255, 0, 0});
  lower.Point();
  SampleBicubic(out, 0.5f, 0.5f);
  EXPECT_EQ(out[2], 0);  // -8.97 clamps
}

}  // namespace
