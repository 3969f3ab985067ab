#include "transform/resample.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "transform/projection.h"
#include "transform/sampler.h"

namespace {

// The azimuth depends on the column only: its sine and cosine are taken once
// per pass, the polar angle's once per row.
struct ColumnAngles {
  std::vector<float> sinAzimuth;
  std::vector<float> cosAzimuth;
};

ColumnAngles TabulateColumns(int32_t width, float centreX) {
  ColumnAngles columns;
  columns.sinAzimuth.resize(width);
  columns.cosAzimuth.resize(width);
  for (int32_t x = 0; x < width; ++x) {
    float azimuth = AzimuthOf(static_cast<float>(x) - centreX);
    columns.sinAzimuth[x] = SinOf(azimuth);
    columns.cosAzimuth[x] = CosOf(azimuth);
  }
  return columns;
}

}  // namespace

void ResampleImage(const TransformRecord& record) {
  SetTransformPriority(true);

  // Centres at width / 2 - 0.5 in floating point: 2.0 for 5 pixels, 1.5 for 4.
  const float centreDestX = static_cast<float>(record.destWidth) / 2.0f - 0.5f;
  const float centreDestY = static_cast<float>(record.destHeight) / 2.0f - 0.5f;
  const float centreSrcX = static_cast<float>(record.srcWidth) / 2.0f - 0.5f;
  const float centreSrcY = static_cast<float>(record.srcHeight) / 2.0f - 0.5f;
  // The leftmost / lowest tap of a neighbourhood may go no further than this.
  const float maxCol = static_cast<float>(record.srcWidth - 4);
  const float maxRow = static_cast<float>(record.srcHeight - 4);
  const int32_t mode = ProjectionMode;

  BuildSampleTables();
  ColumnAngles columns;
  if (mode == Fisheye) columns = TabulateColumns(record.destWidth, centreDestX);

  for (int32_t y = 0; y < record.destHeight; ++y) {
    const float dy = static_cast<float>(y) - centreDestY;
    float sinPolar = 0.0f;
    float cosPolar = 0.0f;
    if (mode == Fisheye) {
      float polar = PolarAngleOf(dy);
      sinPolar = SinOf(polar);
      cosPolar = CosOf(polar);
    }
    uint8_t* destRow = record.destBase + static_cast<ptrdiff_t>(y) * record.destStride;
    for (int32_t x = 0; x < record.destWidth; ++x) {
      const float dx = static_cast<float>(x) - centreDestX;
      float u;
      float v;
      switch (mode) {
        case Centred:
          u = dx;
          v = dy;
          break;
        case Fisheye:
          ProjectFisheyeFromAngles(columns.sinAzimuth[x], columns.cosAzimuth[x], sinPolar,
                                   cosPolar, u, v);
          break;
        case Scaled:
          u = record.scale * dx;
          v = record.scale * dy;
          break;
        default:
          continue;  // reserved modes map nothing
      }
      // Nearest source pixel, ties to even, and the fraction left over.
      const float sourceX = u + centreSrcX;
      const float sourceY = v + centreSrcY;
      const float nearestX = std::nearbyint(sourceX);
      const float nearestY = std::nearbyint(sourceY);
      // Compared as floats, so positions far outside (or not numbers) are
      // skipped before any conversion to an integer.
      if (!(nearestY - 1.0f >= 0.0f && nearestX - 1.0f >= 0.0f && nearestY - 1.0f <= maxRow &&
            nearestX - 1.0f <= maxCol)) {
        continue;
      }
      const int32_t column = static_cast<int32_t>(nearestX);
      const int32_t row = static_cast<int32_t>(nearestY);
      for (int k = 0; k < 4; ++k) {
        NeighbourRows[k] = record.srcBase + static_cast<ptrdiff_t>(row - 1 + k) * record.srcStride +
                           4 * static_cast<ptrdiff_t>(column - 1);
      }
      SampleBicubic(destRow + 4 * static_cast<ptrdiff_t>(x), sourceX - nearestX,
                    sourceY - nearestY);
    }
  }

  SetTransformPriority(false);
}

void ClearSideMargins(const PixelBuffer& picture) {
  // Whole pixels, so that the window shows exactly what Save writes.
  if (picture.width <= picture.height) return;  // every column is inside the square
  const int32_t left = SquareLeft(picture.width, picture.height);
  const int32_t right = left + picture.height;
  for (int32_t y = 0; y < picture.height; ++y) {
    std::memset(picture.Row(y), 0, 4 * static_cast<size_t>(left));
    std::memset(picture.Pixel(right, y), 0, 4 * static_cast<size_t>(picture.width - right));
  }
}

void RunTransform() {
  BusyFlag = 1;
  CurrentTransform = TransformRecord{
      .destWidth = SourceWidth,
      .destHeight = SourceHeight,
      .destStride = 4 * SourceWidth,
      .destBase = PanoramaPixels,
      .srcWidth = SourceWidth,
      .srcHeight = SourceHeight,
      .srcStride = 4 * SourceWidth,
      .srcBase = SourcePixels,
      .scale = 1.0f,
  };
  ProjectionMode = Fisheye;
  ResampleImage(CurrentTransform);
  ProjectionMode = Centred;

  if (PanoramaPixels != nullptr && DisplayPixels != nullptr) {
    std::memcpy(DisplayPixels, PanoramaPixels,
                static_cast<size_t>(SourceWidth) * static_cast<size_t>(SourceHeight) * 4);
    ClearSideMargins(DisplayBuffer());
  }
  RedrawMainWindow();
  ImageReady = 1;
}
