#include "video/convert_video.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "imageio/file_replace.h"
#include "transform/clip_map.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "video/interrupt.h"

#include "video/spherical_v1.h"

namespace {

// Every load starts the sharpen strength here and each use lowers it by 32,
// as for pictures.
constexpr int32_t kSharpenLevelAfterLoad = 127;
constexpr int32_t kSharpenLevelStep = 32;

// A queue of slot numbers between two stages; Close wakes every waiter.
class SlotQueue {
 public:
  void Push(int slot) {
    {
      std::lock_guard lock(mutex_);
      slots_.push_back(slot);
    }
    ready_.notify_one();
  }
  // -1 once closed and empty.
  int Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !slots_.empty() || closed_; });
    if (slots_.empty()) return -1;
    const int slot = slots_.front();
    slots_.pop_front();
    return slot;
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> slots_;
  bool closed_ = false;
};

// The first failure of any stage; the others stop when they see it.
class Failure {
 public:
  void Set(const Result& result) {
    std::lock_guard lock(mutex_);
    if (result_.ok()) result_ = result;
  }
  bool Any() {
    std::lock_guard lock(mutex_);
    return !result_.ok();
  }
  Result Get() {
    std::lock_guard lock(mutex_);
    return result_;
  }

 private:
  std::mutex mutex_;
  Result result_;
};

// Packets of copied streams, from the decoding thread to the writing one.
class PacketQueue {
 public:
  ~PacketQueue() {
    for (AVPacket* packet : packets_) av_packet_free(&packet);
  }
  bool Push(const AVPacket* packet) {
    AVPacket* copy = av_packet_clone(packet);
    if (copy == nullptr) return false;
    std::lock_guard lock(mutex_);
    packets_.push_back(copy);
    return true;
  }
  std::vector<AVPacket*> TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<AVPacket*> all(packets_.begin(), packets_.end());
    packets_.clear();
    return all;
  }

 private:
  std::mutex mutex_;
  std::deque<AVPacket*> packets_;
};

struct Frame {
  PixelStore store;
  PixelBuffer pixels;
  DecodedFrame time;
  ChannelGains gains;
};

// The temporary file beside `output`, reserved under a name of its own.
Result CreateTemporary(const std::string& output, std::string& temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = output + ".part" + std::to_string(attempt);
    std::FILE* file = CreateNewFile(temporary);
    if (file != nullptr) {
      std::fclose(file);
      return {};
    }
    if (errno != EEXIST) break;
  }
  return Result::Failure(std::string("cannot create the file: ") + std::strerror(errno));
}

}  // namespace

Result RunVideoPipeline(VideoReader& input, VideoSink& writer, const VideoConversion& conversion) {
  const int32_t frameWidth = input.Width();
  const int32_t frameHeight = input.Height();
  const int32_t threads = std::max(conversion.threads, 1);
  const ClipMap map = conversion.dual ? ClipMap::ForDual(conversion.dualLens, frameWidth, frameHeight,
                                                         conversion.size, threads)
                                      : ClipMap::ForLens(conversion.lens, frameWidth, frameHeight, conversion.size,
                                                         threads);
  // Frames held: the gains' look-ahead (two lenses), and for the stages to
  // overlap one being decoded, one being transformed and one waiting, and
  // panoramas one being made, one being encoded and one waiting. The
  // transform and the encoder use every core on one frame at a time, so
  // memory does not grow with the cores either.
  const VideoTimeBase base = input.TimeBase();
  const VideoTimeBase rate = input.FrameRate();
  const double framesPerSecond = rate.num > 0 && rate.den > 0 ? double(rate.num) / rate.den : 30.0;
  const int64_t halfWindow = static_cast<int64_t>(kGainHalfWindowSeconds * base.den / std::max(base.num, 1));
  const int32_t lookAhead =
      conversion.dual ? static_cast<int32_t>(std::ceil(kGainHalfWindowSeconds * std::min(framesPerSecond, 120.0)))
                      : 0;
  const int32_t sourceSlots = lookAhead + 3;
  const int32_t panoramaSlots = 3;

  std::vector<Frame> sources(sourceSlots);
  std::vector<PixelStore> panoramaStores(panoramaSlots);
  std::vector<PixelBuffer> panoramas(panoramaSlots);
  std::vector<DecodedFrame> panoramaTimes(panoramaSlots);
  for (Frame& frame : sources) {
    frame.store = AllocatePixels(int64_t{frameWidth} * frameHeight);
    if (!frame.store) return Result::Failure("not enough memory for the video's frames");
    frame.pixels = {frame.store.get(), frameWidth, frameHeight};
  }
  for (int32_t i = 0; i < panoramaSlots; ++i) {
    panoramaStores[i] = AllocatePixels(int64_t{conversion.size.width} * conversion.size.height);
    if (!panoramaStores[i]) return Result::Failure("not enough memory for a panorama of this size");
    panoramas[i] = {panoramaStores[i].get(), conversion.size.width, conversion.size.height};
  }

  SlotQueue freeSources, decoded, freePanoramas, transformed;
  for (int32_t i = 0; i < sourceSlots; ++i) freeSources.Push(i);
  for (int32_t i = 0; i < panoramaSlots; ++i) freePanoramas.Push(i);
  PacketQueue copied;
  Failure failure;
  const auto stop = [&](const Result& result) {
    failure.Set(result);
    freeSources.Close();
    decoded.Close();
    freePanoramas.Close();
    transformed.Close();
  };

  std::thread decoding([&] {
    const auto other = [&](AVPacket* packet) -> Result {
      if (!writer.Copies(packet->stream_index)) return {};
      return copied.Push(packet) ? Result() : Result::Failure("not enough memory");
    };
    for (;;) {
      const int slot = freeSources.Pop();
      if (slot < 0) return;
      Frame& frame = sources[slot];
      bool end = false;
      Result read = input.ReadFrame(frame.pixels, frame.time, end, other);
      if (!read.ok()) return stop(read);
      if (end) break;
      if (conversion.dual) frame.gains = MatchExposure(frame.pixels, conversion.dualLens);
      decoded.Push(slot);
    }
    // A file that breaks off in the middle ends early: fewer frames than
    // its index promises.
    if (input.BrokeOff()) {
      const int64_t promised = input.PromisedFrames();
      return stop(Result::Failure("breaks off after frame " + std::to_string(input.FramesRead()) +
                                  (promised > 0 ? " of " + std::to_string(promised) : std::string()) +
                                  ": the file is incomplete"));
    }
    if (!input.DecodeProblem().empty()) return stop(Result::Failure(input.DecodeProblem()));
    if (input.FramesRead() == 0) return stop(Result::Failure("its video stream holds no frame"));
    decoded.Close();
  });

  std::thread writing([&] {
    const auto copyWaiting = [&]() -> Result {
      for (AVPacket* packet : copied.TakeAll()) {
        Result written = failure.Any() ? Result() : writer.CopyPacket(packet);
        av_packet_free(&packet);
        if (!written.ok()) return written;
      }
      return {};
    };
    int64_t written = 0;
    for (;;) {
      const int slot = transformed.Pop();
      if (slot < 0) break;
      Result result = copyWaiting();
      if (result.ok()) result = writer.WriteFrame(panoramas[slot], panoramaTimes[slot]);
      if (!result.ok()) return stop(result);
      freePanoramas.Push(slot);
      ++written;
      if (conversion.progress) conversion.progress(written);
    }
    if (failure.Any()) return;
    Result result = copyWaiting();
    if (result.ok()) result = writer.Finish();
    if (!result.ok()) stop(result);
  });

  // The transform, here: frames wait until the gains of the frames up to
  // half a second ahead are known.
  std::deque<int> waiting;
  std::deque<int64_t> gainTimes;
  std::deque<ChannelGains> gainsSeen;
  size_t gainsUsedUpTo = 0;  // index in gainsSeen of the first waiting frame
  int32_t level = kSharpenLevelAfterLoad;
  std::vector<SharpenWeights> sharpening;
  for (int32_t use = 0; use < conversion.sharpen; ++use) sharpening.push_back(SharpenWeightsFor(level -= kSharpenLevelStep));
  bool inputDone = false;
  while (!failure.Any()) {
    if (InterruptRequested()) {
      stop(Result::Failure("interrupted"));
      break;
    }
    const bool ready = !waiting.empty() &&
                       (inputDone || static_cast<int32_t>(waiting.size()) > lookAhead ||
                        gainTimes.back() > sources[waiting.front()].time.pts + halfWindow);
    if (!ready) {
      if (inputDone) break;
      const int slot = decoded.Pop();
      if (slot < 0) {
        inputDone = true;
        continue;
      }
      waiting.push_back(slot);
      gainTimes.push_back(sources[slot].time.pts);
      gainsSeen.push_back(sources[slot].gains);
      continue;
    }
    const int slot = waiting.front();
    waiting.pop_front();
    Frame& frame = sources[slot];
    ChannelGains gains;
    if (conversion.dual) {
      gains = SmoothedGains({gainTimes.begin(), gainTimes.end()}, {gainsSeen.begin(), gainsSeen.end()},
                            gainsUsedUpTo, halfWindow);
      ++gainsUsedUpTo;
      // Gains more than the half window behind the next frame are done with.
      while (gainsUsedUpTo > 0 && !waiting.empty() &&
             gainTimes.front() < sources[waiting.front()].time.pts - halfWindow) {
        gainTimes.pop_front();
        gainsSeen.pop_front();
        --gainsUsedUpTo;
      }
    }
    const int target = freePanoramas.Pop();
    if (target < 0) break;
    const PixelBuffer& panorama = panoramas[target];
    // Sharpening reaches pixels the map leaves alone: those start black again.
    if (!sharpening.empty()) std::memset(panorama.base, 0, size_t{4} * panorama.width * panorama.height);
    map.Apply(frame.pixels, panorama, gains, threads);
    for (const SharpenWeights& weights : sharpening) SharpenPicture(panorama, weights, threads);
    panoramaTimes[target] = frame.time;
    freeSources.Push(slot);
    transformed.Push(target);
  }
  if (!failure.Any()) transformed.Close();
  decoding.join();
  writing.join();
  return failure.Get();
}

ChannelGains SmoothedGains(const std::vector<int64_t>& times, const std::vector<ChannelGains>& gains, size_t at,
                           int64_t halfWindow) {
  ChannelGains sum{0.0, 0.0, 0.0};
  int32_t count = 0;
  for (size_t i = 0; i < times.size(); ++i) {
    if (times[i] < times[at] - halfWindow || times[i] > times[at] + halfWindow) continue;
    sum.blue += gains[i].blue;
    sum.green += gains[i].green;
    sum.red += gains[i].red;
    ++count;
  }
  return {sum.blue / count, sum.green / count, sum.red / count};
}

Result ConvertVideo(VideoReader& input, const std::string& output, const VideoConversion& conversion,
                    std::ostream& notes) {
  std::string temporary;
  Result created = CreateTemporary(output, temporary);
  if (!created.ok()) return created;
  Result result;
  {
    VideoWriter writer;
    result = writer.Open(temporary, conversion.output, input, notes);
    if (result.ok()) result = RunVideoPipeline(input, writer, conversion);
  }
  // Older players and upload sites read the first version's XML box.
  if (result.ok() && conversion.output.fileType == VideoFileType::Mp4) {
    result = InsertSphericalV1(temporary, SphericalV1Xml(conversion.output.shape, conversion.output.width,
                                                         conversion.output.height));
  }
  // Before the new file takes an existing one's place it must be on the
  // disk, so that a crash cannot leave neither, as for pictures.
  if (result.ok() && FileExists(output)) {
    std::FILE* file = std::fopen(temporary.c_str(), "rb+");
    const bool flushed = file != nullptr && FlushToDisk(file);
    const int flushError = errno;
    if (file != nullptr) std::fclose(file);
    if (!flushed) result = Result::Failure(std::string("cannot write the file: ") + std::strerror(flushError));
  }
  std::string error;
  if (result.ok() && !MoveIntoPlace(temporary, output, error)) result = Result::Failure("cannot replace the file: " + error);
  if (!result.ok()) std::remove(temporary.c_str());
  return result;
}
