#include "transform/circle_finder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

// The image circle is the round region the lens lit. Outside it the sensor
// saw no light: the surround is the camera's black and its noise, the darkest
// and flattest part of the picture. Inside, the scene may be as dark as that
// over long arcs of the rim (a forest, a night sky, a hood's shadow, the last
// of a vignette), but never darker; and nothing outside the circle is lit.
// The finder rests on those facts:
//  1. The surround's level and noise are read in the darkest corner: a circle
//     that reaches into the frame leaves at least one corner outside it.
//  2. On a reduced copy, each row and column is scanned from both ends for
//     where the surround ends. Where the rim is visible that is on the rim;
//     where the scene is dark there, the scan runs on into the circle; no
//     point lies beyond the circle. RANSAC ranks the circles through three
//     points by the points on them less those beyond them; the best few,
//     refitted to the points on them, are good to a pixel or two of the copy.
//  3. At full size, rays from such a circle's centre look for the rim near
//     it: the outermost steep fall from lit into the surround (RimFall), to a
//     fraction of a pixel. Falls onto a lit scene (its own edges, a hood's
//     soft shadow) and slow fades (vignetting) are not rims. A robust fit
//     (Tukey's biweight, which gives no weight to points far off the circle)
//     to those, then to the same measure in a narrower window around the
//     fitted circle, once along single lines and once over three parallel
//     ones, gives the circle. So the visible rim alone decides.
//  4. The answer must look like a lens's rim: long, pinning the circle down,
//     round to a pixel, with nothing lit beyond it. Otherwise the next rough
//     circle is tried; when none passes there is no circle.
//
// Only + - * / and sqrt in double, in a fixed order, and a fixed-seed
// generator: the same picture gives the same bits on every system.
//
// Brightness here is B + 2G + R, from 0 to 1020 (4 units are one level of
// each channel); pixel layout as in pixel_buffer.h. Coordinates are source
// coordinates (y down, see lens.h).

namespace {

// The reduced copy's longer side is at most this long: a 12-megapixel picture
// shrinks by 5, and the rough circle is then good to about 5 pixels.
constexpr int32_t kReducedSide = 800;
// Smaller pictures (or reduced copies) cannot show a rim worth fitting.
constexpr int32_t kMinSide = 32;
constexpr int32_t kMinReducedSide = 16;
// The faintest rim that counts as visible: its inside 8 levels of 255 (in
// each channel) above the surround. Dimmer than that, JPEG's quantisation and
// a camera's noise reduction leave no trustworthy edge.
constexpr int32_t kMinRimContrast = 32;
// A lens's unlit surround is the camera's black: 0 in camera JPEGs, 16 in
// video-range files, a little more with flare. A corner brighter than 32
// levels in each channel is lit by the scene.
constexpr int32_t kMostSurroundLevel = 128;
// The corners read for the surround are squares of a 32nd of the copy's
// shorter side: on a 4:3 picture they stay outside a circle clipped on all
// four sides until its radius is 95% of the half diagonal, and their median
// holds while up to half of them is lit.
constexpr int32_t kCornerShare = 32;
constexpr int32_t kMinCornerSide = 3;
// A pixel counts as lit this many standard deviations of the surround's noise
// above its level (one surround pixel in 30,000 passes, and the scans want
// three in a row), and at least half the faintest rim's contrast above it.
constexpr double kNoiseDeviations = 4.0;
// The median absolute deviation's ratio to the standard deviation for normal
// noise.
constexpr double kMedianToDeviation = 1.4826;
// The picture's darkest and brightest levels leave out this share of the copy
// at either end: a few stray pixels (a hot pixel, a speck of dust) do not
// count, while the smallest circle the finder takes (kMinRadiusShare) covers
// 0.9% of a 4:3 picture, far more.
constexpr double kStrayShare = 0.001;
// The smallest circle worth converting has a radius of a sixteenth of the
// picture's shorter side (75 pixels in 1600 x 1200).
constexpr double kMinRadiusShare = 1.0 / 16;

constexpr uint32_t kRansacSeed = 2463534242u;
// While a third of the scanned points lie on the rim, 300 rounds miss drawing
// three of them with odds of 1 in 60,000.
constexpr int32_t kRansacRounds = 300;
// Scanned rim points within this many pixels of the copy count for a circle
// (a rim's crossing of the threshold varies by about a pixel with its
// contrast). Circles are scored on every kRansacStride-th point (a few
// hundred still), and refitted to all.
constexpr double kRansacTolerance = 1.5;
constexpr size_t kRansacStride = 4;
// A circle scoring less than this (of the points scored) is no rim.
constexpr int32_t kMinRansacSupport = 6;
// At most this many rough circles, unlike each other, are refined in turn
// until one shows a lens's rim; each refinement costs a few percent of the
// finder's time on 12 megapixels.
constexpr int32_t kRoughCircles = 3;

// Rays cast from the centre at full size, in order around it.
constexpr int32_t kRays = 1024;
// The rim has to show along 32 rays (11 degrees of rim) at least, and its
// points must pin the circle down: the fit's standard error (from their
// spread and where around the circle they lie) at most a fifth of the pixel
// the finder answers for. A short arc or a straight edge does not.
constexpr int32_t kMinRimRays = 32;
constexpr double kMostUncertainty = 0.2;
// The rim is measured within 5 pixels either side of the fitted circle on
// pictures up to 2400 pixels high, more on larger ones (their rims are softer
// in pixels: 7 at 4000 x 3000).
constexpr int32_t kMinRimHalfWidth = 5;
constexpr int32_t kPixelsPerRimHalfWidth = 400;
// Robust spread of the rays' rim points about the fitted circle, at most this
// share of that half width (1 pixel on pictures up to 2400 pixels high, 1.4
// at 4000 x 3000): a lens rim stays well within it under noise, JPEG and a
// textured scene at the rim, while edges spread over the window have a spread
// of 0.74 half widths.
constexpr double kMaxRimSpreadShare = 0.2;
// The last measure of each ray's rim sums this many parallel lines a pixel
// apart, which averages out noise and JPEG blocks; the rim curves away from
// them by less than 1/(2 radius) pixels. (The measure before it, which only
// centres the windows, takes one.)
constexpr int32_t kRimLines = 3;
// 2 to 3 samples past a rim's steepest point, its level is within this share
// of the fall's height above the surround: a sharp lens rim is down to the
// surround there, one blurred over 5 pixels within 0.05 of it, while a slow
// fade into the dark (a picture vignetted to black) is not.
constexpr double kLandedShare = 0.25;

constexpr int32_t kRobustRounds = 15;
// Tukey's constant (95% efficiency on normal residuals), and the floor of the
// robust scale (pixels), which keeps perfect synthetic rims from dividing by
// nothing.
constexpr double kTukey = 4.685;
constexpr double kMinScale = 0.05;
// Beyond the circle, past a margin of 16 pixels (a JPEG's colour block at
// 4:2:0, the farthest its ringing reaches), at most this share of the copy may
// be lit.
constexpr double kOutsideMarginPixels = 16.0;
constexpr double kMaxLitShareOutside = 0.02;

constexpr const char* kNoRim = "no image circle found: no round rim between a lit region and a dark surround";

struct Point {
  double x, y;
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
  int32_t darkest = 0;    // the picture's darkest and brightest (kStrayShare)
  int32_t brightest = 0;
  int32_t surround = 0;   // the darkest corner's median
  double noise = 0;       // the surround's standard deviation in the copy (and, near enough, in the
                          // rim measures' means of a few samples of the picture)
  int32_t threshold = 0;  // brighter than this counts as lit
};

double MedianOf(std::vector<double>& values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

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
  levels.darkest = percentile(kStrayShare);
  levels.brightest = percentile(1.0 - kStrayShare);

  const int32_t side = std::max(kMinCornerSide, std::min(reduced.width, reduced.height) / kCornerShare);
  std::vector<double> values, deviations;
  levels.surround = static_cast<int32_t>(histogram.size());
  for (int32_t corner = 0; corner < 4; ++corner) {
    const int32_t left = corner % 2 == 0 ? 0 : reduced.width - side;
    const int32_t top = corner / 2 == 0 ? 0 : reduced.height - side;
    values.clear();
    for (int32_t y = top; y < top + side; ++y) {
      for (int32_t x = left; x < left + side; ++x) values.push_back(reduced.At(x, y));
    }
    deviations = values;
    const double median = MedianOf(values);
    if (median >= levels.surround) continue;
    for (double& value : deviations) value = std::abs(value - median);
    levels.surround = static_cast<int32_t>(median);
    levels.noise = kMedianToDeviation * MedianOf(deviations);
  }
  levels.threshold =
      levels.surround + static_cast<int32_t>(std::max(kMinRimContrast / 2.0, kNoiseDeviations * levels.noise));
  return levels;
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

// -1 inside the circle by more than `tolerance`, 0 near it, 1 beyond it.
int32_t Side(Point p, const ImageCircle& circle, double tolerance) {
  const double dx = p.x - circle.x, dy = p.y - circle.y;
  const double squared = dx * dx + dy * dy;
  const double inner = std::max(0.0, circle.radius - tolerance), outer = circle.radius + tolerance;
  if (squared < inner * inner) return -1;
  return squared > outer * outer ? 1 : 0;
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
    if (Side(p, circle, tolerance) != 0) continue;
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
    if (Side(p, circle, tolerance) != 0) continue;
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

// Whether two circles differ somewhere by more than `band` pixels.
bool Differ(const ImageCircle& a, const ImageCircle& b, double band) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy) + std::abs(a.radius - b.radius) > band;
}

// The rough circles worth refining, best first, in full-size coordinates: of
// the circles through three of the scanned points, those with the most points
// on them less those beyond them, each refitted to the points on it, no two
// within `band` pixels of the copy of each other. More than one, because
// scanned points inside the circle (where a dark scene hides the rim) can
// line up with a short visible arc on a smaller circle; the rim at full size
// decides between them.
std::vector<ImageCircle> RoughCircles(const ReducedPicture& reduced, int32_t threshold, double band) {
  std::vector<ImageCircle> rough;
  const std::vector<Point> points = RimCandidates(reduced, threshold);
  if (points.size() < 3) return rough;
  const double shortSide = std::min(reduced.width, reduced.height);
  const double diagonal = std::sqrt(double(reduced.width) * reduced.width + double(reduced.height) * reduced.height);
  auto plausible = [&](const ImageCircle& c) {
    return c.x >= 0 && c.x <= reduced.width - 1 && c.y >= 0 && c.y <= reduced.height - 1 &&
           c.radius >= kMinRadiusShare * shortSide && c.radius <= diagonal;
  };
  uint32_t state = kRansacSeed;
  auto next = [&](size_t n) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<size_t>(state % n);
  };
  struct Scored {
    int32_t score;
    int32_t round;  // breaks ties, so that the order never depends on the sort
    ImageCircle circle;
  };
  std::vector<Scored> scored;
  for (int32_t round = 0; round < kRansacRounds; ++round) {
    const size_t a = next(points.size()), b = next(points.size()), c = next(points.size());
    ImageCircle candidate;
    if (a == b || b == c || a == c || !CircleThrough(points[a], points[b], points[c], candidate)) continue;
    if (!plausible(candidate)) continue;
    int32_t score = 0;
    for (size_t i = 0; i < points.size(); i += kRansacStride) {
      const int32_t side = Side(points[i], candidate, kRansacTolerance);
      score += side == 0 ? 1 : side > 0 ? -1 : 0;
    }
    if (score >= kMinRansacSupport) scored.push_back({score, round, candidate});
  }
  std::sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
    return a.score != b.score ? a.score > b.score : a.round < b.round;
  });
  std::vector<ImageCircle> refitted;
  auto known = [&](const ImageCircle& circle) {
    return std::any_of(refitted.begin(), refitted.end(),
                       [&](const ImageCircle& c) { return !Differ(c, circle, band); });
  };
  for (const Scored& candidate : scored) {
    if (refitted.size() == static_cast<size_t>(kRoughCircles)) break;
    if (known(candidate.circle)) continue;
    ImageCircle circle = candidate.circle;
    bool fits = true;
    for (int round = 0; round < 3 && fits; ++round) {
      fits = RefitNear(points, kRansacTolerance, circle) && plausible(circle);
    }
    if (fits && !known(circle)) refitted.push_back(circle);
  }
  for (const ImageCircle& c : refitted) {
    rough.push_back({reduced.FullX(c.x), reduced.FullY(c.y), c.radius * reduced.factor});
  }
  return rough;
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

// The fall over 2 pixels either side of sample k: one steepest point even on
// a rim blurred over several pixels.
double FallAt(const double* profile, int32_t k) {
  return (profile[k - 2] + profile[k - 1]) - (profile[k + 1] + profile[k + 2]);
}

// Where a ray's profile (sums over `lines` lines, outward) crosses the rim,
// between samples `from` and `to`: the outermost steepest point of a fall
// from lit into the surround. Its fall is the largest of its neighbours'; the
// level 2 to 3 samples before it is lit, and at least the faintest rim's
// contrast above the level 2 to 3 samples after it, which has come down near
// the surround (kLandedShare). An edge of the scene inside the rim lies
// further in: it is taken only where the scene between it and the rim is too
// dark to show the rim. -1 where no fall qualifies. Needs 3 samples before
// `from` and after `to`.
int32_t RimFall(const double* profile, int32_t from, int32_t to, int32_t lines, const Levels& levels) {
  const double surround = lines * static_cast<double>(levels.surround);
  for (int32_t k = to; k >= from; --k) {
    const double fall = FallAt(profile, k);
    if (fall < FallAt(profile, k - 1) || fall <= FallAt(profile, k + 1)) continue;
    const double before = (profile[k - 3] + profile[k - 2]) / 2.0, after = (profile[k + 2] + profile[k + 3]) / 2.0;
    if (before > lines * levels.threshold && before - after >= lines * kMinRimContrast &&
        after - surround <= kLandedShare * (before - surround)) {
      return k;
    }
  }
  return -1;
}

// The steepest point of the fall at sample k (a local maximum of FallAt), to
// a fraction of a sample: the vertex of the parabola through the fall there
// and at its neighbours. Exact for a fall symmetric about a sample.
double FallCentre(const double* profile, int32_t k) {
  const double before = FallAt(profile, k - 1), peak = FallAt(profile, k), after = FallAt(profile, k + 1);
  const double curvature = before - 2.0 * peak + after;
  return k + (curvature < 0.0 ? 0.5 * (before - after) / curvature : 0.0);
}

// Along each ray, the rim's fall within `search` pixels of the rough rim.
std::vector<Point> FindRimEdges(const PixelBuffer& picture, const ImageCircle& rough, int32_t search,
                                   const Levels& levels, const std::vector<Point>& directions) {
  std::vector<Point> edges;
  const int32_t count = 2 * (search + 3) + 1;
  const double first = rough.radius - search - 3;
  if (first < 1.0) return edges;
  std::vector<double> profile(count);
  for (int32_t ray = 0; ray < kRays; ++ray) {
    const Point d = directions[ray];
    if (!SampleRay(picture, {rough.x, rough.y}, d, first, count, 1, profile.data())) continue;
    const int32_t rim = RimFall(profile.data(), 3, count - 4, 1, levels);
    if (rim < 0) continue;
    const double s = first + FallCentre(profile.data(), rim);
    edges.push_back({rough.x + s * d.x, rough.y + s * d.y});
  }
  return edges;
}

// Along each ray, where the rim lies: its fall (RimFall) within `halfWidth`
// pixels of the fitted circle, to a fraction of a pixel (FallCentre). Only
// the fall itself decides, not the scene a few pixels inside it (a forest's
// trunks along the rim, a horizon, a vignette's slope). A fall symmetric about
// the rim gives its centre exactly once the circle runs through it, so the
// fits converge on the rim.
std::vector<Point> MeasureRim(const PixelBuffer& picture, const ImageCircle& fitted, int32_t halfWidth,
                                 int32_t lines, const Levels& levels, const std::vector<Point>& directions) {
  std::vector<Point> rim;
  const int32_t count = 2 * (halfWidth + 3) + 1;
  const double first = fitted.radius - halfWidth - 3;
  if (first < 1.0) return rim;
  std::vector<double> profile(count);
  for (int32_t ray = 0; ray < kRays; ++ray) {
    const Point d = directions[ray];
    if (!SampleRay(picture, {fitted.x, fitted.y}, d, first, count, lines, profile.data())) continue;
    const int32_t fall = RimFall(profile.data(), 3, count - 4, lines, levels);
    if (fall < 0) continue;
    const double s = first + FallCentre(profile.data(), fall);
    rim.push_back({fitted.x + s * d.x, fitted.y + s * d.y});
  }
  return rim;
}

struct RimFit {
  ImageCircle circle;
  double scale = 0;  // robust spread of the points about the circle, pixels
  int32_t inliers = 0;
  double uncertainty = 0;  // the largest standard error of the centre's coordinates and the radius, pixels
};

// Geometric circle fit (Gauss-Newton on the distances to the circle) with
// Tukey's biweight, its scale from the median absolute residual each round.
bool FitCircleRobust(const std::vector<Point>& points, const ImageCircle& start, RimFit& fit) {
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
  fit.inliers = 0;
  double m[3][3] = {};
  for (size_t i = 0; i < points.size(); ++i) {
    if (std::abs(residuals[i]) > inlier) continue;
    ++fit.inliers;
    const double dx = points[i].x - c.x, dy = points[i].y - c.y;
    const double distance = std::sqrt(dx * dx + dy * dy);
    if (distance == 0.0) continue;
    const double j[3] = {-dx / distance, -dy / distance, -1.0};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) m[a][b] += j[a] * j[b];
    }
  }
  // The fit's covariance is scale^2 times the inverse of m; its diagonal by cofactors.
  const double cofactors[3] = {m[1][1] * m[2][2] - m[1][2] * m[2][1], m[0][0] * m[2][2] - m[0][2] * m[2][0],
                               m[0][0] * m[1][1] - m[0][1] * m[1][0]};
  const double det = m[0][0] * cofactors[0] - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const double largest = std::max({cofactors[0], cofactors[1], cofactors[2]});
  fit.uncertainty = det > 0.0 ? fit.scale * std::sqrt(largest / det) : std::numeric_limits<double>::infinity();
  return true;
}

// Share of the copy beyond the circle (full-size coordinates) and its margin
// that is lit, with its right-hand neighbour, so that specks of noise do not
// count.
double LitShareOutside(const ReducedPicture& reduced, const ImageCircle& circle, int32_t threshold) {
  const double cx = (circle.x - (reduced.factor - 1) / 2.0) / reduced.factor;
  const double cy = (circle.y - reduced.factor / 2) / reduced.factor;
  const double reach = (circle.radius + kOutsideMarginPixels) / reduced.factor;
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

// The circle at full size near the rough one, if it shows a lens's rim:
// edges within `search` pixels, then the rim measured twice. Each fit must
// stay within the band its points came from (one that leaves it extrapolates
// from too short an arc). Then the rim must be long (kMinRimRays), pin the
// circle down (kMostUncertainty) and be round (kMaxRimSpreadShare), the
// circle large enough with its centre in the frame, and nothing lit beyond it.
Result RefineCircle(const PixelBuffer& picture, const ReducedPicture& reduced, const Levels& levels,
                    const std::vector<Point>& directions, const ImageCircle& rough, int32_t search,
                    ImageCircle& circle) {
  RimFit fit;
  if (!FitCircleRobust(FindRimEdges(picture, rough, search, levels, directions), rough, fit) ||
      Differ(fit.circle, rough, search)) {
    return Result::Failure(kNoRim);
  }
  const int32_t halfWidth =
      std::max(kMinRimHalfWidth, std::min(picture.width, picture.height) / kPixelsPerRimHalfWidth);
  for (int32_t lines : {1, kRimLines}) {
    const ImageCircle start = fit.circle;
    if (!FitCircleRobust(MeasureRim(picture, start, halfWidth, lines, levels, directions), start, fit) ||
        Differ(fit.circle, start, halfWidth)) {
      return Result::Failure(kNoRim);
    }
  }
  // A lens whose centre lies outside the frame made no circular fisheye picture.
  const double shortSide = std::min(picture.width, picture.height);
  if (fit.inliers < kMinRimRays || fit.uncertainty > kMostUncertainty ||
      fit.scale > kMaxRimSpreadShare * halfWidth || fit.circle.radius < kMinRadiusShare * shortSide ||
      fit.circle.x < 0 || fit.circle.x > picture.width - 1 || fit.circle.y < 0 || fit.circle.y > picture.height - 1) {
    return Result::Failure(kNoRim);
  }
  if (LitShareOutside(reduced, fit.circle, levels.threshold) > kMaxLitShareOutside) {
    return Result::Failure("no image circle found: the picture is lit outside its round rim");
  }
  circle = fit.circle;
  return {};
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
  if (levels.brightest - levels.darkest < kMinRimContrast) {
    return Result::Failure("no image circle found: the picture is almost uniform");
  }
  if (levels.surround > kMostSurroundLevel) {
    return Result::Failure("no image circle found: the picture is lit to its corners");
  }
  // The edges are searched for within this many pixels of a rough circle:
  // twice its precision (a pixel of the copy), and the reach of a blurred rim.
  const int32_t search = 2 * reduced.factor + 4;
  const std::vector<ImageCircle> rough = RoughCircles(reduced, levels.threshold, double(search) / reduced.factor);
  if (rough.empty()) return Result::Failure(kNoRim);
  const std::vector<Point> directions = RayDirections();
  Result first;
  for (size_t i = 0; i < rough.size(); ++i) {
    Result refined = RefineCircle(picture, reduced, levels, directions, rough[i], search, circle);
    if (refined.ok()) return refined;
    if (i == 0) first = refined;
  }
  return first;
}
