#include "transform/resample.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "transform/parallel_rows.h"
#include "transform/projection.h"
#include "transform/resample_kernels.h"
#include "transform/sampler.h"

namespace {

// The azimuth depends on the column only: its sine and cosine are taken once
// per pass, the polar angle's once per row. Padded with zeros to a multiple
// of 8 columns, so that the vectorised kernels may read whole vectors.
struct ColumnAngles {
  std::vector<float> sinAzimuth;
  std::vector<float> cosAzimuth;
};

ColumnAngles TabulateColumns(int32_t width, float centreX) {
  ColumnAngles columns;
  const size_t padded = (static_cast<size_t>(width) + 7) / 8 * 8;
  columns.sinAzimuth.assign(padded, 0.0f);
  columns.cosAzimuth.assign(padded, 0.0f);
  for (int32_t x = 0; x < width; ++x) {
    float azimuth = AzimuthOf(static_cast<float>(x) - centreX);
    columns.sinAzimuth[x] = SinOf(azimuth);
    columns.cosAzimuth[x] = CosOf(azimuth);
  }
  return columns;
}

// Whether every column's azimuth has the sine of opposite sign and the same
// cosine as its mirror image's. It does whenever the column offsets are exact
// and the C library's sine is odd and its cosine even, as they are on the
// systems we build for; the kernels then take the right half of each row from
// the left half, and give the same bits as working out every column.
bool ColumnsAreMirrored(const ColumnAngles& columns, int32_t width) {
  for (int32_t x = 0, mirror = width - 1; x < mirror; ++x, --mirror) {
    // Compared as bits, so that a zero's sign counts too.
    if (std::bit_cast<uint32_t>(columns.sinAzimuth[mirror]) != std::bit_cast<uint32_t>(-columns.sinAzimuth[x]) ||
        std::bit_cast<uint32_t>(columns.cosAzimuth[mirror]) != std::bit_cast<uint32_t>(columns.cosAzimuth[x]))
      return false;
  }
  return true;
}

KernelPath ChosenPath = KernelPath::Automatic;

ResampleRowsKernel KernelFor(KernelPath path) {
  switch (path) {
    case KernelPath::Plain: return ResampleRowsPlain;
#if defined(__x86_64__) || defined(_M_X64)
    case KernelPath::Sse2: return ResampleRowsSse2;
    case KernelPath::Avx2: return ResampleRowsAvx2;
#endif
    default: return ResampleRowsPlain;
  }
}

// What Automatic stands for on this processor, decided on first use.
KernelPath FastestPath() {
#if defined(__x86_64__) || defined(_M_X64)
  static const KernelPath fastest = ProcessorHasAvx2() ? KernelPath::Avx2 : KernelPath::Sse2;
  return fastest;
#else
  return KernelPath::Plain;
#endif
}

// One pass, with `afterBand` run on each band of rows once its pixels are done.
void ResampleInBands(const TransformRecord& record,
                     const std::function<void(int32_t firstRow, int32_t endRow)>& afterBand) {
  SetTransformPriority(true);

  ResamplePlan plan;
  plan.record = record;
  plan.mode = ProjectionMode;
  // Centres at width / 2 - 0.5 in floating point: 2.0 for 5 pixels, 1.5 for 4.
  plan.centreDestX = static_cast<float>(record.destWidth) / 2.0f - 0.5f;
  plan.centreDestY = static_cast<float>(record.destHeight) / 2.0f - 0.5f;
  plan.centreSrcX = static_cast<float>(record.srcWidth) / 2.0f - 0.5f;
  plan.centreSrcY = static_cast<float>(record.srcHeight) / 2.0f - 0.5f;
  plan.maxCol = record.srcWidth - 4;
  plan.maxRow = record.srcHeight - 4;

  BuildSampleTables();
  ColumnAngles columns;
  if (plan.mode == Fisheye) {
    columns = TabulateColumns(record.destWidth, plan.centreDestX);
    plan.sinAzimuth = columns.sinAzimuth.data();
    plan.cosAzimuth = columns.cosAzimuth.data();
    plan.mirroredColumns = ColumnsAreMirrored(columns, record.destWidth);
  }

  // The vectorised kernels address the source by 32-bit byte offsets; a
  // source of 2 GB or more (which no store holds) takes the plain loop.
  const bool offsetsFit = int64_t{record.srcStride} * record.srcHeight + 4 * int64_t{record.srcWidth} <= INT32_MAX;
  const ResampleRowsKernel kernel = offsetsFit ? KernelFor(ActiveKernelPath()) : ResampleRowsPlain;
  ForEachRowBand(record.destHeight, [&](int32_t firstRow, int32_t endRow) {
    kernel(plan, firstRow, endRow);
    if (afterBand) afterBand(firstRow, endRow);
  });

  SetTransformPriority(false);
}

void ClearSideMarginRows(const PixelBuffer& picture, int32_t firstRow, int32_t endRow) {
  // Whole pixels, so that the window shows exactly what Save writes.
  if (picture.width <= picture.height) return;  // every column is inside the square
  const int32_t left = SquareLeft(picture.width, picture.height);
  const int32_t right = left + picture.height;
  for (int32_t y = firstRow; y < endRow; ++y) {
    std::memset(picture.Row(y), 0, 4 * static_cast<size_t>(left));
    std::memset(picture.Pixel(right, y), 0, 4 * static_cast<size_t>(picture.width - right));
  }
}

}  // namespace

bool ProcessorHasAvx2() {
#if defined(__x86_64__) || defined(_M_X64)
  // GCC's check covers the system too: it asks whether the system saves the
  // wide registers across thread switches.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool UseKernelPath(KernelPath path) {
#if !(defined(__x86_64__) || defined(_M_X64))
  if (path == KernelPath::Sse2 || path == KernelPath::Avx2) return false;
#endif
  if (path == KernelPath::Avx2 && !ProcessorHasAvx2()) return false;
  ChosenPath = path;
  return true;
}

KernelPath ActiveKernelPath() { return ChosenPath == KernelPath::Automatic ? FastestPath() : ChosenPath; }

const char* KernelPathName(KernelPath path) {
  switch (path) {
    case KernelPath::Automatic: return "automatic";
    case KernelPath::Plain: return "plain";
    case KernelPath::Sse2: return "sse2";
    case KernelPath::Avx2: return "avx2";
  }
  return "?";
}

// The design's pixel loop as written: one pixel at a time, row by row, left
// to right. The vectorised kernels are checked against it.
void ResampleRowsPlain(const ResamplePlan& plan, int32_t firstRow, int32_t endRow) {
  const TransformRecord& record = plan.record;
  const float maxCol = static_cast<float>(plan.maxCol);
  const float maxRow = static_cast<float>(plan.maxRow);
  for (int32_t y = firstRow; y < endRow; ++y) {
    const float dy = static_cast<float>(y) - plan.centreDestY;
    float sinPolar = 0.0f;
    float cosPolar = 0.0f;
    if (plan.mode == Fisheye) {
      float polar = PolarAngleOf(dy);
      sinPolar = SinOf(polar);
      cosPolar = CosOf(polar);
    }
    uint8_t* destRow = record.destBase + static_cast<ptrdiff_t>(y) * record.destStride;
    for (int32_t x = 0; x < record.destWidth; ++x) {
      const float dx = static_cast<float>(x) - plan.centreDestX;
      float u;
      float v;
      switch (plan.mode) {
        case Centred:
          u = dx;
          v = dy;
          break;
        case Fisheye:
          ProjectFisheyeFromAngles(plan.sinAzimuth[x], plan.cosAzimuth[x], sinPolar, cosPolar, u, v);
          break;
        case Scaled:
          u = record.scale * dx;
          v = record.scale * dy;
          break;
        default:
          continue;  // reserved modes map nothing
      }
      // Nearest source pixel, ties to even, and the fraction left over.
      const float sourceX = u + plan.centreSrcX;
      const float sourceY = v + plan.centreSrcY;
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
      const uint8_t* rows[4];
      for (int k = 0; k < 4; ++k) {
        rows[k] = record.srcBase + static_cast<ptrdiff_t>(row - 1 + k) * record.srcStride +
                  4 * static_cast<ptrdiff_t>(column - 1);
      }
      SampleBicubicAt(destRow + 4 * static_cast<ptrdiff_t>(x), rows, sourceX - nearestX, sourceY - nearestY);
    }
  }
}

void ResampleImage(const TransformRecord& record) { ResampleInBands(record, nullptr); }

void ClearSideMargins(const PixelBuffer& picture) { ClearSideMarginRows(picture, 0, picture.height); }

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
  // Each band is copied to the display and its margins cleared as soon as it
  // is done, while its rows are still in the cache.
  const bool show = PanoramaPixels != nullptr && DisplayPixels != nullptr;
  const PixelBuffer panorama = PanoramaBuffer();
  const PixelBuffer display = DisplayBuffer();
  ProjectionMode = Fisheye;
  ResampleInBands(CurrentTransform, [&](int32_t firstRow, int32_t endRow) {
    if (!show) return;
    std::memcpy(display.Row(firstRow), panorama.Row(firstRow),
                static_cast<size_t>(endRow - firstRow) * static_cast<size_t>(panorama.RowBytes()));
    ClearSideMarginRows(display, firstRow, endRow);
  });
  ProjectionMode = Centred;

  RedrawMainWindow();
  ImageReady = 1;
}
