#include "transform/clip_map.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>

#include "transform/dual_plan.h"
#include "transform/lens_plan.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"

namespace {

// What a panorama pixel takes: nothing (left as it is), the front lens's
// sample (the one lens's), the back lens's under its gains, or both blended
// across the seam.
enum SegmentKind : uint8_t { kNothing, kFront, kBack, kBlend };

// A run of front or back pixels goes on across a gap of pixels that take
// nothing (their entries skipped) up to this long, rather than start anew:
// a segment costs more than a few skipped entries.
constexpr int32_t kLongestGap = 16;

// The vectorised samplers read the fractions a vector past a run's end.
constexpr size_t kEntryPadding = 8;

// Whether a frame's neighbourhoods are all addressed by 32-bit offsets, as
// the vectorised kernels address them.
bool OffsetsFit(int32_t width, int32_t height) {
  return int64_t{4} * width * height + 4 * int64_t{width} <= INT32_MAX;
}

// The gains' tables change nothing.
bool IsIdentity(const GainTables& gains) {
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; ++v)
      if (gains.table[c][v] != v) return false;
  return true;
}

}  // namespace

// One panorama row as placed: each pixel's kind, each lens's sample and the
// front's weight in the blend; scratch for the lens passes beside them.
struct ClipMap::Row {
  std::vector<uint8_t> kinds;
  std::vector<PlacedSample> front;
  std::vector<PlacedSample> back;
  std::vector<float> weights;
  std::vector<float> frontAxial;
  std::vector<float> backAxial;

  explicit Row(int32_t width) {
    const size_t padded = (static_cast<size_t>(width) + 7) / 8 * 8;
    kinds.resize(static_cast<size_t>(width));
    front.resize(padded);
    back.resize(padded);
    weights.resize(padded);
    frontAxial.resize(padded);
    backAxial.resize(padded);
  }
};

namespace {

// One band of rows' part of the tables, made on the band's thread and put
// together with the others' afterwards.
struct TableChunk {
  std::vector<int32_t> taps;
  std::vector<float> across;
  std::vector<float> down;
  std::vector<float> weights;
  std::vector<int32_t> segmentX, segmentCount, segmentKind, segmentEntry, segmentWeight;
  std::vector<int32_t> rowSegmentCounts;
};

void AddEntries(TableChunk& chunk, const std::vector<PlacedSample>& placed, int32_t x, int32_t count,
                ptrdiff_t tapsOffset) {
  for (int32_t i = x; i < x + count; ++i) {
    const PlacedSample& sample = placed[static_cast<size_t>(i)];
    chunk.taps.push_back(sample.taps < 0 ? -1 : static_cast<int32_t>(sample.taps + tapsOffset));
    chunk.across.push_back(sample.across);
    chunk.down.push_back(sample.down);
  }
}

}  // namespace

namespace {

// Where one lens samples on average over some luma pixels, in its own
// frame's pixels (x right, y up, as the taps count them).
struct MeanPosition {
  double x = 0.0;
  double y = 0.0;
  int32_t count = 0;

  void Add(const PlacedSample& sample, ptrdiff_t rowBytes) {
    if (sample.taps < 0) return;
    x += static_cast<double>(sample.taps % rowBytes / 4) + 1.0 + sample.across;
    y += static_cast<double>(sample.taps / rowBytes) + 1.0 + sample.down;
    ++count;
  }

  // The chroma pixel's sample there: a chroma pixel's centre lies between
  // its two luma pixels' each way. False when its neighbourhood is not
  // wholly inside the lens's part of the chroma frame, `width` x `height`.
  bool Place(int32_t width, int32_t height, ptrdiff_t rowBytes, PlacedSample& placed) const {
    placed = PlacedSample{};
    if (count == 0) return false;
    const double chromaX = (x / count - 0.5) / 2.0;
    const double chromaY = (y / count - 0.5) / 2.0;
    const double nearestX = std::nearbyint(chromaX);
    const double nearestY = std::nearbyint(chromaY);
    if (nearestX < 1.0 || nearestY < 1.0 || nearestX > width - 3 || nearestY > height - 3) return false;
    placed.taps = 4 * (static_cast<ptrdiff_t>(nearestX) - 1) + (static_cast<ptrdiff_t>(nearestY) - 1) * rowBytes;
    placed.across = static_cast<float>(chromaX - nearestX);
    placed.down = static_cast<float>(chromaY - nearestY);
    return true;
  }
};

}  // namespace

ClipMap ClipMap::Chroma(ClipMap luma, int32_t threads, const PlaceRowFunction& placeLumaRow) {
  ClipMap map = std::move(luma);
  const int32_t lumaWidth = map.size_.width;
  const ptrdiff_t lumaRowBytes = 4 * static_cast<ptrdiff_t>(map.frameWidth_);
  // Each lens's part of the frame must split into whole chroma pixels.
  const int32_t frontWidth = map.dual_ ? FrontHalfWidth(map.frameWidth_) : map.frameWidth_;
  const int32_t backWidth = map.frameWidth_ - frontWidth;
  if (map.size_.width % 2 != 0 || map.size_.height % 2 != 0 || frontWidth % 2 != 0 || backWidth % 2 != 0 ||
      map.frameHeight_ % 2 != 0) {
    return map;
  }
  map.size_.width /= 2;
  map.size_.height /= 2;
  map.frameWidth_ /= 2;
  map.frameHeight_ /= 2;
  const int32_t height = map.frameHeight_;
  const ptrdiff_t rowBytes = 4 * static_cast<ptrdiff_t>(map.frameWidth_);
  map.Tabulate(threads, [&](int32_t y, Row& row) {
    Row lower(lumaWidth);
    Row upper(lumaWidth);
    placeLumaRow(2 * y, lower);
    placeLumaRow(2 * y + 1, upper);
    for (size_t x = 0; x < row.kinds.size(); ++x) {
      MeanPosition front;
      MeanPosition back;
      double weightSum = 0.0;
      int32_t weighed = 0;
      for (const Row* luma : {&lower, &upper}) {
        for (size_t p = 2 * x; p < 2 * x + 2; ++p) {
          const uint8_t kind = luma->kinds[p];
          if (kind == kNothing) continue;
          weightSum += kind == kFront ? 1.0 : kind == kBack ? 0.0 : luma->weights[p];
          ++weighed;
          front.Add(luma->front[p], lumaRowBytes);
          back.Add(luma->back[p], lumaRowBytes);
        }
      }
      const float weight = weighed == 0 ? 0.0f : static_cast<float>(weightSum / weighed);
      const bool hasFront = weighed > 0 && front.Place(frontWidth / 2, height, rowBytes, row.front[x]);
      const bool hasBack = weighed > 0 && back.Place(backWidth / 2, height, rowBytes, row.back[x]);
      uint8_t kind = kNothing;
      if (hasFront && (weight == 1.0f || !hasBack)) {
        kind = kFront;
      } else if (hasBack && (weight == 0.0f || !hasFront)) {
        kind = kBack;
      } else if (hasFront && hasBack) {
        kind = kBlend;
      }
      row.kinds[x] = kind;
      row.weights[x] = weight;
    }
  });
  return map;
}

void ClipMap::Tabulate(int32_t threads, const PlaceRowFunction& placeRow) {
  const int32_t width = size_.width;
  const int32_t height = size_.height;
  const int32_t bands = (height + kRowBandRows - 1) / kRowBandRows;
  const ptrdiff_t backOffset = 4 * static_cast<ptrdiff_t>(FrontHalfWidth(frameWidth_));
  std::vector<TableChunk> chunks(static_cast<size_t>(std::max(bands, 0)));
  ForEachRowBand(height, threads, [&](int32_t firstRow, int32_t endRow) {
    TableChunk& chunk = chunks[static_cast<size_t>(firstRow / kRowBandRows)];
    Row row(width);
    for (int32_t y = firstRow; y < endRow; ++y) {
      placeRow(y, row);
      int32_t segments = 0;
      for (int32_t x = 0; x < width;) {
        const uint8_t kind = row.kinds[static_cast<size_t>(x)];
        if (kind == kNothing) {
          ++x;
          continue;
        }
        int32_t end = x + 1;
        for (;;) {
          while (end < width && row.kinds[static_cast<size_t>(end)] == kind) ++end;
          if (kind == kBlend) break;
          int32_t next = end;
          while (next < width && next - end <= kLongestGap && row.kinds[static_cast<size_t>(next)] == kNothing) ++next;
          if (next == end || next >= width || next - end > kLongestGap || row.kinds[static_cast<size_t>(next)] != kind)
            break;
          end = next;
        }
        const int32_t count = end - x;
        chunk.segmentX.push_back(x);
        chunk.segmentCount.push_back(count);
        chunk.segmentKind.push_back(kind);
        chunk.segmentEntry.push_back(static_cast<int32_t>(chunk.taps.size()));
        chunk.segmentWeight.push_back(static_cast<int32_t>(chunk.weights.size()));
        if (kind != kBack) AddEntries(chunk, row.front, x, count, 0);
        if (kind != kFront) AddEntries(chunk, row.back, x, count, backOffset);
        if (kind == kBlend) chunk.weights.insert(chunk.weights.end(), row.weights.begin() + x, row.weights.begin() + end);
        ++segments;
        x = end;
      }
      chunk.rowSegmentCounts.push_back(segments);
    }
  });

  // The chunks in row order, their indices moved by what comes before them.
  size_t entries = 0;
  size_t weights = 0;
  size_t segments = 0;
  for (const TableChunk& chunk : chunks) {
    entries += chunk.taps.size();
    weights += chunk.weights.size();
    segments += chunk.segmentX.size();
  }
  taps_.reserve(entries + kEntryPadding);
  across_.reserve(entries + kEntryPadding);
  down_.reserve(entries + kEntryPadding);
  weights_.reserve(weights);
  segments_.reserve(segments);
  rowSegments_.reserve(static_cast<size_t>(height) + 1);
  rowSegments_.push_back(0);
  for (TableChunk& chunk : chunks) {
    const auto entryBase = static_cast<int32_t>(taps_.size());
    const auto weightBase = static_cast<int32_t>(weights_.size());
    for (size_t i = 0; i < chunk.segmentX.size(); ++i) {
      segments_.push_back({chunk.segmentX[i], chunk.segmentCount[i], chunk.segmentKind[i],
                           entryBase + chunk.segmentEntry[i], weightBase + chunk.segmentWeight[i]});
    }
    for (const int32_t count : chunk.rowSegmentCounts) rowSegments_.push_back(rowSegments_.back() + count);
    taps_.insert(taps_.end(), chunk.taps.begin(), chunk.taps.end());
    across_.insert(across_.end(), chunk.across.begin(), chunk.across.end());
    down_.insert(down_.end(), chunk.down.begin(), chunk.down.end());
    weights_.insert(weights_.end(), chunk.weights.begin(), chunk.weights.end());
    chunk = TableChunk{};
  }
  taps_.resize(entries + kEntryPadding, -1);
  across_.resize(entries + kEntryPadding, 0.0f);
  down_.resize(entries + kEntryPadding, 0.0f);
  tabled_ = true;
}

ClipMap ClipMap::ForLens(const Lens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads, bool chroma) {
  ClipMap map;
  map.lens_ = lens;
  map.size_ = size;
  map.frameWidth_ = frameWidth;
  map.frameHeight_ = frameHeight;
  if (!OffsetsFit(frameWidth, frameHeight)) return map;
  // The pass TransformPicture makes; only the sizes of its record count.
  TransformRecord record{};
  record.destWidth = size.width;
  record.destHeight = size.height;
  record.destStride = 4 * size.width;
  record.srcWidth = frameWidth;
  record.srcHeight = frameHeight;
  record.srcStride = 4 * frameWidth;
  record.scale = 1.0f;
  LensPlan pass;
  PlanPicture(pass, record, lens);
  // The program's own lens keeps the saved square alone: the columns outside
  // it are cleared after every frame, so they need no sample.
  int32_t left = 0;
  int32_t right = size.width;
  if (size.programLens && size.width > size.height) {
    left = SquareLeft(size.width, size.height);
    right = left + size.height;
  }
  const auto placeRow = [&](int32_t y, Row& row) {
    PlaceRow(pass.plan, y, row.front.data());
    for (int32_t x = 0; x < size.width; ++x) {
      const bool sampled = row.front[static_cast<size_t>(x)].taps >= 0 && x >= left && x < right;
      row.kinds[static_cast<size_t>(x)] = sampled ? kFront : kNothing;
    }
  };
  if (chroma) return Chroma(std::move(map), threads, placeRow);
  map.Tabulate(threads, placeRow);
  return map;
}

ClipMap ClipMap::ForDual(const DualLens& lens, int32_t frameWidth, int32_t frameHeight, const PanoramaSize& size,
                         int32_t threads, bool chroma) {
  ClipMap map;
  map.dual_ = lens;
  map.size_ = size;
  map.frameWidth_ = frameWidth;
  map.frameHeight_ = frameHeight;
  if (!OffsetsFit(frameWidth, frameHeight)) return map;
  DualPasses passes;
  PlanDual(passes, PixelBuffer{nullptr, frameWidth, frameHeight}, size.width, size.height, lens);
  // What StitchDualPicture does at each pixel: the front's sample where the
  // back's weight is 0 or the back does not see it, the back's under its
  // gains where the front's is, and the blend between.
  const auto placeRow = [&](int32_t y, Row& row) {
    ColumnSpan frontSpans[2];
    ColumnSpan backSpans[2];
    const int32_t frontCount = LensSpans(passes, false, y, frontSpans);
    const int32_t backCount = LensSpans(passes, true, y, backSpans);
    std::fill(row.front.begin(), row.front.end(), PlacedSample{});
    std::fill(row.back.begin(), row.back.end(), PlacedSample{});
    PlaceLensRow(passes.front.plan, y, frontSpans, frontCount, row.front.data(), row.frontAxial.data());
    PlaceLensRow(passes.back.plan, y, backSpans, backCount, row.back.data(), row.backAxial.data());
    for (size_t x = 0; x < row.kinds.size(); ++x) {
      const bool front = row.front[x].taps >= 0;
      const bool back = row.back[x].taps >= 0;
      uint8_t kind = front ? kFront : back ? kBack : kNothing;
      if (front && back) {
        const float weight = FrontWeight(passes, row.frontAxial[x], row.backAxial[x]);
        row.weights[x] = weight;
        kind = weight == 1.0f ? kFront : weight == 0.0f ? kBack : kBlend;
      }
      row.kinds[x] = kind;
    }
  };
  if (chroma) return Chroma(std::move(map), threads, placeRow);
  map.Tabulate(threads, placeRow);
  return map;
}

void ClipMap::Apply(const PixelBuffer& frame, const PixelBuffer& panorama, const ChannelGains& backGains,
                    int32_t threads) const {
  assert(frame.width == frameWidth_ && frame.height == frameHeight_);
  assert(panorama.width == size_.width && panorama.height == size_.height);
  if (!tabled_) {
    if (dual_) {
      StitchDualPicture(frame, panorama, *dual_, backGains, threads);
      return;
    }
    TransformPicture(frame, panorama, *lens_, threads);
    if (size_.programLens) ClearSideMargins(panorama);
    return;
  }
  const PlacedSampler sample = ActivePlacedSampler();
  const GainTables gains(backGains);
  const bool gained = dual_ && !IsIdentity(gains);
  const ptrdiff_t frameStride = frame.RowBytes();
  ForEachRowBand(panorama.height, threads, [&](int32_t firstRow, int32_t endRow) {
    std::vector<uint8_t> backPixels;
    for (int32_t y = firstRow; y < endRow; ++y) {
      uint8_t* row = panorama.Row(y);
      for (int32_t s = rowSegments_[static_cast<size_t>(y)]; s < rowSegments_[static_cast<size_t>(y) + 1]; ++s) {
        const Segment& segment = segments_[static_cast<size_t>(s)];
        uint8_t* pixels = row + 4 * static_cast<ptrdiff_t>(segment.x);
        const size_t entry = static_cast<size_t>(segment.entry);
        sample(pixels, &taps_[entry], &across_[entry], &down_[entry], segment.count, frame.base, frameStride);
        if (segment.kind == kBack && gained) {
          for (int32_t i = 0; i < segment.count; ++i) {
            if (taps_[entry + static_cast<size_t>(i)] < 0) continue;
            uint8_t* pixel = pixels + 4 * static_cast<ptrdiff_t>(i);
            for (int c = 0; c < 3; ++c) pixel[c] = gains.table[c][pixel[c]];
          }
        } else if (segment.kind == kBlend) {
          // The front's sample is in place; the back's beside it, then blended in.
          backPixels.resize(4 * static_cast<size_t>(segment.count));
          const size_t backEntry = entry + static_cast<size_t>(segment.count);
          sample(backPixels.data(), &taps_[backEntry], &across_[backEntry], &down_[backEntry], segment.count,
                 frame.base, frameStride);
          const float* weights = &weights_[static_cast<size_t>(segment.weight)];
          for (int32_t i = 0; i < segment.count; ++i) {
            uint8_t* pixel = pixels + 4 * static_cast<ptrdiff_t>(i);
            const uint8_t* back = &backPixels[4 * static_cast<size_t>(i)];
            for (int c = 0; c < 3; ++c) pixel[c] = Blended(pixel[c], gains.table[c][back[c]], weights[i]);
          }
        }
      }
    }
    if (size_.programLens) ClearSideMarginRows(panorama, firstRow, endRow);
  });
}

bool ClipMap::AddressPlane(ptrdiff_t frameStride) {
  if (!tabled_ || planeStride_ != 0 || frameStride < frameWidth_ ||
      static_cast<int64_t>(frameStride) * frameHeight_ > INT32_MAX) {
    return false;
  }
  const ptrdiff_t rowBytes = 4 * static_cast<ptrdiff_t>(frameWidth_);
  for (int32_t& taps : taps_) {
    if (taps < 0) continue;
    const ptrdiff_t column = taps % rowBytes / 4;
    const ptrdiff_t rowFromBottom = taps / rowBytes;
    taps = static_cast<int32_t>(column + (frameHeight_ - 1 - rowFromBottom) * frameStride);
  }
  // A third less to read for every frame.
  fractions_.resize(taps_.size());
  for (size_t i = 0; i < taps_.size(); ++i) fractions_[i] = PackFractions(across_[i], down_[i]);
  across_ = {};
  down_ = {};
  planeStride_ = frameStride;
  return true;
}

void ClipMap::ApplyPlanes(const Plane* planes, int32_t count, ptrdiff_t panoramaStride, int32_t threads) const {
  assert(planeStride_ != 0 && count >= 1 && count <= 2);
  const PlaneSampler sample = ActivePlaneSampler();
  const PlaneFinisher finish = ActivePlaneFinisher();
  // The taps address a neighbourhood's top row; its rows go up from there.
  const ptrdiff_t upward = -planeStride_;
  ForEachRowBand(size_.height, threads, [&](int32_t firstRow, int32_t endRow) {
    std::vector<uint8_t> backPixels[2];
    for (int32_t y = firstRow; y < endRow; ++y) {
      const ptrdiff_t rowOffset = (size_.height - 1 - static_cast<ptrdiff_t>(y)) * panoramaStride;
      for (int32_t s = rowSegments_[static_cast<size_t>(y)]; s < rowSegments_[static_cast<size_t>(y) + 1]; ++s) {
        const Segment& segment = segments_[static_cast<size_t>(s)];
        const size_t entry = static_cast<size_t>(segment.entry);
        PlaneSet set;
        set.planes = count;
        for (int32_t p = 0; p < count; ++p) {
          set.destinations[p] = planes[p].panorama + rowOffset + segment.x;
          set.sources[p] = planes[p].frame;
        }
        sample(set, &taps_[entry], &fractions_[entry], segment.count, upward);
        if (segment.kind == kBack) {
          for (int32_t p = 0; p < count; ++p) {
            if (planes[p].backGain.gain != 1.0f)
              finish(set.destinations[p], nullptr, nullptr, &taps_[entry], segment.count, planes[p].backGain);
          }
        } else if (segment.kind == kBlend) {
          // The front's samples are in place; the back's beside them, then blended in.
          PlaneSet back = set;
          for (int32_t p = 0; p < count; ++p) {
            backPixels[p].resize(static_cast<size_t>(segment.count));
            back.destinations[p] = backPixels[p].data();
          }
          const size_t backEntry = entry + static_cast<size_t>(segment.count);
          sample(back, &taps_[backEntry], &fractions_[backEntry], segment.count, upward);
          for (int32_t p = 0; p < count; ++p) {
            finish(set.destinations[p], backPixels[p].data(), &weights_[static_cast<size_t>(segment.weight)],
                   &taps_[entry], segment.count, planes[p].backGain);
          }
        }
      }
    }
  });
}
