#include "transform/circle_finder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

// The image circle is the round region the lens lit, inside the dark it did
// not reach. It is found in three steps:
//  1. On a reduced copy, each row and column is scanned from both ends for
//     where it first turns lit; the circle through most of those points
//     (RANSAC, then least squares) is good to about a pixel of the copy.
//  2. At full size, rays from its centre look for the steepest fall from lit
//     to dark near that rim; a robust fit to those edges is good to a fraction
//     of a pixel.
//  3. Each ray then measures its rim to a small fraction of a pixel, from the
//     area under its profile between the levels inside and outside, and a
//     robust fit to those gives the result (twice: the second time from the
//     better centre, over three parallel lines per ray).
// Rays whose rim shows no edge (a dark sky or ground meeting the rim) or lies
// outside the frame drop out, and the fits give no weight to points far off
// the circle (Tukey's biweight), so the visible rim alone decides.
//
// Only + - * / and sqrt in double, in a fixed order, and a fixed-seed
// generator: the same picture gives the same bits on every system.
//
// Brightness here is B + 2G + R, from 0 to 1020; pixel layout as in
// pixel_buffer.h. Coordinates are source coordinates (y down, see lens.h).

namespace {

// The reduced copy's longer side is at most this long: a 12-megapixel picture
// shrinks by 5, and the rough circle is then good to about 5 pixels.
constexpr int32_t kReducedSide = 800;
// Smaller pictures (or reduced copies) cannot show a rim worth fitting.
constexpr int32_t kMinSide = 32;
constexpr int32_t kMinReducedSide = 16;
// Darkest and brightest share of the reduced copy taken as the picture's dark
// and lit levels, and where between them a pixel starts to count as lit.
constexpr double kDarkPercentile = 0.01;
constexpr double kLitPercentile = 0.95;
constexpr double kThresholdShare = 0.2;
// Below this spread between the dark and lit levels (6/255 of each channel)
// there is nothing to find.
constexpr int32_t kMinPictureContrast = 24;
// A ray's rim counts where its inside and outside levels differ by a tenth of
// the picture's contrast, and at least by this (8/255 of each channel).
constexpr double kRimContrastShare = 0.1;
constexpr double kMinRimContrast = 32.0;

constexpr uint32_t kRansacSeed = 2463534242u;
constexpr int32_t kRansacRounds = 300;
// Scanned rim points within this many pixels of the copy count for a circle.
// Candidates are scored on every kRansacStride-th point (a few hundred still),
// the winner is refitted to all.
constexpr double kRansacTolerance = 1.5;
constexpr size_t kRansacStride = 4;
// Fewer scanned points than this, or fewer on the best circle (of those
// scored), are no rim.
constexpr size_t kMinRimCandidates = 12;
constexpr int32_t kMinRansacSupport = 6;

// Rays cast from the centre at full size, in order around it; the search for
// the steepest fall, which only has to get within a pixel or so, takes every
// kSearchRayStride-th of them.
constexpr int32_t kRays = 1024;
constexpr int32_t kSearchRayStride = 2;
// The rim has to show in several sectors of the circle (so a short arc or a
// straight edge is not taken for a circle), each with a few rays on it.
constexpr int32_t kSectors = 16;
constexpr int32_t kMinSectors = 3;
constexpr int32_t kMinRaysPerSector = 4;
constexpr int32_t kMinRimRays = 32;
// Robust spread of the rays' rim points about the fitted circle, at most this
// share of the rim window's half width (1 pixel on pictures up to 2400 pixels
// high, 1.4 at 4000 x 3000): a lens rim stays within it even under heavy
// noise, while edges in the picture that happen to lie near a circle scatter
// over the whole window.
constexpr double kMaxRimSpreadShare = 0.2;
// The steepest-fall search: the fall is taken over 2 pixels either side, the
// levels from 4 to 8 pixels out.
constexpr int32_t kLevelNear = 4;
constexpr int32_t kLevelFar = 8;
// The rim measure: the fall is integrated over a window of 5 pixels either
// side of the fitted circle on pictures up to 2400 pixels high, more on
// larger ones (their rims are softer in pixels: 7 at 4000 x 3000), and the
// levels are taken over as many pixels beyond the window on each side.
constexpr int32_t kMinRimHalfWidth = 5;
constexpr int32_t kPixelsPerRimHalfWidth = 400;
// A lens rim falls from lit to dark within the window: the window's ends
// (two samples each) differ by most of the difference between the levels
// (0.76 for a linear fall 2.4 half widths wide, 1 for a sharp one). Along a
// vignette's long slope they differ by 0.56 of it.
constexpr double kMinRimSharpness = 0.7;
// The last measure of each ray's rim sums this many parallel lines a pixel
// apart, which averages out noise and JPEG blocks; the rim curves away from
// them by less than 1/(2 radius) pixels. (The measure before it, which only
// centres the windows, takes one.)
constexpr int32_t kRimLines = 3;

constexpr int32_t kRobustRounds = 15;
// Tukey's constant (95% efficiency on normal residuals), the median absolute
// residual's ratio to the standard deviation for normal residuals, and the
// floor of the robust scale (pixels), which keeps perfect synthetic rims from
// dividing by nothing.
constexpr double kTukey = 4.685;
constexpr double kMedianToDeviation = 1.4826;
constexpr double kMinScale = 0.05;
// Outside the circle (a margin of 2 pixels of the copy beyond it) at most this
// share of the copy may be lit.
constexpr double kOutsideMargin = 2.0;
constexpr double kMaxLitShareOutside = 0.02;

constexpr const char* kNoRim = "no image circle found: no round rim between a lit region and a dark surround";

struct Point {
  double x, y;
};

struct RimPoint {
  double x, y;
  int32_t sector;
  double sharpness = 1.0;  // share of the fall between the levels that lies in the window
};

// Pixel (i, j) of the copy (rows top to bottom) is the mean brightness of
// `factor` pixels of picture row j * factor + factor / 2 from column i * factor:
// one row in `factor` is read, which keeps the copy cheap at 12 megapixels.
struct ReducedPicture {
  std::vector<int32_t> brightness;
  int32_t width = 0;
  int32_t height = 0;
  int32_t factor = 1;

  int32_t At(int32_t x, int32_t y) const { return brightness[static_cast<size_t>(y) * width + x]; }
  double FullX(double x) const { return x * factor + (factor - 1) / 2.0; }
  double FullY(double y) const { return y * factor + factor / 2; }
};

ReducedPicture Reduce(const PixelBuffer& picture) {
  ReducedPicture reduced;
  reduced.factor = (std::max(picture.width, picture.height) + kReducedSide - 1) / kReducedSide;
  reduced.width = picture.width / reduced.factor;
  reduced.height = picture.height / reduced.factor;
  reduced.brightness.reserve(static_cast<size_t>(reduced.width) * reduced.height);
  const int32_t factor = reduced.factor;
  for (int32_t j = 0; j < reduced.height; ++j) {
    const uint8_t* pixel = picture.Row(picture.height - 1 - (j * factor + factor / 2));
    for (int32_t i = 0; i < reduced.width; ++i) {
      int32_t sum = 0;
      for (int32_t k = 0; k < factor; ++k, pixel += kBytesPerPixel) sum += pixel[0] + 2 * pixel[1] + pixel[2];
      reduced.brightness.push_back((sum + factor / 2) / factor);
    }
  }
  return reduced;
}

struct Levels {
  int32_t dark = 0;
  int32_t lit = 0;
  int32_t threshold = 0;  // brighter than this counts as lit
};

Levels MeasureLevels(const ReducedPicture& reduced) {
  std::array<int32_t, 1021> histogram{};
  for (int32_t value : reduced.brightness) ++histogram[value];
  const double count = static_cast<double>(reduced.brightness.size());
  auto percentile = [&](double share) {
    int64_t seen = 0;
    for (int32_t value = 0; value < static_cast<int32_t>(histogram.size()); ++value) {
      seen += histogram[value];
      if (static_cast<double>(seen) > share * count) return value;
    }
    return static_cast<int32_t>(histogram.size()) - 1;
  };
  Levels levels;
  levels.dark = percentile(kDarkPercentile);
  levels.lit = percentile(kLitPercentile);
  levels.threshold = levels.dark + static_cast<int32_t>(kThresholdShare * (levels.lit - levels.dark));
  return levels;
}

// A circle that reaches into the frame leaves at least one corner outside it.
bool AnyCornerDark(const ReducedPicture& reduced, int32_t threshold) {
  const int32_t right = reduced.width - 1, bottom = reduced.height - 1;
  return reduced.At(0, 0) <= threshold || reduced.At(right, 0) <= threshold || reduced.At(0, bottom) <= threshold ||
         reduced.At(right, bottom) <= threshold;
}

// Where a line of the copy first turns lit (three lit pixels in a row, so that
// a speck of noise does not count), from its start, with the crossing of the
// threshold interpolated; negative where the line is lit at its very start
// (the frame cuts the lit region there) or nowhere.
template <class Get>
double FirstLit(int32_t length, int32_t threshold, Get get) {
  for (int32_t k = 0; k + 2 < length; ++k) {
    if (get(k) > threshold && get(k + 1) > threshold && get(k + 2) > threshold) {
      if (k == 0) return -1.0;
      const double before = get(k - 1), after = get(k);
      return (k - 1) + (threshold - before) / (after - before);
    }
  }
  return -1.0;
}

// Points of the copy where the rows and columns, scanned from both ends, turn lit.
std::vector<Point> RimCandidates(const ReducedPicture& reduced, int32_t threshold) {
  std::vector<Point> points;
  const int32_t w = reduced.width, h = reduced.height;
  for (int32_t y = 0; y < h; ++y) {
    const double left = FirstLit(w, threshold, [&](int32_t k) { return reduced.At(k, y); });
    if (left >= 0) points.push_back({left, double(y)});
    const double right = FirstLit(w, threshold, [&](int32_t k) { return reduced.At(w - 1 - k, y); });
    if (right >= 0) points.push_back({(w - 1) - right, double(y)});
  }
  for (int32_t x = 0; x < w; ++x) {
    const double top = FirstLit(h, threshold, [&](int32_t k) { return reduced.At(x, k); });
    if (top >= 0) points.push_back({double(x), top});
    const double bottom = FirstLit(h, threshold, [&](int32_t k) { return reduced.At(x, h - 1 - k); });
    if (bottom >= 0) points.push_back({double(x), (h - 1) - bottom});
  }
  return points;
}

bool CircleThrough(Point a, Point b, Point c, ImageCircle& out) {
  const double d = 2.0 * (a.x * (b.y - c.y) + b.x * (c.y - a.y) + c.x * (a.y - b.y));
  if (std::abs(d) < 1e-9) return false;
  const double a2 = a.x * a.x + a.y * a.y, b2 = b.x * b.x + b.y * b.y, c2 = c.x * c.x + c.y * c.y;
  out.x = (a2 * (b.y - c.y) + b2 * (c.y - a.y) + c2 * (a.y - b.y)) / d;
  out.y = (a2 * (c.x - b.x) + b2 * (a.x - c.x) + c2 * (b.x - a.x)) / d;
  out.radius = std::sqrt((a.x - out.x) * (a.x - out.x) + (a.y - out.y) * (a.y - out.y));
  return true;
}

bool Near(Point p, const ImageCircle& circle, double tolerance) {
  const double dx = p.x - circle.x, dy = p.y - circle.y;
  const double squared = dx * dx + dy * dy;
  const double inner = std::max(0.0, circle.radius - tolerance), outer = circle.radius + tolerance;
  return squared >= inner * inner && squared <= outer * outer;
}

// Solves m x = v by Cramer's rule; false where m is (nearly) singular.
bool Solve3(const double m[3][3], const double v[3], double x[3]) {
  auto det = [](double a, double b, double c, double d, double e, double f, double g, double h, double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  };
  const double d = det(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]);
  const double scale = std::abs(m[0][0] * m[1][1] * m[2][2]);
  if (!(std::abs(d) > 1e-12 * scale) || d == 0.0) return false;
  x[0] = det(v[0], m[0][1], m[0][2], v[1], m[1][1], m[1][2], v[2], m[2][1], m[2][2]) / d;
  x[1] = det(m[0][0], v[0], m[0][2], m[1][0], v[1], m[1][2], m[2][0], v[2], m[2][2]) / d;
  x[2] = det(m[0][0], m[0][1], v[0], m[1][0], m[1][1], v[1], m[2][0], m[2][1], v[2]) / d;
  return true;
}

// Least-squares circle (Kåsa's algebraic fit) through the points near `circle`.
bool RefitNear(const std::vector<Point>& points, double tolerance, ImageCircle& circle) {
  double meanX = 0, meanY = 0;
  int32_t count = 0;
  for (Point p : points) {
    if (!Near(p, circle, tolerance)) continue;
    meanX += p.x;
    meanY += p.y;
    ++count;
  }
  if (count < 3) return false;
  meanX /= count;
  meanY /= count;
  // x² + y² + a x + b y + c = 0 about the mean point.
  double m[3][3] = {}, v[3] = {};
  for (Point p : points) {
    if (!Near(p, circle, tolerance)) continue;
    const double x = p.x - meanX, y = p.y - meanY, z = -(x * x + y * y);
    const double row[3] = {x, y, 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += row[r] * row[c];
      v[r] += row[r] * z;
    }
  }
  double abc[3];
  if (!Solve3(m, v, abc)) return false;
  const double squared = (abc[0] * abc[0] + abc[1] * abc[1]) / 4.0 - abc[2];
  if (!(squared > 0.0)) return false;
  circle = {meanX - abc[0] / 2.0, meanY - abc[1] / 2.0, std::sqrt(squared)};
  return true;
}

// The rough circle in full-size coordinates: the circle through three of the
// scanned points that most of them lie on, refitted to those.
bool FindRoughCircle(const ReducedPicture& reduced, int32_t threshold, ImageCircle& rough) {
  const std::vector<Point> points = RimCandidates(reduced, threshold);
  if (points.size() < kMinRimCandidates) return false;
  const double shortSide = std::min(reduced.width, reduced.height);
  const double diagonal = std::sqrt(double(reduced.width) * reduced.width + double(reduced.height) * reduced.height);
  auto plausible = [&](const ImageCircle& c) {
    return c.x >= 0 && c.x <= reduced.width - 1 && c.y >= 0 && c.y <= reduced.height - 1 &&
           c.radius >= shortSide / 8 && c.radius <= diagonal;
  };
  uint32_t state = kRansacSeed;
  auto next = [&](size_t n) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<size_t>(state % n);
  };
  ImageCircle best;
  int32_t bestCount = 0;
  for (int32_t round = 0; round < kRansacRounds; ++round) {
    const size_t a = next(points.size()), b = next(points.size()), c = next(points.size());
    ImageCircle candidate;
    if (a == b || b == c || a == c || !CircleThrough(points[a], points[b], points[c], candidate)) continue;
    if (!plausible(candidate)) continue;
    int32_t count = 0;
    for (size_t i = 0; i < points.size(); i += kRansacStride) count += Near(points[i], candidate, kRansacTolerance);
    if (count > bestCount) {
      bestCount = count;
      best = candidate;
    }
  }
  if (bestCount < kMinRansacSupport) return false;
  for (int round = 0; round < 3; ++round) {
    if (!RefitNear(points, kRansacTolerance, best) || !plausible(best)) return false;
  }
  rough = {reduced.FullX(best.x), reduced.FullY(best.y), best.radius * reduced.factor};
  return true;
}

// kRays unit vectors in order around the circle, towards points spread evenly
// along the sides of a square: no sine or cosine to differ between C
// libraries. They lie up to twice as close together near the diagonals.
std::vector<Point> RayDirections() {
  std::vector<Point> directions(kRays);
  constexpr int32_t perSide = kRays / 4;
  for (int32_t k = 0; k < kRays; ++k) {
    const double t = -1.0 + 2.0 * ((k % perSide) + 0.5) / perSide;
    Point p;
    switch (k / perSide) {
      case 0: p = {1.0, t}; break;
      case 1: p = {-t, 1.0}; break;
      case 2: p = {-1.0, -t}; break;
      default: p = {t, -1.0}; break;
    }
    const double length = std::sqrt(p.x * p.x + p.y * p.y);
    directions[k] = {p.x / length, p.y / length};
  }
  return directions;
}

// Bilinear brightness at (x, y); needs 0 <= x < width - 1, 0 <= y < height - 1.
double BrightnessAt(const PixelBuffer& picture, double x, double y) {
  const double x0 = std::floor(x), y0 = std::floor(y);
  const uint8_t* upper = picture.Pixel(static_cast<int32_t>(x0), picture.height - 1 - static_cast<int32_t>(y0));
  const uint8_t* lower = upper - picture.RowBytes();  // the picture row below: one row earlier in storage
  auto value = [](const uint8_t* p) { return double(p[0] + 2 * p[1] + p[2]); };
  const double fx = x - x0, fy = y - y0;
  const double top = value(upper) + fx * (value(upper + kBytesPerPixel) - value(upper));
  const double bottom = value(lower) + fx * (value(lower + kBytesPerPixel) - value(lower));
  return top + fy * (bottom - top);
}

// Brightness along a ray at distances first, first + 1, ... from the centre,
// summed over `lines` lines parallel to it, a pixel apart, that straddle it;
// false where one of them leaves the picture before its last sample.
bool SampleRay(const PixelBuffer& picture, Point centre, Point direction, double first, int32_t count,
               int32_t lines, double* out) {
  const double last = first + (count - 1);
  const Point across = {-direction.y, direction.x};
  for (int32_t k = 0; k < count; ++k) out[k] = 0.0;
  for (int32_t line = 0; line < lines; ++line) {
    const double offset = line - (lines - 1) / 2.0;
    const Point start = {centre.x + offset * across.x, centre.y + offset * across.y};
    const double xs[2] = {start.x + first * direction.x, start.x + last * direction.x};
    const double ys[2] = {start.y + first * direction.y, start.y + last * direction.y};
    for (int i = 0; i < 2; ++i) {
      if (!(xs[i] >= 0.0 && xs[i] < picture.width - 1 && ys[i] >= 0.0 && ys[i] < picture.height - 1)) return false;
    }
    for (int32_t k = 0; k < count; ++k) {
      const double s = first + k;
      out[k] += BrightnessAt(picture, start.x + s * direction.x, start.y + s * direction.y);
    }
  }
  return true;
}

double Mean(const double* values, int32_t count) {
  double sum = 0;
  for (int32_t k = 0; k < count; ++k) sum += values[k];
  return sum / count;
}

// Along each ray, the steepest fall from lit to dark within `search` pixels of
// the rough rim, where the levels on its two sides differ by minContrast.
std::vector<RimPoint> FindRimEdges(const PixelBuffer& picture, const ImageCircle& rough, int32_t search,
                                   double minContrast, const std::vector<Point>& directions) {
  std::vector<RimPoint> edges;
  const int32_t count = 2 * (search + kLevelFar) + 1;
  const double first = rough.radius - search - kLevelFar;
  if (first < 1.0) return edges;
  std::vector<double> profile(count);
  for (int32_t ray = 0; ray < kRays; ray += kSearchRayStride) {
    const Point d = directions[ray];
    if (!SampleRay(picture, {rough.x, rough.y}, d, first, count, 1, profile.data())) continue;
    int32_t steepest = -1;
    double steepestFall = 0;
    for (int32_t k = kLevelFar; k < count - kLevelFar; ++k) {
      const double fall = (profile[k - 2] + profile[k - 1]) - (profile[k + 1] + profile[k + 2]);
      if (fall > steepestFall) {
        steepestFall = fall;
        steepest = k;
      }
    }
    if (steepest < 0) continue;
    const int32_t span = kLevelFar - kLevelNear + 1;
    const double inside = Mean(&profile[steepest - kLevelFar], span);
    const double outside = Mean(&profile[steepest + kLevelNear], span);
    if (inside - outside < minContrast) continue;
    const double s = first + steepest;
    edges.push_back({rough.x + s * d.x, rough.y + s * d.y, ray * kSectors / kRays});
  }
  return edges;
}

// Along each ray, where the rim lies: within `halfWidth` pixels either side of
// the fitted circle the profile falls from the inside level to the outside
// level (each the mean over the next `halfWidth` pixels out of the window),
// and its area, in units of that fall, is the distance the lit part reaches.
// Exact for a fall within the window, and for any fall symmetric about the rim.
std::vector<RimPoint> MeasureRim(const PixelBuffer& picture, const ImageCircle& fitted, int32_t halfWidth,
                                 int32_t lines, double minContrast, const std::vector<Point>& directions) {
  std::vector<RimPoint> rim;
  const int32_t count = 4 * halfWidth + 1, windowFirst = halfWidth, windowLast = 3 * halfWidth;
  const double first = fitted.radius - 2 * halfWidth;
  if (first < 1.0) return rim;
  std::vector<double> profile(count);
  for (int32_t ray = 0; ray < kRays; ++ray) {
    const Point d = directions[ray];
    if (!SampleRay(picture, {fitted.x, fitted.y}, d, first, count, lines, profile.data())) continue;
    const double inside = Mean(&profile[0], halfWidth);
    const double outside = Mean(&profile[windowLast + 1], halfWidth);
    const double contrast = inside - outside;
    if (contrast < lines * minContrast) continue;
    double litLength = 0;
    for (int32_t k = windowFirst; k <= windowLast; ++k) litLength += profile[k] - outside;
    const double s = fitted.radius - halfWidth - 0.5 + litLength / contrast;
    if (std::abs(s - fitted.radius) > halfWidth - 1) continue;
    const double windowFall = (profile[windowFirst] + profile[windowFirst + 1]) / 2.0 -
                              (profile[windowLast - 1] + profile[windowLast]) / 2.0;
    rim.push_back({fitted.x + s * d.x, fitted.y + s * d.y, ray * kSectors / kRays, windowFall / contrast});
  }
  return rim;
}

struct RimFit {
  ImageCircle circle;
  double scale = 0;  // robust spread of the points about the circle, pixels
  int32_t inliers = 0;
  int32_t sectors = 0;  // sectors holding kMinRaysPerSector inliers or more
  double sharpness = 0;  // median over the inliers
};

double MedianOf(std::vector<double>& values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Geometric circle fit (Gauss-Newton on the distances to the circle) with
// Tukey's biweight, its scale from the median absolute residual each round.
bool FitCircleRobust(const std::vector<RimPoint>& points, const ImageCircle& start, RimFit& fit) {
  if (points.size() < static_cast<size_t>(kMinRimRays)) return false;
  ImageCircle c = start;
  std::vector<double> residuals(points.size()), magnitudes(points.size());
  auto measure = [&] {
    for (size_t i = 0; i < points.size(); ++i) {
      const double dx = points[i].x - c.x, dy = points[i].y - c.y;
      residuals[i] = std::sqrt(dx * dx + dy * dy) - c.radius;
      magnitudes[i] = std::abs(residuals[i]);
    }
    return std::max(kMinScale, kMedianToDeviation * MedianOf(magnitudes));
  };
  for (int32_t round = 0; round < kRobustRounds; ++round) {
    const double cutoff = kTukey * measure();
    double m[3][3] = {}, v[3] = {};
    for (size_t i = 0; i < points.size(); ++i) {
      const double r = residuals[i];
      if (std::abs(r) >= cutoff) continue;
      const double u = 1.0 - (r / cutoff) * (r / cutoff), weight = u * u;
      const double dx = points[i].x - c.x, dy = points[i].y - c.y;
      const double distance = std::sqrt(dx * dx + dy * dy);
      if (distance == 0.0) continue;
      // d residual / d (x, y, radius)
      const double j[3] = {-dx / distance, -dy / distance, -1.0};
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) m[a][b] += weight * j[a] * j[b];
        v[a] -= weight * j[a] * r;
      }
    }
    double step[3];
    if (!Solve3(m, v, step)) return false;
    c = {c.x + step[0], c.y + step[1], c.radius + step[2]};
    if (!(c.radius > 0.0)) return false;
  }
  fit.circle = c;
  fit.scale = measure();
  const double inlier = std::max(3.0 * fit.scale, 0.5);
  std::array<int32_t, kSectors> perSector{};
  std::vector<double> sharpness;
  for (size_t i = 0; i < points.size(); ++i) {
    if (std::abs(residuals[i]) > inlier) continue;
    sharpness.push_back(points[i].sharpness);
    ++perSector[points[i].sector];
  }
  fit.inliers = static_cast<int32_t>(sharpness.size());
  fit.sharpness = sharpness.empty() ? 0.0 : MedianOf(sharpness);
  fit.sectors = static_cast<int32_t>(
      std::count_if(perSector.begin(), perSector.end(), [](int32_t n) { return n >= kMinRaysPerSector; }));
  return true;
}

// Share of the copy beyond the circle (full-size coordinates) that is lit,
// with its right-hand neighbour, so that specks of noise do not count.
double LitShareOutside(const ReducedPicture& reduced, const ImageCircle& circle, int32_t threshold) {
  const double cx = (circle.x - (reduced.factor - 1) / 2.0) / reduced.factor;
  const double cy = (circle.y - reduced.factor / 2) / reduced.factor;
  const double reach = circle.radius / reduced.factor + kOutsideMargin;
  int64_t outside = 0, lit = 0;
  for (int32_t y = 0; y < reduced.height; ++y) {
    auto count = [&](int32_t from, int32_t to) {  // pixels from..to-1 with their right-hand neighbours
      for (int32_t x = from; x < to; ++x) lit += reduced.At(x, y) > threshold && reduced.At(x + 1, y) > threshold;
      outside += std::max(0, to - from);
    };
    // Columns firstInside to lastInside of this row lie within reach.
    const double dy = y - cy, rest = reach * reach - dy * dy;
    if (rest < 0.0) {
      count(0, reduced.width - 1);
      continue;
    }
    const double half = std::sqrt(rest);
    const int32_t firstInside = static_cast<int32_t>(std::clamp(std::ceil(cx - half), 0.0, double(reduced.width)));
    const int32_t lastInside = static_cast<int32_t>(std::clamp(std::floor(cx + half), -1.0, reduced.width - 1.0));
    count(0, std::min(firstInside, reduced.width - 1));
    count(lastInside + 1, reduced.width - 1);
  }
  return outside == 0 ? 0.0 : static_cast<double>(lit) / static_cast<double>(outside);
}

}  // namespace

Result FindImageCircle(const PixelBuffer& picture, ImageCircle& circle) {
  if (picture.width < kMinSide || picture.height < kMinSide) {
    return Result::Failure("no image circle found: the picture is too small");
  }
  const ReducedPicture reduced = Reduce(picture);
  if (reduced.width < kMinReducedSide || reduced.height < kMinReducedSide) {
    return Result::Failure("no image circle found: the picture is too narrow");
  }
  const Levels levels = MeasureLevels(reduced);
  if (levels.lit - levels.dark < kMinPictureContrast) {
    return Result::Failure("no image circle found: the picture is almost uniform");
  }
  if (!AnyCornerDark(reduced, levels.threshold)) {
    return Result::Failure("no image circle found: the picture is lit to its corners");
  }
  ImageCircle rough;
  if (!FindRoughCircle(reduced, levels.threshold, rough)) return Result::Failure(kNoRim);

  const double minContrast = std::max(kMinRimContrast, kRimContrastShare * (levels.lit - levels.dark));
  const std::vector<Point> directions = RayDirections();
  RimFit fit;
  const int32_t search = 2 * reduced.factor + 4;
  if (!FitCircleRobust(FindRimEdges(picture, rough, search, minContrast, directions), rough, fit)) {
    return Result::Failure(kNoRim);
  }
  const int32_t halfWidth =
      std::max(kMinRimHalfWidth, std::min(picture.width, picture.height) / kPixelsPerRimHalfWidth);
  for (int32_t lines : {1, kRimLines}) {
    if (!FitCircleRobust(MeasureRim(picture, fit.circle, halfWidth, lines, minContrast, directions), fit.circle, fit)) {
      return Result::Failure(kNoRim);
    }
  }
  // A lens whose centre lies outside the frame made no circular fisheye picture.
  const double shortSide = std::min(picture.width, picture.height);
  if (fit.inliers < kMinRimRays || fit.sectors < kMinSectors || fit.scale > kMaxRimSpreadShare * halfWidth ||
      fit.sharpness < kMinRimSharpness ||
      fit.circle.radius < shortSide / 8 || fit.circle.x < 0 || fit.circle.x > picture.width - 1 ||
      fit.circle.y < 0 || fit.circle.y > picture.height - 1) {
    return Result::Failure(kNoRim);
  }
  if (LitShareOutside(reduced, fit.circle, levels.threshold) > kMaxLitShareOutside) {
    return Result::Failure("no image circle found: the picture is lit outside its round rim");
  }
  circle = fit.circle;
  return {};
}
