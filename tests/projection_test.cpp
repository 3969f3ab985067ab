#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
#include <numbers>

#include "transform/projection.h"

namespace {

TEST(ProjectionTest, ConstantsFollowFromThePictureHeight) {
  SetupProjection(1200);
  EXPECT_EQ(PanoramaRadius, 381.9696044921875f);
  EXPECT_EQ(RadiansPerPixel, 0.0026180094573646784f);
  EXPECT_EQ(FisheyeScaleU, 347.2450866699219f);
  EXPECT_EQ(FisheyeScaleV, FisheyeScaleU);
  EXPECT_EQ(HalfPi, 1.57079601287841796875f);
  // The design's decimals, not the exact values they approximate.
  EXPECT_NE(HalfPi, static_cast<float>(std::numbers::pi / 2));
}

struct KnownPoint {
  float column, row;           // panorama pixel of a 1600 x 1200 picture
  float sourceColumn, sourceRow;
};

TEST(ProjectionTest, MapsKnownPanoramaPixelsOfA1600By1200Picture) {
  SetupProjection(1200);
  const KnownPoint points[] = {
      {800, 600, 799.95f, 599.95f},    {800, 0, 799.50f, 54.50f},     {800, 1199, 799.50f, 1144.50f},
      {1399, 600, 1344.50f, 600.21f},  {1100, 900, 1009.56f, 896.97f},
      // Behind the lens plane: lands mirrored on the other side.
      {199, 600, 1344.49f, 598.79f},
  };
  for (const KnownPoint& point : points) {
    float u, v;
    ProjectFisheye(point.column - 799.5f, point.row - 599.5f, u, v);
    EXPECT_NEAR(u + 799.5f, point.sourceColumn, 0.006f) << point.column << "," << point.row;
    EXPECT_NEAR(v + 599.5f, point.sourceRow, 0.006f) << point.column << "," << point.row;
  }
}

TEST(ProjectionTest, CentreOffsetLandsOnTheFisheyeCentre) {
  SetupProjection(1001);
  float u, v;
  ProjectFisheye(0.0f, 0.0f, u, v);
  EXPECT_EQ(u, 0.0f);
  // cos(HalfPi) = pi/2 - HalfPi = 3.139165e-7 of a radian off the axis.
  EXPECT_NEAR(v, 3.139165e-7f * FisheyeScaleV, 1e-10f);
  EXPECT_TRUE(std::isfinite(v));
}

TEST(ProjectionTest, TopAndBottomRowsStayJustInsideTheHalfSphereCircle) {
  for (int height : {480, 1200, 2999, 7071}) {
    SetupProjection(height);
    const float circle = FisheyeScaleU * std::numbers::pi_v<float> / 2;  // 90 degrees off the axis
    const float half = height / 2.0f - 0.5f;
    for (float dy : {-half, half}) {
      for (float dx : {-half, -0.3f * height, 0.0f, 0.25f * height, half}) {
        float u, v;
        ProjectFisheye(dx, dy, u, v);
        const float distance = std::hypot(u, v);
        EXPECT_LE(distance, circle * 1.0001f) << height << " " << dx << "," << dy;
        EXPECT_GT(distance, 0.452f * height) << height << " " << dx << "," << dy;
      }
    }
  }
  SetupProjection(1200);
  float u, v;
  ProjectFisheye(0.5f, -599.5f, u, v);
  EXPECT_NEAR(std::hypot(u, v) / 1200, 0.4542f, 0.0001f);
}

// The equidistant model said another way: in double precision, the angle
// between a direction and the lens axis, times the fisheye scale, is the
// distance from the centre, along the direction's own heading.
TEST(ProjectionTest, AgreesWithTheEquidistantModelInDoublePrecision) {
  const int height = 3000;
  SetupProjection(height);
  double worst = 0.0;
  for (int row = 0; row < height; row += 37) {
    for (int column = 0; column < 4000; column += 41) {
      const double dx = column - 1999.5;
      const double dy = row - 1499.5;
      const double azimuth = dx * RadiansPerPixel;
      if (std::abs(azimuth) >= std::numbers::pi / 2) continue;  // behind the lens
      const double polar = double{HalfPi} - dy * RadiansPerPixel;
      const double x = std::sin(azimuth) * std::sin(polar), y = std::cos(polar);
      const double z = std::cos(azimuth) * std::sin(polar);
      const double offAxis = std::acos(z);
      const double r = std::hypot(x, y);
      const double expectU = x / r * offAxis * FisheyeScaleU;
      const double expectV = y / r * offAxis * FisheyeScaleV;
      float u, v;
      ProjectFisheye(static_cast<float>(dx), static_cast<float>(dy), u, v);
      worst = std::max({worst, std::abs(u - expectU), std::abs(v - expectV)});
    }
  }
  EXPECT_LT(worst, 0.005);
}

TEST(ProjectionTest, NeitherAxisIsMirroredInFrontOfTheLens) {
  SetupProjection(800);
  float u, v;
  ProjectFisheye(100.0f, 50.0f, u, v);
  EXPECT_GT(u, 0.0f);
  EXPECT_GT(v, 0.0f);
  ProjectFisheye(-100.0f, -50.0f, u, v);
  EXPECT_LT(u, 0.0f);
  EXPECT_LT(v, 0.0f);
}

// Distance in units in the last place between two finite floats.
int64_t UlpsApart(float a, float b) {
  auto ordered = [](float f) {
    int32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits < 0 ? int64_t{INT32_MIN} - bits : int64_t{bits};
  };
  return std::abs(ordered(a) - ordered(b));
}

TEST(ArcTangentTest, StaysWithinTwoUlpOfTheCorrectlyRoundedValue) {
  // Every 509th float from 0 to infinity, both signs; over all of them the
  // worst case is 2 ulp.
  int64_t worst = 0;
  float worstAt = 0.0f;
  for (uint32_t bits = 0; bits < 0x7F800000u; bits += 509) {
    float t;
    std::memcpy(&t, &bits, 4);
    for (float signedT : {t, -t}) {
      const float expected = static_cast<float>(std::atan(static_cast<double>(signedT)));
      const int64_t apart = UlpsApart(ArcTangent(signedT), expected);
      if (apart > worst) {
        worst = apart;
        worstAt = signedT;
      }
    }
  }
  EXPECT_LE(worst, 2) << "at " << worstAt;
  // Where the argument reduction switches, and the ends.
  for (float t : {0.41421353816986083984f, 0.41421356f, 0.4142136f, 2.4142134f, 2.4142137f, 1.0f, 1e-30f, 3e30f}) {
    EXPECT_LE(UlpsApart(ArcTangent(t), static_cast<float>(std::atan(double{t}))), 2) << t;
  }
  EXPECT_EQ(ArcTangent(std::numeric_limits<float>::infinity()), 1.57079637050628662109375f);
  EXPECT_EQ(ArcTangent(-std::numeric_limits<float>::infinity()), -1.57079637050628662109375f);
  EXPECT_EQ(ArcTangent(0.0f), 0.0f);
  EXPECT_TRUE(std::signbit(ArcTangent(-0.0f)));
}

// The whole pixel loop works in single precision; over every pixel of a
// 4000 x 3000 panorama its source positions stay within a thousandth of a
// pixel of the same formulas worked in double precision.
TEST(ProjectionTest, SinglePrecisionStaysWithinAThousandthOfAPixel) {
  const int32_t width = 4000, height = 3000;
  SetupProjection(height);
  const float centreX = width / 2.0f - 0.5f, centreY = height / 2.0f - 0.5f;
  std::vector<double> sinAzimuth(width), cosAzimuth(width);
  std::vector<float> sinAzimuthF(width), cosAzimuthF(width);
  for (int32_t x = 0; x < width; ++x) {
    const float dx = static_cast<float>(x) - centreX;
    const double azimuth = double{dx} * RadiansPerPixel;
    sinAzimuth[x] = std::sin(azimuth);
    cosAzimuth[x] = std::cos(azimuth);
    sinAzimuthF[x] = SinOf(AzimuthOf(dx));
    cosAzimuthF[x] = CosOf(AzimuthOf(dx));
  }
  double worst = 0.0;
  for (int32_t y = 0; y < height; ++y) {
    const float dy = static_cast<float>(y) - centreY;
    const double polar = double{HalfPi} - double{dy} * RadiansPerPixel;
    const double sinPolar = std::sin(polar), cosPolar = std::cos(polar);
    const float sinPolarF = SinOf(PolarAngleOf(dy)), cosPolarF = CosOf(PolarAngleOf(dy));
    for (int32_t x = 0; x < width; ++x) {
      const double dirX = sinAzimuth[x] * sinPolar, dirY = cosPolar, dirZ = cosAzimuth[x] * sinPolar;
      const double r = std::sqrt(dirX * dirX + dirY * dirY);
      const double q = std::atan(r / dirZ) / r;
      const double expectU = dirX * FisheyeScaleU * q, expectV = dirY * FisheyeScaleV * q;
      float u, v;
      ProjectFisheyeFromAngles(sinAzimuthF[x], cosAzimuthF[x], sinPolarF, cosPolarF, u, v);
      worst = std::max({worst, std::abs(u - expectU), std::abs(v - expectV)});
    }
  }
  EXPECT_LT(worst, 1.0 / 1000) << "worst " << worst;
}

}  // namespace
