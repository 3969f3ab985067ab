#include "transform/dual_lens.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <span>
#include <thread>
#include <type_traits>
#include <vector>

#include "transform/calibrated_lens.h"
#include "transform/circle_finder.h"
#include "transform/dual_plan.h"
#include "transform/lens_plan.h"
#include "transform/numbers.h"
#include "transform/parallel_rows.h"

namespace {

double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }
double Degrees(double radians) { return radians * 180.0 / std::numbers::pi; }

// --- orientation --------------------------------------------------------------

// A turn from world directions to a lens's own frame (X right, Y up, Z along
// the axis), as the transform applies a lens's yaw, pitch and roll: the yaw
// taken off the longitude, then the pitch, then the roll turning the picture
// about the axis.
struct Rotation {
  double m[3][3];
};

Rotation Product(const Rotation& a, const Rotation& b) {
  Rotation r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  return r;
}

Rotation YawPitch(double yaw, double pitch) {
  const double cy = std::cos(yaw), sy = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
  // Pitch after yaw: X' = x cos(yaw) - z sin(yaw); Y = y cos(pitch) - Z' sin(pitch);
  // Z = Z' cos(pitch) + y sin(pitch), with Z' = z cos(yaw) + x sin(yaw).
  return {{{cy, 0.0, -sy}, {-sy * sp, cp, -cy * sp}, {sy * cp, sp, cy * cp}}};
}

Rotation Roll(double roll) {
  const double c = std::cos(roll), s = std::sin(roll);
  return {{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

Rotation RotationOf(double yawDegrees, double pitchDegrees, double rollDegrees) {
  return Product(Roll(Radians(rollDegrees)), YawPitch(Radians(yawDegrees), Radians(pitchDegrees)));
}

// The yaw, pitch and roll that make `rotation`. The axis (its last row) gives
// yaw and pitch; what is left of the turn is the roll.
void SetOrientation(Lens& lens, const Rotation& rotation) {
  const double* axis = rotation.m[2];
  const double pitch = std::asin(std::clamp(axis[1], -1.0, 1.0));
  const double yaw = std::atan2(axis[0], axis[2]);
  const Rotation rest = YawPitch(yaw, pitch);
  // rotation = Roll * rest, so Roll = rotation * transpose(rest).
  double cosRoll = 0.0;
  double sinRoll = 0.0;
  for (int k = 0; k < 3; ++k) {
    cosRoll += rotation.m[0][k] * rest.m[0][k];
    sinRoll += rotation.m[1][k] * rest.m[0][k];
  }
  lens.yawDegrees = Degrees(yaw);
  lens.pitchDegrees = Degrees(pitch);
  lens.rollDegrees = Degrees(std::atan2(sinRoll, cosRoll));
}

// --- the two passes -------------------------------------------------------------

// The seam runs midway between the lens axes; across it the front's weight
// falls from 1 to 0 over this many degrees either side, less where the
// lenses' fields leave less room.
double SeamHalfWidthDegrees(double fovDegrees) { return std::clamp(fovDegrees / 2.0 - 90.0 - 1.0, 1.0, 3.0); }

TransformRecord HalfRecord(const PixelBuffer& source, int32_t sphereWidth, int32_t sphereHeight, bool back) {
  const int32_t half = FrontHalfWidth(source.width);
  TransformRecord record{};
  record.destWidth = sphereWidth;
  record.destHeight = sphereHeight;
  record.destStride = 4 * sphereWidth;
  record.srcWidth = back ? source.width - half : half;
  record.srcHeight = source.height;
  record.srcStride = source.RowBytes();
  record.srcBase = source.base == nullptr ? nullptr : source.base + (back ? 4 * static_cast<ptrdiff_t>(half) : 0);
  record.scale = 1.0f;
  return record;
}

// The same for a 16-bit picture, its strides and addresses in bytes.
TransformRecord HalfRecord(const PixelBuffer16& source, int32_t sphereWidth, int32_t sphereHeight, bool back) {
  TransformRecord record = HalfRecord(PixelBuffer{nullptr, source.width, source.height}, sphereWidth, sphereHeight, back);
  record.destStride = 8 * sphereWidth;
  record.srcStride = 2 * source.RowSamples();
  const ptrdiff_t offset = back ? 4 * static_cast<ptrdiff_t>(FrontHalfWidth(source.width)) : 0;
  record.srcBase = source.base == nullptr ? nullptr : reinterpret_cast<const uint8_t*>(source.base + offset);
  return record;
}

// The columns of row y whose directions d have d . axis > threshold, a few
// columns to spare, in vector-aligned spans (see ColumnSpan). Gives the count.
int32_t SpansWhere(const double axis[3], double threshold, int32_t y, int32_t width, int32_t height,
                   ColumnSpan spans[2]) {
  const double latitude = (y + 0.5 - height / 2.0) * std::numbers::pi / height;
  const double reach = std::cos(latitude) * std::hypot(axis[0], axis[2]);
  const double rest = threshold - axis[1] * std::sin(latitude);
  // Along the row, d . axis = reach cos(longitude - middle) - rest + threshold.
  if (reach < 1e-9 || rest / reach <= -1.0) {
    if (reach < 1e-9 && rest >= 0.0) return 0;
    spans[0] = {0, width};
    return 1;
  }
  if (rest / reach >= 1.0) return 0;
  const double middle = std::atan2(axis[0], axis[2]);
  const double halfArc = std::acos(rest / reach);
  const double columnsPerRadian = height / std::numbers::pi;
  int64_t first = static_cast<int64_t>(std::floor((middle - halfArc) * columnsPerRadian + width / 2.0 - 0.5)) - 2;
  int64_t end = static_cast<int64_t>(std::ceil((middle + halfArc) * columnsPerRadian + width / 2.0 - 0.5)) + 3;
  if (end - first >= width) {
    spans[0] = {0, width};
    return 1;
  }
  const int64_t length = end - first;
  first = ((first % width) + width) % width;
  end = first + length;
  const auto aligned = [&](int64_t begin, int64_t stop) {
    return ColumnSpan{static_cast<int32_t>(begin / 8 * 8), static_cast<int32_t>(std::min<int64_t>((stop + 7) / 8 * 8, width))};
  };
  if (end <= width) {
    spans[0] = aligned(first, end);
    return 1;
  }
  // Round the back of the sphere: the row's end, then its start.
  spans[0] = aligned(0, end - width);
  spans[1] = aligned(first, width);
  if (spans[1].begin <= spans[0].end) {
    spans[0] = {0, width};
    return 1;
  }
  return 2;
}

// Runs job(i) for i in [0, count) on up to `threads` threads.
template <class Job>
void RunJobs(int32_t count, int32_t threads, const Job& job) {
  const int32_t workers = std::min(ThreadCountFor(threads), count);
  std::atomic<int32_t> next{0};
  const auto work = [&] {
    for (int32_t i = next++; i < count; i = next++) job(i);
  };
  std::vector<std::thread> helpers;
  for (int32_t t = 1; t < workers; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
}

float Unseen() { return std::numeric_limits<float>::quiet_NaN(); }

// Whether column x lies in one of `spans`; `end` (no further than it was)
// becomes where that stops being so.
bool Covers(const ColumnSpan* spans, int32_t count, int32_t x, int32_t& end) {
  for (int32_t i = 0; i < count; ++i) {
    if (x >= spans[i].begin && x < spans[i].end) {
      end = std::min(end, spans[i].end);
      return true;
    }
    if (spans[i].begin > x) end = std::min(end, spans[i].begin);
  }
  return false;
}

// The fields' cosines, less a degree, inside which a sample's neighbourhood
// lies well within the image circle.
float CosineWellInside(double fovDegrees) { return static_cast<float>(std::cos(Radians(fovDegrees / 2.0 - 1.0))); }

// The field a lens sees, in degrees across: its field of view, or a
// calibrated lens's own field within it.
double FieldDegrees(const Lens& lens) {
  if (!lens.calibrated) return lens.fovDegrees;
  return std::min(lens.fovDegrees, 2.0 * Degrees(FieldLimit(*lens.calibrated, std::numbers::pi)));
}

}  // namespace

namespace {

// PlanDual from the records of the two halves of a picture `pictureWidth` x
// `pictureHeight`.
void PlanDualHalves(DualPasses& passes, const TransformRecord& frontHalf, const TransformRecord& backHalf,
                    int32_t pictureWidth, int32_t pictureHeight, const DualLens& lens) {
  passes.width = frontHalf.destWidth;
  passes.height = frontHalf.destHeight;
  PlanLens(passes.front, frontHalf, lens.front, FrontCircleOf(lens, pictureWidth, pictureHeight));
  PlanLens(passes.back, backHalf, BackLensOf(lens), BackCircleOf(lens, pictureWidth, pictureHeight));
  const Rotation front = RotationOf(lens.front.yawDegrees, lens.front.pitchDegrees, lens.front.rollDegrees);
  const Rotation back = Product(
      RotationOf(180.0 + lens.back.yawDegrees, lens.back.pitchDegrees, lens.back.rollDegrees), front);
  for (int k = 0; k < 3; ++k) passes.seamAxis[k] = front.m[2][k] - back.m[2][k];
  // At the seam both angles are near 90 degrees, where the cosine falls by
  // sin(h) for h either way.
  passes.seamHalfWidth = static_cast<float>(2.0 * std::sin(Radians(SeamHalfWidthDegrees(DualFieldDegrees(lens)))));
  passes.inverseBand = 0.5f / passes.seamHalfWidth;
}

}  // namespace

void PlanDual(DualPasses& passes, const PixelBuffer& source, int32_t width, int32_t height, const DualLens& lens) {
  PlanDualHalves(passes, HalfRecord(source, width, height, false), HalfRecord(source, width, height, true),
                 source.width, source.height, lens);
}

GainTables::GainTables(const ChannelGains& gains) {
  const double gain[3] = {gains.blue, gains.green, gains.red};
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; ++v) table[c][v] = static_cast<uint8_t>(std::min(255.0, std::floor(v * gain[c] + 0.5)));
}

int32_t LensSpans(const DualPasses& passes, bool back, int32_t y, ColumnSpan spans[2]) {
  const double* front = passes.seamAxis;
  const double axis[3] = {back ? -front[0] : front[0], back ? -front[1] : front[1], back ? -front[2] : front[2]};
  return SpansWhere(axis, -passes.seamHalfWidth, y, passes.width, passes.height, spans);
}

bool IsSideBySide(int32_t width, int32_t height) {
  return height > 0 && width > 0 && 50 * std::abs(int64_t{width} - 2 * int64_t{height}) <= 2 * int64_t{height};
}

int32_t FrontHalfWidth(int32_t width) { return width / 2; }

PanoramaSize DualSphereSize(int32_t pictureWidth, int32_t pictureHeight, int32_t height) {
  Lens lens;
  lens.fovDegrees = 200.0;  // never the program's own lens
  return PanoramaSizeFor(lens, SaveShape::Sphere, pictureWidth, pictureHeight, height);
}

ImageCircle FrontCircleOf(const DualLens& lens, int32_t width, int32_t height) {
  return lens.front.circle ? *lens.front.circle : DefaultCircle(FrontHalfWidth(width), height);
}

ImageCircle BackCircleOf(const DualLens& lens, int32_t width, int32_t height) {
  if (lens.backCircle) return *lens.backCircle;
  return lens.front.circle ? *lens.front.circle : DefaultCircle(width - FrontHalfWidth(width), height);
}

BackLensOffset BackOffsetBetween(const LensPose& front, const LensPose& back) {
  const Rotation first = RotationOf(front.yawDegrees, front.pitchDegrees, front.rollDegrees);
  const Rotation second = RotationOf(back.yawDegrees, back.pitchDegrees, back.rollDegrees);
  // second = offset * first, and a rotation's inverse is its transpose.
  Rotation firstInverse{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) firstInverse.m[i][j] = first.m[j][i];
  Lens offset;
  SetOrientation(offset, Product(second, firstInverse));
  const auto turn = [](double degrees) { return degrees > 180.0 ? degrees - 360.0 : degrees <= -180.0 ? degrees + 360.0 : degrees; };
  return {turn(offset.yawDegrees - 180.0), offset.pitchDegrees, offset.rollDegrees};
}

double DualFieldDegrees(const DualLens& lens) { return std::min(FieldDegrees(lens.front), FieldDegrees(BackLensOf(lens))); }

Lens BackLensOf(const DualLens& lens) {
  Lens back = lens.front;
  back.circle.reset();
  if (lens.backFovDegrees) back.fovDegrees = *lens.backFovDegrees;
  back.calibrated = lens.backCalibrated;
  back.radiusScale = lens.backRadiusScale;
  // A calibrated lens's circle only limits its field, where one was given.
  if (back.calibrated && (lens.backCircle || lens.front.circle)) back.circle = lens.backCircle ? lens.backCircle : lens.front.circle;
  const Rotation camera = RotationOf(lens.front.yawDegrees, lens.front.pitchDegrees, lens.front.rollDegrees);
  SetOrientation(back, Product(RotationOf(180.0 + lens.back.yawDegrees, lens.back.pitchDegrees, lens.back.rollDegrees),
                               camera));
  return back;
}

ChannelGains MatchExposure(const PixelBuffer& source, const DualLens& lens) {
  // Both lenses over a small sphere: enough samples for the sums, in a few
  // milliseconds. One thread, rows in order: the same sums every time.
  const int32_t height = std::min(source.height, 128);
  const int32_t width = 2 * height;
  DualPasses passes;
  PlanDual(passes, source, width, height, lens);
  const LensRowKernel kernel = ActiveLensRowKernel();
  const float wellInside = CosineWellInside(DualFieldDegrees(lens));
  std::vector<uint8_t> frontRow(4 * static_cast<size_t>(width));
  std::vector<uint8_t> backRow(4 * static_cast<size_t>(width));
  std::vector<float> frontAxial(static_cast<size_t>(width));
  std::vector<float> backAxial(static_cast<size_t>(width));
  double frontSum[3] = {};
  double backSum[3] = {};
  int64_t count = 0;
  for (int32_t y = 0; y < height; ++y) {
    const ColumnSpan spans[1] = {{0, width}};
    const int32_t spanCount = 1;
    std::fill(frontAxial.begin(), frontAxial.end(), Unseen());
    std::fill(backAxial.begin(), backAxial.end(), Unseen());
    kernel(passes.front.plan, y, spans, spanCount, frontAxial.data(), frontRow.data());
    kernel(passes.back.plan, y, spans, spanCount, backAxial.data(), backRow.data());
    for (int32_t x = 0; x < width; ++x) {
      // Seen well inside both circles (not-a-number fails), and neither
      // clipped nor black in any channel.
      if (!(frontAxial[x] > wellInside && backAxial[x] > wellInside)) continue;
      const uint8_t* f = &frontRow[4 * static_cast<size_t>(x)];
      const uint8_t* b = &backRow[4 * static_cast<size_t>(x)];
      bool usable = true;
      for (int c = 0; c < 3; ++c) usable = usable && f[c] > 3 && f[c] < 252 && b[c] > 3 && b[c] < 252;
      if (!usable) continue;
      for (int c = 0; c < 3; ++c) {
        frontSum[c] += f[c];
        backSum[c] += b[c];
      }
      ++count;
    }
  }
  double gain[3] = {1.0, 1.0, 1.0};
  if (count >= 100) {
    for (int c = 0; c < 3; ++c) gain[c] = std::clamp(frontSum[c] / backSum[c], 0.25, 4.0);
  }
  return {gain[0], gain[1], gain[2]};
}

void StitchDualPicture(const PixelBuffer& source, const PixelBuffer& sphere, const DualLens& lens, int32_t threads,
                       const BandCallback& afterBand) {
  StitchDualPicture(source, sphere, lens, MatchExposure(source, lens), threads, afterBand);
}

namespace {

// The back lens's 16-bit samples under their channel's gain, rounded as the
// byte tables are, at most 65535.
struct Gains16 {
  double gain[3];
  explicit Gains16(const ChannelGains& gains) : gain{gains.blue, gains.green, gains.red} {}
};

uint8_t GainOf(const GainTables& gains, int channel, uint8_t v) { return gains.table[channel][v]; }
uint16_t GainOf(const Gains16& gains, int channel, uint16_t v) {
  return static_cast<uint16_t>(std::min(65535.0, std::floor(v * gains.gain[channel] + 0.5)));
}

uint8_t BlendOf(uint8_t front, uint8_t back, float weight) { return Blended(front, back, weight); }
// Blended's steps on 16-bit samples; single precision holds them exactly.
uint16_t BlendOf(uint16_t front, uint16_t back, float weight) {
  const float value = front * weight + back * (1.0f - weight);
  return static_cast<uint16_t>(value + 0.5f);
}

// The stitch's rows, on bytes (`gains` GainTables) or 16-bit samples
// (Gains16), the passes planned for that depth.
template <class Buffer, class Gains>
void StitchRows(const DualPasses& passes, const Buffer& sphere, const Gains& gains, LensRowKernel kernel,
                int32_t threads, const BandCallback& afterBand) {
  using Sample = std::remove_pointer_t<decltype(sphere.base)>;
  const size_t padded = (static_cast<size_t>(sphere.width) + 7) / 8 * 8;
  ForEachRowBand(sphere.height, threads, [&](int32_t firstRow, int32_t endRow) {
    std::vector<Sample> backRow(4 * padded);
    std::vector<float> frontAxial(padded);
    std::vector<float> backAxial(padded);
    for (int32_t y = firstRow; y < endRow; ++y) {
      Sample* out = sphere.Row(y);
      ColumnSpan frontSpans[2];
      ColumnSpan backSpans[2];
      // Each lens where its weight is above 0.
      const int32_t frontCount = LensSpans(passes, false, y, frontSpans);
      const int32_t backCount = LensSpans(passes, true, y, backSpans);
      // The front straight into the sphere; the back beside it, then laid
      // over it where it has weight, blended across the seam.
      kernel(passes.front.plan, y, frontSpans, frontCount, frontAxial.data(), reinterpret_cast<uint8_t*>(out));
      kernel(passes.back.plan, y, backSpans, backCount, backAxial.data(), reinterpret_cast<uint8_t*>(backRow.data()));
      for (int32_t span = 0; span < backCount; ++span) {
        for (int32_t x = backSpans[span].begin; x < backSpans[span].end;) {
          int32_t end = backSpans[span].end;
          const bool frontToo = Covers(frontSpans, frontCount, x, end);
          for (; x < end; ++x) {
            const float back = backAxial[x];
            if (back != back) continue;
            Sample* pixel = out + 4 * static_cast<ptrdiff_t>(x);
            const Sample* b = &backRow[4 * static_cast<size_t>(x)];
            const float front = frontToo ? frontAxial[x] : Unseen();
            if (front != front) {
              for (int c = 0; c < 3; ++c) pixel[c] = GainOf(gains, c, b[c]);
              continue;
            }
            const float weight = FrontWeight(passes, front, back);
            for (int c = 0; c < 3; ++c) pixel[c] = BlendOf(pixel[c], GainOf(gains, c, b[c]), weight);
          }
        }
      }
    }
    if (afterBand) afterBand(firstRow, endRow);
  });
}

}  // namespace

void StitchDualPicture(const PixelBuffer& source, const PixelBuffer& sphere, const DualLens& lens,
                       const ChannelGains& backGains, int32_t threads, const BandCallback& afterBand) {
  DualPasses passes;
  PlanDual(passes, source, sphere.width, sphere.height, lens);
  StitchRows(passes, sphere, GainTables(backGains), ActiveLensRowKernel(), threads, afterBand);
}

void StitchDualPicture(const PixelBuffer16& source, const PixelBuffer16& sphere, const DualLens& lens,
                       const ChannelGains& backGains, int32_t threads, const BandCallback& afterBand) {
  DualPasses passes;
  PlanDualHalves(passes, HalfRecord(source, sphere.width, sphere.height, false),
                 HalfRecord(source, sphere.width, sphere.height, true), source.width, source.height, lens);
  passes.front.plan.pixelBytes = 8;
  passes.back.plan.pixelBytes = 8;
  StitchRows(passes, sphere, Gains16(backGains), ActiveLensRowKernel16(), threads, afterBand);
}

// --- alignment -------------------------------------------------------------------

namespace {

// One half of the picture in grey, reduced by `factor` (boxes of factor x
// factor pixels), rows in storage order; at full size read from the
// picture's own bytes.
struct GreyHalf {
  std::vector<float> pixels;
  const uint8_t* bytes = nullptr;  // full size: the half's first pixel
  ptrdiff_t rowBytes = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t factor = 1;

  float At(const uint8_t* p) const { return static_cast<float>(p[0] + 2 * p[1] + p[2]) * 0.25f; }

  // Bilinear between the four pixels about (x, y); false outside.
  bool Sample(float x, float y, float& value) const {
    const float fx = std::floor(x);
    const float fy = std::floor(y);
    if (!(fx >= 0.0f && fy >= 0.0f && fx <= width - 2.0f && fy <= height - 2.0f)) return false;
    const int32_t column = static_cast<int32_t>(fx);
    const int32_t row = static_cast<int32_t>(fy);
    const float ax = x - fx;
    const float ay = y - fy;
    float p00, p01, p10, p11;
    if (bytes != nullptr) {
      const uint8_t* p = bytes + row * rowBytes + 4 * static_cast<ptrdiff_t>(column);
      p00 = At(p);
      p01 = At(p + 4);
      p10 = At(p + rowBytes);
      p11 = At(p + rowBytes + 4);
    } else {
      const float* p = &pixels[static_cast<size_t>(row) * width + column];
      p00 = p[0];
      p01 = p[1];
      p10 = p[width];
      p11 = p[width + 1];
    }
    const float bottom = p00 + (p01 - p00) * ax;
    const float top = p10 + (p11 - p10) * ax;
    value = bottom + (top - bottom) * ay;
    return true;
  }
};

GreyHalf FullSizeGrey(const PixelBuffer& source, bool back) {
  const int32_t half = FrontHalfWidth(source.width);
  GreyHalf grey;
  grey.bytes = source.Pixel(back ? half : 0, 0);
  grey.rowBytes = source.RowBytes();
  grey.width = back ? source.width - half : half;
  grey.height = source.height;
  return grey;
}

// `from` reduced by `by` in each direction (boxes of by x by pixels).
GreyHalf Reduced(const GreyHalf& from, int32_t by, int32_t threads) {
  GreyHalf to;
  to.width = from.width / by;
  to.height = from.height / by;
  to.factor = from.factor * by;
  to.pixels.resize(static_cast<size_t>(to.width) * to.height);
  const float share = 1.0f / static_cast<float>(by * by);
  ForEachRowBand(to.height, threads, [&](int32_t firstRow, int32_t endRow) {
    for (int32_t y = firstRow; y < endRow; ++y) {
      float* out = &to.pixels[static_cast<size_t>(y) * to.width];
      if (from.bytes != nullptr) {
        // Whole numbers: the sum of by x by pixels' four-times grey.
        std::vector<int32_t> sums(static_cast<size_t>(to.width), 0);
        std::vector<int32_t> greys(static_cast<size_t>(by) * to.width);
        for (int32_t j = 0; j < by; ++j) {
          const uint8_t* p = from.bytes + (by * y + j) * from.rowBytes;
          for (size_t i = 0; i < greys.size(); ++i, p += 4) greys[i] = p[0] + 2 * p[1] + p[2];
          for (int32_t x = 0; x < to.width; ++x)
            for (int32_t i = 0; i < by; ++i) sums[x] += greys[static_cast<size_t>(by) * x + i];
        }
        for (int32_t x = 0; x < to.width; ++x) out[x] = static_cast<float>(sums[x]) * 0.25f * share;
      } else {
        for (int32_t x = 0; x < to.width; ++x) {
          float sum = 0.0f;
          for (int32_t j = 0; j < by; ++j) {
            const float* p = &from.pixels[static_cast<size_t>(by * y + j) * from.width + by * x];
            for (int32_t i = 0; i < by; ++i) sum += p[i];
          }
          out[x] = sum * share;
        }
      }
    }
  });
  return to;
}

// A circle in full-size coordinates (y down) in those of a half reduced by
// `factor`, whose storage rows count from the bottom of the full picture.
ImageCircle ReducedCircle(const ImageCircle& circle, int32_t fullHeight, const GreyHalf& grey) {
  const double f = grey.factor;
  const double storageY = (fullHeight - 1 - circle.y + 0.5) / f - 0.5;
  return {(circle.x + 0.5) / f - 0.5, grey.height - 1 - storageY, circle.radius / f};
}

// A lens placed on a half reduced by `factor`: a calibrated lens's centre,
// scale and crop as ReducedCircle moves a circle.
Lens ReducedLens(const Lens& lens, int32_t fullHeight, const GreyHalf& grey) {
  if (!lens.calibrated || grey.factor == 1) return lens;
  CalibratedLens placed = *lens.calibrated;
  const ImageCircle centre = ReducedCircle({placed.centreX, placed.centreY, 0.0}, fullHeight, grey);
  placed.centreX = centre.x;
  placed.centreY = centre.y;
  for (auto& row : placed.matrix)
    for (double& entry : row) entry /= grey.factor;
  if (placed.crop) placed.crop = ReducedCircle(*placed.crop, fullHeight, grey);
  Lens reduced = lens;
  reduced.calibrated = std::make_shared<const CalibratedLens>(placed);
  return reduced;
}

// One level of the search: the overlap's directions on a sphere grid, with
// the front's grey there (while the front lens stays as it was), and the
// halves to compare.
struct AlignLevel {
  const GreyHalf* front = nullptr;
  const GreyHalf* back = nullptr;
  ImageCircle frontCircle;
  ImageCircle backCircle;
  int32_t fullHeight = 0;
  int32_t width = 0;  // of the sphere grid
  int32_t height = 0;
  std::vector<int32_t> columns;
  std::vector<int32_t> rows;
  std::vector<float> frontValues;
  float frontInside = 0.0f;  // the cosines off each axis inside which the directions lie
  float backInside = 0.0f;
  bool skipDark = false;     // leave out what either lens sees black
};

// A calibrated lens without a circle sees to the picture's edges, its black
// surround included: what either lens sees black (at most this grey, of 0
// to 255) is no scene to compare, and the directions compared lie at most
// half this field from each axis, the overlap of the widest real lenses.
constexpr float kDarkest = 2.0f;
constexpr double kWidestAlignedField = 240.0;

// Where `plan` puts the direction of grid pixel (x, y), in source pixels; its
// cosine off the axis too.
void PositionOf(const ResamplePlan& plan, int32_t x, int32_t y, float& sourceX, float& sourceY, float& cosine) {
  float across;
  float up;
  ProjectThroughLens(plan.sinAzimuth[x], plan.cosAzimuth[x], plan.lensRows[y], plan.lens, across, up, &cosine);
  float u;
  float v;
  TurnLanes<float>(plan.turn).Apply(across, up, u, v);
  sourceX = u + plan.centreSrcX;
  sourceY = v + plan.centreSrcY;
}

// A record for a grid pass over a grey half (only its sizes count).
TransformRecord GridRecord(const GreyHalf& grey, int32_t width, int32_t height) {
  TransformRecord record{};
  record.destWidth = width;
  record.destHeight = height;
  record.srcWidth = grey.width;
  record.srcHeight = grey.height;
  record.srcStride = 4 * grey.width;
  record.scale = 1.0f;
  return record;
}

void PlanFront(LensPlan& pass, const AlignLevel& level, const DualLens& lens) {
  PlanLens(pass, GridRecord(*level.front, level.width, level.height),
           ReducedLens(lens.front, level.fullHeight, *level.front), level.frontCircle);
}

void PlanBack(LensPlan& pass, const AlignLevel& level, const DualLens& lens) {
  PlanLens(pass, GridRecord(*level.back, level.width, level.height),
           ReducedLens(BackLensOf(lens), level.fullHeight, *level.back), level.backCircle);
}

// `fields`: the front's and the back's, in degrees across, inside which the
// level's directions are chosen, once for all the steps on it.
AlignLevel LevelOf(const GreyHalf& front, const GreyHalf& back, const DualLens& lens, const double fields[2],
                   int32_t fullWidth, int32_t fullHeight, int32_t mostPoints) {
  AlignLevel level;
  level.skipDark = lens.front.calibrated != nullptr;
  level.front = &front;
  level.back = &back;
  level.fullHeight = fullHeight;
  level.frontCircle = ReducedCircle(FrontCircleOf(lens, fullWidth, fullHeight), fullHeight, front);
  level.backCircle = ReducedCircle(BackCircleOf(lens, fullWidth, fullHeight), fullHeight, back);
  level.height = std::max(front.height, 16);
  level.width = 2 * level.height;
  LensPlan frontPass;
  PlanFront(frontPass, level, lens);
  LensPlan backPass;
  PlanBack(backPass, level, lens);
  level.frontInside = CosineWellInside(fields[0]);
  level.backInside = CosineWellInside(fields[1]);
  // The overlap is a band about the sphere; every `step`-th row and column of
  // it, so that the level holds about `mostPoints` directions.
  const double overlap = std::max(1e-3, std::sin(Radians(std::min(fields[0], fields[1]) / 2.0 - 90.0)));
  const double points = 2.0 * level.height * level.height * overlap;
  const int32_t step = std::max(1, static_cast<int32_t>(std::ceil(std::sqrt(points / mostPoints))));
  for (int32_t y = step / 2; y < level.height; y += step) {
    for (int32_t x = step / 2; x < level.width; x += step) {
      float fx, fy, frontCosine, bx, by, backCosine, value, unused;
      PositionOf(frontPass.plan, x, y, fx, fy, frontCosine);
      PositionOf(backPass.plan, x, y, bx, by, backCosine);
      if (!(frontCosine > level.frontInside && backCosine > level.backInside)) continue;
      if (!front.Sample(fx, fy, value) || !back.Sample(bx, by, unused)) continue;
      if (level.skipDark && (value <= kDarkest || unused <= kDarkest)) continue;
      level.columns.push_back(x);
      level.rows.push_back(y);
      level.frontValues.push_back(value);
    }
  }
  return level;
}

// How badly the lenses disagree over the level's directions with the lenses
// as `trial` has them: one less the correlation of their greys, which no
// gain or offset in brightness changes. Sums in the points' order. The front
// is sampled anew only when `frontMoved`.
double Disagreement(const AlignLevel& level, const DualLens& trial, bool frontMoved) {
  LensPlan backPass;
  PlanBack(backPass, level, trial);
  LensPlan frontPass;
  if (frontMoved) PlanFront(frontPass, level, trial);
  const float frontInside = level.frontInside;
  const float backInside = level.backInside;
  double n = 0, sumF = 0, sumB = 0, sumFF = 0, sumBB = 0, sumFB = 0;
  for (size_t i = 0; i < level.columns.size(); ++i) {
    float x, y, cosine, b;
    float f = level.frontValues[i];
    if (frontMoved) {
      PositionOf(frontPass.plan, level.columns[i], level.rows[i], x, y, cosine);
      if (!(cosine > frontInside) || !level.front->Sample(x, y, f)) continue;
    }
    if (f != f) continue;  // the front lens no longer sees it
    PositionOf(backPass.plan, level.columns[i], level.rows[i], x, y, cosine);
    if (!(cosine > backInside) || !level.back->Sample(x, y, b)) continue;
    if (level.skipDark && (f <= kDarkest || b <= kDarkest)) continue;
    n += 1;
    sumF += f;
    sumB += b;
    sumFF += double{f} * f;
    sumBB += double{b} * b;
    sumFB += double{f} * b;
  }
  if (n < 100) return std::numeric_limits<double>::infinity();
  const double varianceF = n * sumFF - sumF * sumF;
  const double varianceB = n * sumBB - sumB * sumB;
  if (!(varianceF > 0 && varianceB > 0)) return std::numeric_limits<double>::infinity();
  return 1.0 - (n * sumFB - sumF * sumB) / std::sqrt(varianceF * varianceB);
}

// The front's greys at the level's directions for the front lens as `lens`
// has it now (not a number where it does not see them), after a step that
// changed it.
void SampleFront(AlignLevel& level, const DualLens& lens) {
  LensPlan frontPass;
  PlanFront(frontPass, level, lens);
  const float wellInside = level.frontInside;
  for (size_t i = 0; i < level.columns.size(); ++i) {
    float x, y, cosine;
    float& value = level.frontValues[i];
    PositionOf(frontPass.plan, level.columns[i], level.rows[i], x, y, cosine);
    if (!(cosine > wellInside) || !level.front->Sample(x, y, value)) value = std::numeric_limits<float>::quiet_NaN();
  }
}

// How much the front's grey varies over the level's directions: its
// standard deviation, in levels of 0 to 255.
double Detail(const AlignLevel& level) {
  double n = 0, sum = 0, squares = 0;
  for (const float value : level.frontValues) {
    if (value != value) continue;
    n += 1;
    sum += value;
    squares += double{value} * value;
  }
  return n < 2 ? 0.0 : std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n)));
}

// Below this spread of grey (levels) an overlap holds nothing to align on:
// sensor noise and JPEG's ripples alone give about that much. Below this
// correlation at the best turn the two halves are not two views of one
// scene: in the tests' photographs a camera's overlap gives 0.99, and 0.75
// vignetted to 35%, noisy and JPEG-compressed, two unrelated photographs
// about 0.1 and random noise 0.04.
constexpr double kLeastDetail = 2.0;
constexpr double kLeastAgreement = 0.5;

// What the search moves: the back lens's three angles, and when fitting the
// lenses their sizes (fields of view in degrees, or radius factors). The
// overlap pins the sum of the two sizes far better than their difference, so
// those are what the search moves: a step in one keeps the other, and the
// search does not stall in the narrow valley along the difference.
constexpr int kAngles = 3;
constexpr int kMostParameters = 5;

struct SearchSpace {
  int parameters = kAngles;
  bool calibrated = false;
  double least[kMostParameters] = {};
  double most[kMostParameters] = {};
  // Each lens's own size stays within these.
  double sizeLeast[2] = {};
  double sizeMost[2] = {};
  // A size moves by this much per degree of an angle's step.
  double perDegree[kMostParameters] = {1.0, 1.0, 1.0, 1.0, 1.0};
};

// A field of view moves four degrees for each of an angle's: its half moves
// the rim by two, and a lens's size needs finding to a tenth of a degree, not
// to the hundredths the turn is found to. A radius factor moves a degree's
// share of a lens's hundred-odd degrees from axis to rim as much.
constexpr double kFovPerDegree = 4.0;
constexpr double kScalePerDegree = 0.04;

void Sizes(const DualLens& lens, bool calibrated, double sizes[2]) {
  sizes[0] = calibrated ? lens.front.radiusScale : lens.front.fovDegrees;
  sizes[1] = calibrated ? lens.backRadiusScale : lens.backFovDegrees.value_or(lens.front.fovDegrees);
}

void SetSizes(const double sizes[2], bool calibrated, DualLens& lens) {
  if (calibrated) {
    lens.front.radiusScale = sizes[0];
    lens.backRadiusScale = sizes[1];
  } else {
    lens.front.fovDegrees = sizes[0];
    lens.backFovDegrees = sizes[1];
  }
}

void Read(const DualLens& lens, const SearchSpace& space, double values[kMostParameters]) {
  values[0] = lens.back.yawDegrees;
  values[1] = lens.back.pitchDegrees;
  values[2] = lens.back.rollDegrees;
  if (space.parameters == kAngles) return;
  double sizes[2];
  Sizes(lens, space.calibrated, sizes);
  values[3] = (sizes[0] + sizes[1]) / 2.0;
  values[4] = (sizes[0] - sizes[1]) / 2.0;
}

void Write(const double values[kMostParameters], const SearchSpace& space, DualLens& lens) {
  lens.back = {values[0], values[1], values[2]};
  if (space.parameters == kAngles) return;
  const double sizes[2] = {std::clamp(values[3] + values[4], space.sizeLeast[0], space.sizeMost[0]),
                           std::clamp(values[3] - values[4], space.sizeLeast[1], space.sizeMost[1])};
  SetSizes(sizes, space.calibrated, lens);
}

}  // namespace

Result AlignLenses(const PixelBuffer& source, const DualLens& lens, bool fitLenses, bool aroundStart, int32_t threads,
                   DualLens& aligned) {
  if (!IsSideBySide(source.width, source.height))
    return Result::Failure("the picture is not two lenses side by side (about twice as wide as high)");
  // The offsets are the back lens's place in the camera, whatever way the
  // camera was held.
  DualLens level0 = lens;
  level0.front.yawDegrees = level0.front.pitchDegrees = level0.front.rollDegrees = 0.0;
  SearchSpace space;
  double start[kMostParameters];
  Read(lens, space, start);
  const NumberRange ranges[kAngles] = {kBackYawRange, kBackPitchRange, kBackRollRange};
  for (int i = 0; i < kAngles; ++i) {
    const double middle = aroundStart ? start[i] : 0.0;
    space.least[i] = std::max(middle - kWidestBackOffsetDegrees, ranges[i].least);
    space.most[i] = std::min(middle + kWidestBackOffsetDegrees, ranges[i].most);
  }
  if (fitLenses) {
    space.parameters = kMostParameters;
    space.calibrated = lens.front.calibrated != nullptr;
    double sizes[2];
    Sizes(lens, space.calibrated, sizes);
    for (int i = 0; i < 2; ++i) {
      if (space.calibrated) {
        space.sizeLeast[i] = kLensScaleRange.least;
        space.sizeMost[i] = kLensScaleRange.most;
      } else {
        // Within a few degrees of the field of view given, and wide enough
        // for the lenses to overlap.
        space.sizeLeast[i] = std::max(sizes[i] - kWidestFovChangeDegrees, kNarrowestDualFovDegrees + 1.0);
        space.sizeMost[i] = std::min(sizes[i] + kWidestFovChangeDegrees, WidestFovDegrees(lens.front.model));
      }
    }
    const double widest = space.calibrated ? kLensScaleRange.most - kLensScaleRange.least : 2 * kWidestFovChangeDegrees;
    space.least[3] = (space.sizeLeast[0] + space.sizeLeast[1]) / 2.0;
    space.most[3] = (space.sizeMost[0] + space.sizeMost[1]) / 2.0;
    space.least[4] = -widest / 2.0;
    space.most[4] = widest / 2.0;
    space.perDegree[3] = space.perDegree[4] = space.calibrated ? kScalePerDegree : kFovPerDegree;
    Read(lens, space, start);
  }
  // A coarse search on copies an eighth the size, finer on a quarter, and
  // the last steps at full size.
  const GreyHalf frontFull = FullSizeGrey(source, false);
  const GreyHalf backFull = FullSizeGrey(source, true);
  const GreyHalf frontQuarter = Reduced(frontFull, 4, threads);
  const GreyHalf backQuarter = Reduced(backFull, 4, threads);
  const GreyHalf frontEighth = Reduced(frontQuarter, 2, threads);
  const GreyHalf backEighth = Reduced(backQuarter, 2, threads);
  struct Stage {
    const GreyHalf* front;
    const GreyHalf* back;
    int32_t mostPoints;
    std::vector<double> steps;
    double sizeMargin;  // degrees of field of view
  };
  const Stage stages[] = {
      {&frontEighth, &backEighth, 6'000, {1.0, 0.5, 0.25}, 2 * kWidestFovChangeDegrees},
      {&frontQuarter, &backQuarter, 12'000, {0.12, 0.06}, 1.0},
      {&frontFull, &backFull, 24'000, {0.03, 0.015}, 0.5},
  };
  double best[kMostParameters];
  for (int i = 0; i < space.parameters; ++i) best[i] = std::clamp(start[i], space.least[i], space.most[i]);
  DualLens current = level0;
  Write(best, space, current);
  bool compared = false;
  double finalCost = 0.0;
  double finalDetail = 0.0;
  for (const Stage& stage : stages) {
    if (stage.front->height < 16) continue;
    // What moves on this level: the angles, and the sizes' sum and
    // difference where they show. On the eighth-size copies the difference
    // does not show yet.
    std::vector<int> moving = {0, 1, 2};
    if (space.parameters > kAngles) {
      moving.push_back(3);
      if (stage.front != &frontEighth) moving.push_back(4);
    }
    const int neighbours = 2 * static_cast<int>(moving.size());
    compared = true;
    // Each level's directions are chosen once, so that every step on it is
    // judged on the same ones: inside both fields as narrow as the level's
    // steps may make them (the search's bounds first, then a few of the
    // previous level's steps from where it ended).
    const double field = lens.front.calibrated ? std::min(DualFieldDegrees(lens), kWidestAlignedField)
                                               : DualFieldDegrees(lens);
    double fields[2] = {field, field};
    if (fitLenses && !space.calibrated) {
      double sizes[2];
      Sizes(current, false, sizes);
      for (int i = 0; i < 2; ++i) sizes[i] = std::max(sizes[i] - stage.sizeMargin, space.sizeLeast[i]);
      DualLens narrowest = current;
      SetSizes(sizes, false, narrowest);
      fields[0] = FieldDegrees(narrowest.front);
      fields[1] = FieldDegrees(BackLensOf(narrowest));
    }
    // Fitting the sizes costs more a step; at full size fewer directions do.
    const int32_t mostPoints = fitLenses && stage.front == &frontFull ? stage.mostPoints * 2 / 3 : stage.mostPoints;
    AlignLevel level = LevelOf(*stage.front, *stage.back, level0, fields, source.width, source.height, mostPoints);
    if (fitLenses) SampleFront(level, current);
    double bestCost = Disagreement(level, current, false);
    if (!std::isfinite(bestCost)) return Result::Failure("the lenses' overlap holds nothing to compare");
    for (const double step : stage.steps) {
      for (;;) {
        // The neighbours one step away along each parameter.
        std::array<DualLens, 2 * kMostParameters> trials;
        for (int i = 0; i < neighbours; ++i) {
          double values[kMostParameters];
          std::copy(best, best + space.parameters, values);
          const int k = moving[i / 2];
          values[k] = std::clamp(values[k] + (i % 2 == 0 ? step : -step) * space.perDegree[k], space.least[k],
                                 space.most[k]);
          trials[i] = current;
          Write(values, space, trials[i]);
        }
        std::array<double, 2 * kMostParameters> costs;
        RunJobs(neighbours, threads, [&](int32_t i) {
          costs[i] = Disagreement(level, trials[i], moving[i / 2] >= kAngles);
        });
        int chosen = -1;
        for (int i = 0; i < neighbours; ++i) {
          if (costs[i] < bestCost) {
            bestCost = costs[i];
            chosen = i;
          }
        }
        if (chosen < 0) break;
        current = trials[chosen];
        Read(current, space, best);
        if (moving[chosen / 2] >= kAngles) SampleFront(level, current);
      }
    }
    finalCost = bestCost;
    finalDetail = Detail(level);
  }
  if (!compared) return Result::Failure("the picture is too small to compare its lenses");
  // What the search found may still be no answer: nothing to align on, the
  // best turn at the edge of the search, or lenses that disagree at their
  // best, as two unrelated pictures do.
  if (finalDetail < kLeastDetail) {
    return Result::Failure("the lenses' overlap is too even to align (grey varies by " + DecimalText(finalDetail, 1) +
                           " levels there): there is no detail to compare; give --back-yaw, --back-pitch and "
                           "--back-roll measured on another picture of the camera");
  }
  if (1.0 - finalCost < kLeastAgreement) {
    return Result::Failure("the lenses disagree where they overlap even at their best (correlation " +
                           DecimalText(1.0 - finalCost, 2) + ", at least " + DecimalText(kLeastAgreement, 1) +
                           " needed): is this one camera's two lenses, with the right circles and field of view?");
  }
  const char* angleNames[kAngles] = {"yaw", "pitch", "roll"};
  for (int i = 0; i < kAngles; ++i) {
    if (best[i] <= space.least[i] + 1e-9 || best[i] >= space.most[i] - 1e-9) {
      return Result::Failure("the best agreement lies at the edge of the search (back " + std::string(angleNames[i]) +
                             " " + DecimalText(best[i], 2) +
                             "): the lenses are not one camera's back to back within " +
                             DecimalText(kWidestBackOffsetDegrees) + " degrees, or the circles or the field of view "
                             "are wrong");
    }
  }
  // As printed: angles and fields of view to 0.01 degree, factors to 0.0001.
  const auto rounded = [](double value, double perUnit) { return std::nearbyint(value * perUnit) / perUnit + 0.0; };
  aligned = lens;
  aligned.back = {rounded(best[0], 100.0), rounded(best[1], 100.0), rounded(best[2], 100.0)};
  if (fitLenses) {
    double sizes[2];
    Sizes(current, space.calibrated, sizes);
    for (double& size : sizes) size = rounded(size, space.calibrated ? 10000.0 : 100.0);
    SetSizes(sizes, space.calibrated, aligned);
  }
  return {};
}

size_t LeastDisagreement(std::span<const PixelBuffer> pictures, std::span<const DualLens> candidates) {
  // Every candidate is judged on the same directions of a picture: those
  // inside the narrowest field any of them has, chosen with the first.
  double field = DualFieldDegrees(candidates[0]);
  for (const DualLens& candidate : candidates) field = std::min(field, DualFieldDegrees(candidate));
  if (candidates[0].front.calibrated) field = std::min(field, kWidestAlignedField);
  const double fields[2] = {field, field};
  const auto inCamera = [](DualLens lens) {
    lens.front.yawDegrees = lens.front.pitchDegrees = lens.front.rollDegrees = 0.0;
    return lens;
  };
  std::vector<double> sums(candidates.size(), 0.0);
  for (const PixelBuffer& picture : pictures) {
    const GreyHalf front = FullSizeGrey(picture, false);
    const GreyHalf back = FullSizeGrey(picture, true);
    const AlignLevel level = LevelOf(front, back, inCamera(candidates[0]), fields, picture.width, picture.height, 24'000);
    for (size_t i = 0; i < candidates.size(); ++i) sums[i] += Disagreement(level, inCamera(candidates[i]), true);
  }
  return static_cast<size_t>(std::min_element(sums.begin(), sums.end()) - sums.begin());
}

Result AlignBackLens(const PixelBuffer& source, const DualLens& lens, int32_t threads, BackLensOffset& offset) {
  DualLens aligned;
  Result result = AlignLenses(source, lens, false, false, threads, aligned);
  if (result.ok()) offset = aligned.back;
  return result;
}

Result FindDualCircles(const PixelBuffer& picture, ImageCircle& front, ImageCircle& back) {
  if (!IsSideBySide(picture.width, picture.height))
    return Result::Failure("the picture is not two lenses side by side (about twice as wide as high)");
  const int32_t half = FrontHalfWidth(picture.width);
  ImageCircle found[2] = {front, back};
  for (int side = 0; side < 2; ++side) {
    const int32_t offset = side == 0 ? 0 : half;
    const int32_t width = side == 0 ? half : picture.width - half;
    PixelStore copy = AllocatePixels(int64_t{width} * picture.height);
    if (!copy) return Result::Failure("not enough memory to look for the image circles");
    const PixelBuffer part{copy.get(), width, picture.height};
    for (int32_t y = 0; y < picture.height; ++y)
      std::memcpy(part.Row(y), picture.Pixel(offset, y), 4 * static_cast<size_t>(width));
    const Result result = FindImageCircle(part, found[side]);
    if (!result.ok()) return Result::Failure((side == 0 ? "front lens: " : "back lens: ") + result.reason());
  }
  front = found[0];
  back = found[1];
  return {};
}
