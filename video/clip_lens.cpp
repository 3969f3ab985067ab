#include "video/clip_lens.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "transform/stores.h"
#include "video/video_reader.h"

namespace {

// The middle value (of an even count, the lower middle one: a value one of
// the frames had).
double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) / 2];
}

// The frames, in the program's layout, each in a store of its own.
struct SampleFrames {
  std::vector<PixelStore> stores;
  std::vector<PixelBuffer> frames;
};

// Where a sample frame is: the first frame shown at or after `wanted`, read
// after a jump to the last key frame shown by `jumpTo`.
struct SampleTime {
  int64_t wanted = 0;
  int64_t jumpTo = 0;
};

// kClipSampleFrames sample times over `span` units from `start`, one near
// each of 0, 1/8, ... 7/8 of it: the key frame the index lists nearest that
// even time within a sixteenth of the span (one key frame each), since a key
// frame decodes alone where any other frame needs the frames it refers to;
// without one, the frame a sixteenth before the even time (or after the
// sample before), the nearest to the key frame before it and so the fewest
// to decode. A key frame is wanted from its index time and jumped to a few
// frames after, since it may be shown a few frames after it is decoded.
std::vector<SampleTime> SampleTimes(const VideoReader& reader, int64_t start, int64_t span, int64_t frameUnits) {
  const int64_t reach = span / (2 * kClipSampleFrames);
  const int64_t shownLater = std::min(reach, 4 * frameUnits);
  const std::vector<int64_t> keys = reader.KeyFrameTimes(start - reach, start + span);
  std::vector<SampleTime> times;
  for (int32_t i = 0; i < kClipSampleFrames; ++i) {
    const int64_t even = start + span * i / kClipSampleFrames;
    int64_t first = std::max(start, even - reach);
    if (!times.empty()) first = std::max(first, times.back().jumpTo + frameUnits);
    SampleTime time{first, first};
    int64_t nearest = reach + 1;
    for (const int64_t key : keys) {
      if (!times.empty() && key <= times.back().jumpTo) continue;
      if (std::llabs(key - even) < nearest) {
        nearest = std::llabs(key - even);
        time = {key, key + shownLater};
      }
    }
    times.push_back(time);
  }
  return times;
}

// kClipSampleFrames frames of `path` spread over its first
// kClipSampleSeconds (a shorter clip gives fewer; see SampleTimes). Between
// them the reader jumps ahead to a key frame when the index has one, and
// passes over frames nothing refers to.
Result ReadSampleFrames(const std::string& path, int32_t threads, SampleFrames& samples) {
  VideoReader reader;
  Result opened = reader.Open(path, threads);
  if (!opened.ok()) return opened;
  const VideoTimeBase base = reader.TimeBase();
  const double secondsPerUnit = double(base.num) / base.den;
  const double clipSeconds = reader.Duration() * secondsPerUnit;
  const auto span = static_cast<int64_t>(
      (clipSeconds > 0 ? std::min(clipSeconds, kClipSampleSeconds) : kClipSampleSeconds) / secondsPerUnit);
  const int64_t start = reader.StartTime();
  const VideoTimeBase rate = reader.FrameRate();
  const double frameSeconds = rate.num > 0 && rate.den > 0 ? double(rate.den) / rate.num : 1.0 / 30.0;
  const auto frameUnits = std::max<int64_t>(1, std::llround(frameSeconds / secondsPerUnit));
  const std::vector<SampleTime> times = SampleTimes(reader, start, span, frameUnits);
  // Frames no other refers to are passed over until two frames before the
  // one wanted, so that it is not passed over itself (where it is, the next
  // frame stands in for it).
  for (size_t next = 0; next < times.size();) {
    const int64_t wanted = times[next].wanted;
    reader.SkipAheadTo(times[next].jumpTo);
    DecodedFrame time;
    bool end = false;
    reader.SkipUnreferencedFrames(true);
    for (;;) {
      Result read = reader.NextFrame(time, end);
      if (!read.ok()) return read;
      if (end) break;
      if (time.pts >= wanted) break;
      if (time.pts + 2 * frameUnits >= wanted) reader.SkipUnreferencedFrames(false);
    }
    if (end) break;
    PixelStore store = AllocatePixels(int64_t{reader.Width()} * reader.Height());
    if (!store) return Result::Failure("not enough memory for the video's frames");
    const PixelBuffer frame{store.get(), reader.Width(), reader.Height()};
    Result converted = reader.ConvertFrame(frame);
    if (!converted.ok()) return converted;
    samples.stores.push_back(std::move(store));
    samples.frames.push_back(frame);
    // Frames at one time count once (a clip shorter than the span).
    while (next < times.size() && time.pts >= times[next].wanted) ++next;
  }
  if (samples.frames.empty()) return Result::Failure("its video stream holds no frame");
  return {};
}

}  // namespace

Result FindClipLens(const std::string& path, const ClipLensSearch& search, int32_t threads, DualLens& lens) {
  SampleFrames samples;
  Result read = ReadSampleFrames(path, threads, samples);
  if (!read.ok()) return read;
  Result lastFailure;
  if (search.findCircles) {
    std::vector<double> x, y, r, x2, y2, r2;
    for (const PixelBuffer& frame : samples.frames) {
      ImageCircle front, back;
      Result found = FindDualCircles(frame, front, back);
      if (!found.ok()) {
        lastFailure = found;
        continue;
      }
      front = RoundedCircle(front);
      back = RoundedCircle(back);
      x.push_back(front.x), y.push_back(front.y), r.push_back(front.radius);
      x2.push_back(back.x), y2.push_back(back.y), r2.push_back(back.radius);
    }
    if (x.empty()) return lastFailure;
    lens.front.circle = ImageCircle{Median(x), Median(y), Median(r)};
    lens.backCircle = ImageCircle{Median(x2), Median(y2), Median(r2)};
  }
  if (search.align) {
    std::vector<DualLens> aligned;
    for (const PixelBuffer& frame : samples.frames) {
      DualLens result;
      Result found = AlignLenses(frame, lens, search.fitLenses, search.aroundStart, threads, result);
      if (!found.ok()) {
        lastFailure = found;
        continue;
      }
      aligned.push_back(result);
    }
    if (aligned.empty()) return lastFailure;
    lens = aligned[LeastDisagreement(samples.frames, aligned)];
  }
  return {};
}
