#include "transform/resample.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>
#include <vector>

#include "transform/calibrated_lens.h"
#include "transform/lens.h"
#include "transform/lens_plan.h"
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

ColumnAngles ZeroColumns(int32_t width) {
  ColumnAngles columns;
  const size_t padded = (static_cast<size_t>(width) + 7) / 8 * 8;
  columns.sinAzimuth.assign(padded, 0.0f);
  columns.cosAzimuth.assign(padded, 0.0f);
  return columns;
}

// The program's own lens: single-precision azimuths, as it always had.
ColumnAngles TabulateColumns(int32_t width, float centreX, float radiansPerPixel) {
  ColumnAngles columns = ZeroColumns(width);
  for (int32_t x = 0; x < width; ++x) {
    float azimuth = (static_cast<float>(x) - centreX) * radiansPerPixel;
    columns.sinAzimuth[x] = SinOf(azimuth);
    columns.cosAzimuth[x] = CosOf(azimuth);
  }
  return columns;
}

// Any other lens: column x of a panorama `height` high lies at longitude
// (x + 0.5 - width / 2) * pi / height; the camera's yaw is taken off it here.
// Worked in double and rounded once (see SinOf).
// `tabulated` columns, past the row's end too, when more than its width.
ColumnAngles TabulateLongitudes(int32_t width, int32_t height, double yawRadians, int32_t tabulated = 0) {
  ColumnAngles columns = ZeroColumns(std::max(width, tabulated));
  for (int32_t x = 0; x < std::max(width, tabulated); ++x) {
    const double longitude = (x + 0.5 - width / 2.0) * std::numbers::pi / height - yawRadians;
    columns.sinAzimuth[x] = static_cast<float>(std::sin(longitude));
    columns.cosAzimuth[x] = static_cast<float>(std::cos(longitude));
  }
  return columns;
}

// Row y in storage (the bottom row first) lies at latitude
// (y + 0.5 - height / 2) * pi / height.
std::vector<LensRowConstants> TabulateLatitudes(int32_t height, double pitchRadians) {
  std::vector<LensRowConstants> rows(static_cast<size_t>(std::max(height, 0)));
  for (int32_t y = 0; y < height; ++y) {
    const double latitude = (y + 0.5 - height / 2.0) * std::numbers::pi / height;
    rows[y] = {static_cast<float>(std::cos(latitude)), static_cast<float>(std::sin(latitude) * std::cos(pitchRadians)),
               static_cast<float>(std::sin(latitude) * std::sin(pitchRadians))};
  }
  return rows;
}

double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// The model's constants for a circle of `radius` pixels across `fovDegrees`.
LensPassConstants LensPassFor(const Lens& lens, double radius) {
  LensPassConstants pass;
  pass.model = static_cast<int32_t>(lens.model);
  const double halfFov = Radians(lens.fovDegrees) / 2.0;
  switch (lens.model) {
    case LensModel::Equidistant: pass.focal = static_cast<float>(radius / halfFov); break;
    case LensModel::Equisolid:  // rho = 2f sin(theta / 2); the kernel wants f sqrt(2)
      pass.focal = static_cast<float>(std::sqrt(2.0) * radius / (2.0 * std::sin(halfFov / 2.0)));
      break;
    case LensModel::Stereographic:  // rho = 2f tan(theta / 2); the kernel wants 2f
      pass.focal = static_cast<float>(radius / std::tan(halfFov / 2.0));
      break;
    case LensModel::Orthographic: pass.focal = static_cast<float>(radius / std::sin(halfFov)); break;
  }
  // A lens of 360 degrees sees every direction, whatever the rounding.
  pass.cosHalfFov = lens.fovDegrees >= 360.0 ? -2.0f : static_cast<float>(std::cos(halfFov));
  const double pitch = Radians(lens.pitchDegrees);
  pass.sinPitch = static_cast<float>(std::sin(pitch));
  pass.cosPitch = static_cast<float>(std::cos(pitch));
  return pass;
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

// The 16-bit forms; the plain loop takes both depths.
ResampleRowsKernel Kernel16For(KernelPath path) {
  switch (path) {
#if defined(__x86_64__) || defined(_M_X64)
    case KernelPath::Sse2: return ResampleRows16Sse2;
    case KernelPath::Avx2: return ResampleRows16Avx2;
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

// A plan for `record` under `mode`, with the centres at size / 2 - 0.5 in
// floating point (2.0 for 5 pixels, 1.5 for 4).
ResamplePlan PlanFor(const TransformRecord& record, int32_t mode) {
  ResamplePlan plan;
  plan.record = record;
  plan.mode = mode;
  plan.centreDestX = static_cast<float>(record.destWidth) / 2.0f - 0.5f;
  plan.centreDestY = static_cast<float>(record.destHeight) / 2.0f - 0.5f;
  plan.centreSrcX = static_cast<float>(record.srcWidth) / 2.0f - 0.5f;
  plan.centreSrcY = static_cast<float>(record.srcHeight) / 2.0f - 0.5f;
  plan.maxCol = record.srcWidth - 4;
  plan.maxRow = record.srcHeight - 4;
  return plan;
}

void UseColumns(ResamplePlan& plan, const ColumnAngles& columns) {
  plan.sinAzimuth = columns.sinAzimuth.data();
  plan.cosAzimuth = columns.cosAzimuth.data();
  plan.mirroredColumns = ColumnsAreMirrored(columns, plan.record.destWidth);
}

// The tables hold the same values on every run; made once, so that passes on
// several threads at once only ever read them.
void PrepareSampleTables() {
  static std::once_flag made;
  std::call_once(made, BuildSampleTables);
}

// One pass, on `threads` threads (0: every core), with `afterBand` run on
// each band of rows once its pixels are done.
void ResampleInBands(const ResamplePlan& plan, int32_t threads, const BandCallback& afterBand) {
  const TransformRecord& record = plan.record;
  PrepareSampleTables();
  // The vectorised kernels address the source by 32-bit byte offsets; a
  // source of 2 GB or more (which no store holds) takes the plain loop.
  const bool offsetsFit = int64_t{record.srcStride} * record.srcHeight + 4 * int64_t{record.srcWidth} <= INT32_MAX;
  const KernelPath path = offsetsFit ? ActiveKernelPath() : KernelPath::Plain;
  const ResampleRowsKernel kernel = plan.pixelBytes == 8 ? Kernel16For(path) : KernelFor(path);
  ForEachRowBand(record.destHeight, threads, [&](int32_t firstRow, int32_t endRow) {
    kernel(plan, firstRow, endRow);
    if (afterBand) afterBand(firstRow, endRow);
  });
}

// A calibrated lens: its centre, polynomial and matrix, the field up to its
// fold, its field of view and its circle. The circle (y down) limits the
// field only where one was given, in `lens.circle`; else the crop's does.
void SetCalibratedLensOf(ResamplePlan& plan, const Lens& lens, const ImageCircle& circle) {
  const CalibratedLens& placed = *lens.calibrated;
  plan.centreSrcX = static_cast<float>(placed.centreX);
  plan.centreSrcY = static_cast<float>(plan.record.srcHeight - 1 - placed.centreY);
  LensPassConstants& pass = plan.lens;
  pass.model = static_cast<int32_t>(placed.base);
  pass.calibrated = true;
  pass.focal = static_cast<float>(placed.focal);
  for (int i = 0; i < 9; ++i) pass.poly[i] = static_cast<float>(placed.poly[i]);
  const double limit = FieldLimit(placed, lens.fovDegrees >= 360.0 ? std::numbers::pi : Radians(lens.fovDegrees) / 2.0);
  pass.cosHalfFov = limit >= std::numbers::pi ? -2.0f : static_cast<float>(std::cos(limit));
  const double pitch = Radians(lens.pitchDegrees);
  pass.sinPitch = static_cast<float>(std::sin(pitch));
  pass.cosPitch = static_cast<float>(std::cos(pitch));
  // The matrix after the roll; up in the store is up in the picture.
  const double c = std::cos(Radians(lens.rollDegrees)) * lens.radiusScale;
  const double s = std::sin(Radians(lens.rollDegrees)) * lens.radiusScale;
  const double roll[2][2] = {{c, -s}, {s, c}};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      plan.turn.m[i][j] = static_cast<float>(placed.matrix[i][0] * roll[0][j] + placed.matrix[i][1] * roll[1][j]);
  const std::optional<ImageCircle> field = lens.circle ? std::optional<ImageCircle>(circle) : placed.crop;
  if (field) {
    plan.turn.limited = true;
    plan.turn.limitX = static_cast<float>(field->x - placed.centreX);
    plan.turn.limitY = static_cast<float>(placed.centreY - field->y);
    plan.turn.limitRadiusSquared = static_cast<float>(field->radius * field->radius);
  }
}

// A GeneralLens plan's lens, its circle (y down) in the record's source,
// the destination rows' constants (kept in `rows`) and the roll.
void SetLensOf(ResamplePlan& plan, const Lens& lens, const ImageCircle& circle, std::vector<LensRowConstants>& rows) {
  rows = TabulateLatitudes(plan.record.destHeight, Radians(lens.pitchDegrees));
  plan.lensRows = rows.data();
  if (lens.calibrated) {
    SetCalibratedLensOf(plan, lens, circle);
    return;
  }
  // The circle's centre counts rows from the top; the store's from the bottom.
  plan.centreSrcX = static_cast<float>(circle.x);
  plan.centreSrcY = static_cast<float>(plan.record.srcHeight - 1 - circle.y);
  plan.lens = LensPassFor(lens, circle.radius);
  const float cosRoll = static_cast<float>(std::cos(Radians(lens.rollDegrees)));
  const float sinRoll = static_cast<float>(std::sin(Radians(lens.rollDegrees)));
  plan.turn.m[0][0] = cosRoll;
  plan.turn.m[0][1] = -sinRoll;
  plan.turn.m[1][0] = sinRoll;
  plan.turn.m[1][1] = cosRoll;
}

// A 16-bit pass's record: the same fields, its strides and addresses in bytes.
TransformRecord RecordFor(const PixelBuffer16& source, const PixelBuffer16& destination) {
  return TransformRecord{
      .destWidth = destination.width,
      .destHeight = destination.height,
      .destStride = 2 * destination.RowSamples(),
      .destBase = reinterpret_cast<uint8_t*>(destination.base),
      .srcWidth = source.width,
      .srcHeight = source.height,
      .srcStride = 2 * source.RowSamples(),
      .srcBase = reinterpret_cast<const uint8_t*>(source.base),
      .scale = 1.0f,
  };
}

TransformRecord RecordFor(const PixelBuffer& source, const PixelBuffer& destination) {
  return TransformRecord{
      .destWidth = destination.width,
      .destHeight = destination.height,
      .destStride = destination.RowBytes(),
      .destBase = destination.base,
      .srcWidth = source.width,
      .srcHeight = source.height,
      .srcStride = source.RowBytes(),
      .srcBase = source.base,
      .scale = 1.0f,
  };
}

// Samples the pixel `placed` describes into `destination` (its channels, at
// the plan's depth).
void SamplePlacedAt(const ResamplePlan& plan, const PlacedSample& placed, uint8_t* destination) {
  if (plan.pixelBytes == 8) {
    const uint16_t* rows[4];
    for (int k = 0; k < 4; ++k)
      rows[k] = reinterpret_cast<const uint16_t*>(plan.record.srcBase + placed.taps +
                                                  static_cast<ptrdiff_t>(k) * plan.record.srcStride);
    SampleBicubicAt16(reinterpret_cast<uint16_t*>(destination), rows, placed.across, placed.down);
    return;
  }
  const uint8_t* rows[4];
  for (int k = 0; k < 4; ++k) rows[k] = plan.record.srcBase + placed.taps + static_cast<ptrdiff_t>(k) * plan.record.srcStride;
  SampleBicubicAt(destination, rows, placed.across, placed.down);
}

// The plain loops' sample at source position (sourceX, sourceY), when it has
// a whole neighbourhood (see PlaceSample).
bool SampleIfInside(const ResamplePlan& plan, float sourceX, float sourceY, uint8_t* destination) {
  PlacedSample placed;
  if (!PlaceSample(plan, sourceX, sourceY, placed)) return false;
  SamplePlacedAt(plan, placed, destination);
  return true;
}

// Where pixel x of destination row y samples in the design's loop, relative
// to the source centre; false for the reserved modes, which map nothing.
// sinPolar and cosPolar: the row's, for the program's own lens.
bool OffsetOf(const ResamplePlan& plan, int32_t x, int32_t y, float sinPolar, float cosPolar, float& u, float& v) {
  const float dx = static_cast<float>(x) - plan.centreDestX;
  const float dy = static_cast<float>(y) - plan.centreDestY;
  switch (plan.mode) {
    case Centred:
      u = dx;
      v = dy;
      return true;
    case Fisheye:
      ProjectFromAngles(plan.sinAzimuth[x], plan.cosAzimuth[x], sinPolar, cosPolar, plan.program.scaleU,
                        plan.program.scaleV, u, v);
      return true;
    case GeneralLens: {
      float across;
      float up;
      ProjectThroughLens(plan.sinAzimuth[x], plan.cosAzimuth[x], plan.lensRows[y], plan.lens, across, up);
      TurnLanes<float>(plan.turn).Apply(across, up, u, v);
      return true;
    }
    case Scaled:
      u = plan.record.scale * dx;
      v = plan.record.scale * dy;
      return true;
    default: return false;
  }
}

// The sine and cosine of row y's polar angle, for the program's own lens.
void PolarOfRow(const ResamplePlan& plan, int32_t y, float& sinPolar, float& cosPolar) {
  sinPolar = 0.0f;
  cosPolar = 0.0f;
  if (plan.mode != Fisheye) return;
  const float polar = PolarAngleOf(static_cast<float>(y) - plan.centreDestY, plan.program);
  sinPolar = SinOf(polar);
  cosPolar = CosOf(polar);
}

// A lens row pass's source position of every column of `spans` in row y and
// its cosine off the lens axis: visit(x, sourceX, sourceY, cosine). The
// vectorised kernels' grid: exact every kLensGrid columns from the span's
// start, straight lines between.
template <class Visit>
void ForEachLensRowPosition(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                            const Visit& visit) {
  const TurnLanes<float> turn(plan.turn);
  struct Exact {
    float across, up, cosine;
  };
  const auto exactAt = [&](int32_t x) {
    Exact e;
    ProjectThroughLens(plan.sinAzimuth[x], plan.cosAzimuth[x], plan.lensRows[y], plan.lens, e.across, e.up, &e.cosine);
    return e;
  };
  for (int32_t span = 0; span < spanCount; ++span) {
    Exact start{};
    Exact stop{};
    for (int32_t x = spans[span].begin; x < spans[span].end; ++x) {
      const int32_t offset = (x - spans[span].begin) % kLensGrid;
      if (offset == 0) {
        start = exactAt(x);
        stop = exactAt(x + kLensGrid);
      }
      float across;
      float up;
      float cosine;
      if (start.across != start.across || stop.across != stop.across) {
        const Exact e = exactAt(x);
        across = e.across;
        up = e.up;
        cosine = e.cosine;
      } else {
        const float fraction = static_cast<float>(offset) * (1.0f / kLensGrid);
        across = start.across + (stop.across - start.across) * fraction;
        up = start.up + (stop.up - start.up) * fraction;
        cosine = start.cosine + (stop.cosine - start.cosine) * fraction;
      }
      float u;
      float v;
      turn.Apply(across, up, u, v);
      visit(x, u + plan.centreSrcX, v + plan.centreSrcY, cosine);
    }
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
  for (int32_t y = firstRow; y < endRow; ++y) {
    float sinPolar;
    float cosPolar;
    PolarOfRow(plan, y, sinPolar, cosPolar);
    uint8_t* destRow = record.destBase + static_cast<ptrdiff_t>(y) * record.destStride;
    for (int32_t x = 0; x < record.destWidth; ++x) {
      float u;
      float v;
      if (!OffsetOf(plan, x, y, sinPolar, cosPolar, u, v)) continue;
      SampleIfInside(plan, u + plan.centreSrcX, v + plan.centreSrcY,
                     destRow + plan.pixelBytes * static_cast<ptrdiff_t>(x));
    }
  }
}

bool PlaceSample(const ResamplePlan& plan, float sourceX, float sourceY, PlacedSample& placed) {
  // Compared as floats, so that positions far outside (or not numbers) never
  // reach a conversion to an integer.
  const float nearestX = std::nearbyint(sourceX);
  const float nearestY = std::nearbyint(sourceY);
  if (!(nearestY - 1.0f >= 0.0f && nearestX - 1.0f >= 0.0f && nearestY - 1.0f <= static_cast<float>(plan.maxRow) &&
        nearestX - 1.0f <= static_cast<float>(plan.maxCol))) {
    placed = {};
    return false;
  }
  const int32_t column = static_cast<int32_t>(nearestX);
  const int32_t row = static_cast<int32_t>(nearestY);
  placed.taps =
      static_cast<ptrdiff_t>(row - 1) * plan.record.srcStride + plan.pixelBytes * static_cast<ptrdiff_t>(column - 1);
  placed.across = sourceX - nearestX;
  placed.down = sourceY - nearestY;
  return true;
}

void PlaceRow(const ResamplePlan& plan, int32_t y, PlacedSample* placed) {
  float sinPolar;
  float cosPolar;
  PolarOfRow(plan, y, sinPolar, cosPolar);
  for (int32_t x = 0; x < plan.record.destWidth; ++x) {
    float u;
    float v;
    if (!OffsetOf(plan, x, y, sinPolar, cosPolar, u, v)) {
      placed[x] = {};
      continue;
    }
    PlaceSample(plan, u + plan.centreSrcX, v + plan.centreSrcY, placed[x]);
  }
}

void PlaceLensRow(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount,
                  PlacedSample* placed, float* axial) {
  ForEachLensRowPosition(plan, y, spans, spanCount, [&](int32_t x, float sourceX, float sourceY, float cosine) {
    const bool inside = PlaceSample(plan, sourceX, sourceY, placed[x]);
    axial[x] = inside ? cosine : std::numeric_limits<float>::quiet_NaN();
  });
}

void ResampleImage(const TransformRecord& record) {
  ResamplePlan plan = PlanFor(record, ProjectionMode);
  plan.program = {PanoramaRadius, RadiansPerPixel, FisheyeScaleU, FisheyeScaleV, HalfPi};
  ColumnAngles columns;
  if (plan.mode == Fisheye) {
    columns = TabulateColumns(record.destWidth, plan.centreDestX, plan.program.radiansPerPixel);
    UseColumns(plan, columns);
  }
  ResampleInBands(plan, 0, nullptr);
}

void TransformPicture(const PixelBuffer& source, const PixelBuffer& panorama, const Lens& lens, int32_t threads,
                      const BandCallback& afterBand) {
  LensPlan pass;
  PlanPicture(pass, RecordFor(source, panorama), lens);
  ResampleInBands(pass.plan, threads, afterBand);
}

void TransformPicture(const PixelBuffer16& source, const PixelBuffer16& panorama, const Lens& lens, int32_t threads,
                      const BandCallback& afterBand) {
  LensPlan pass;
  PlanPicture(pass, RecordFor(source, panorama), lens);
  pass.plan.pixelBytes = 8;
  ResampleInBands(pass.plan, threads, afterBand);
}

void PlanPicture(LensPlan& pass, const TransformRecord& record, const Lens& lens) {
  ColumnAngles columns;
  if (IsProgramLens(lens, record.srcWidth, record.srcHeight) && record.destWidth == record.srcWidth &&
      record.destHeight == record.srcHeight) {
    // The program's own lens at the picture's own size: its original numbers.
    pass.plan = PlanFor(record, Fisheye);
    pass.plan.program = ProgramLensFor(record.srcHeight);
    columns = TabulateColumns(record.destWidth, pass.plan.centreDestX, pass.plan.program.radiansPerPixel);
  } else {
    pass.plan = PlanFor(record, GeneralLens);
    SetLensOf(pass.plan, lens, CircleOf(lens, record.srcWidth, record.srcHeight), pass.rows);
    columns = TabulateLongitudes(record.destWidth, record.destHeight, Radians(lens.yawDegrees));
  }
  UseColumns(pass.plan, columns);
  pass.sinLongitude = std::move(columns.sinAzimuth);
  pass.cosLongitude = std::move(columns.cosAzimuth);
  pass.plan.sinAzimuth = pass.sinLongitude.data();
  pass.plan.cosAzimuth = pass.cosLongitude.data();
}

void PlanLens(LensPlan& pass, const TransformRecord& record, const Lens& lens, const ImageCircle& circle) {
  pass.plan = PlanFor(record, GeneralLens);
  SetLensOf(pass.plan, lens, circle, pass.rows);
  ColumnAngles columns = TabulateLongitudes(record.destWidth, record.destHeight, Radians(lens.yawDegrees),
                                            (record.destWidth + 7) / 8 * 8 + kLensGrid);
  pass.sinLongitude = std::move(columns.sinAzimuth);
  pass.cosLongitude = std::move(columns.cosAzimuth);
  pass.plan.sinAzimuth = pass.sinLongitude.data();
  pass.plan.cosAzimuth = pass.cosLongitude.data();
}

LensRowKernel ActiveLensRowKernel() {
  PrepareSampleTables();
  switch (ActiveKernelPath()) {
#if defined(__x86_64__) || defined(_M_X64)
    case KernelPath::Sse2: return SampleLensRowSse2;
    case KernelPath::Avx2: return SampleLensRowAvx2;
#endif
    default: return SampleLensRowPlain;
  }
}

LensRowKernel ActiveLensRowKernel16() {
  PrepareSampleTables();
  switch (ActiveKernelPath()) {
#if defined(__x86_64__) || defined(_M_X64)
    case KernelPath::Sse2: return SampleLensRow16Sse2;
    case KernelPath::Avx2: return SampleLensRow16Avx2;
#endif
    default: return SampleLensRowPlain;
  }
}

void SampleLensRowPlain(const ResamplePlan& plan, int32_t y, const ColumnSpan* spans, int32_t spanCount, float* axial,
                        uint8_t* row) {
  ForEachLensRowPosition(plan, y, spans, spanCount, [&](int32_t x, float sourceX, float sourceY, float cosine) {
    const bool sampled = SampleIfInside(plan, sourceX, sourceY, row + plan.pixelBytes * static_cast<ptrdiff_t>(x));
    axial[x] = sampled ? cosine : std::numeric_limits<float>::quiet_NaN();
  });
}

PlacedSampler ActivePlacedSampler() {
  PrepareSampleTables();
  switch (ActiveKernelPath()) {
#if defined(__x86_64__) || defined(_M_X64)
    case KernelPath::Sse2: return SamplePlacedSse2;
    case KernelPath::Avx2: return SamplePlacedAvx2;
#endif
    default: return SamplePlacedPlain;
  }
}

void SamplePlacedPlain(uint8_t* destination, const int32_t* taps, const float* across, const float* down,
                       int32_t count, const uint8_t* srcBase, ptrdiff_t srcStride) {
  for (int32_t i = 0; i < count; ++i) {
    if (taps[i] < 0) continue;
    const uint8_t* rows[4];
    for (int k = 0; k < 4; ++k) rows[k] = srcBase + taps[i] + k * srcStride;
    SampleBicubicAt(destination + 4 * static_cast<ptrdiff_t>(i), rows, across[i], down[i]);
  }
}

PlaneSampler ActivePlaneSampler() {
  PrepareSampleTables();
#if defined(__x86_64__) || defined(_M_X64)
  if (ActiveKernelPath() == KernelPath::Avx2) return SamplePlanesAvx2;
#endif
  return SamplePlanesPlain;
}

PlaneFinisher ActivePlaneFinisher() {
#if defined(__x86_64__) || defined(_M_X64)
  if (ActiveKernelPath() == KernelPath::Avx2) return FinishPlaneAvx2;
#endif
  return FinishPlanePlain;
}

void FinishPlanePlain(uint8_t* pixels, const uint8_t* back, const float* weights, const int32_t* taps, int32_t count,
                      const PlaneGain& gain) {
  for (int32_t i = 0; i < count; ++i) {
    if (taps[i] < 0) continue;
    if (back == nullptr) {
      pixels[i] = Gained(pixels[i], gain);
    } else {
      const float value = pixels[i] * weights[i] + Gained(back[i], gain) * (1.0f - weights[i]);
      pixels[i] = static_cast<uint8_t>(value + 0.5f);
    }
  }
}

uint32_t PackFractions(float across, float down) {
  const auto step = [](float fraction) {
    const long steps = std::lround(std::clamp(fraction, -0.5f, 0.5f) / kFractionStep);
    return static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(steps)));
  };
  return step(across) | step(down) << 16;
}

void SamplePlanesPlain(const PlaneSet& set, const int32_t* taps, const uint32_t* fractions, int32_t count,
                       ptrdiff_t srcStride) {
  for (int32_t i = 0; i < count; ++i) {
    if (taps[i] < 0) continue;
    const std::array<int32_t, 4> across = PlaneWeights(static_cast<int16_t>(fractions[i] & 0xFFFF));
    const std::array<int32_t, 4> down = PlaneWeights(static_cast<int16_t>(fractions[i] >> 16));
    for (int32_t p = 0; p < set.planes; ++p) {
      int32_t value = kPlaneRounding;
      for (int k = 0; k < 4; ++k) {
        const uint8_t* row = set.sources[p] + taps[i] + k * srcStride;
        int32_t sum = 0;
        for (int j = 0; j < 4; ++j) sum += row[j] * across[j];
        value += (sum >> kPlaneRowShift) * down[k];
      }
      set.destinations[p][i] = static_cast<uint8_t>(std::clamp(value >> kPlaneShift, 0, 255));
    }
  }
}

void ClearSideMargins(const PixelBuffer& picture) { ClearSideMarginRows(picture, 0, picture.height); }

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

void ClearSideMargins(const PixelBuffer16& picture) {
  if (picture.width <= picture.height) return;
  const int32_t left = SquareLeft(picture.width, picture.height);
  const int32_t right = left + picture.height;
  for (int32_t y = 0; y < picture.height; ++y) {
    std::memset(picture.Row(y), 0, 8 * static_cast<size_t>(left));
    std::memset(picture.Pixel(right, y), 0, 8 * static_cast<size_t>(picture.width - right));
  }
}
