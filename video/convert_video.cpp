#include "video/convert_video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
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

struct FreeFrame {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePointer = std::unique_ptr<AVFrame, FreeFrame>;

struct Frame {
  PixelStore store;  // the program's pixels
  PixelBuffer pixels;
  FramePointer planes;  // or, for planes, the decoder's frame
  DecodedFrame time;
  ChannelGains gains;
};

// The two lenses' exposure match on a frame's planes: on its pixels
// converted plainly (the sums need no finer colour), in a buffer kept for it.
class PlaneExposure {
 public:
  ~PlaneExposure() { sws_freeContext(scaler_); }
  ChannelGains Match(const AVFrame& planes, const DualLens& lens) {
    if (!store_) {
      store_ = AllocatePixels(int64_t{planes.width} * planes.height);
      if (!store_) return {};
      pixels_ = {store_.get(), planes.width, planes.height};
    }
    scaler_ = sws_getCachedContext(scaler_, planes.width, planes.height, AV_PIX_FMT_YUV420P, planes.width,
                                   planes.height, AV_PIX_FMT_BGR0, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return {};
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_, bt709, 0, bt709, 1, 0, 1 << 16, 1 << 16);
    uint8_t* destination[4] = {pixels_.Row(pixels_.height - 1), nullptr, nullptr, nullptr};
    const int destinationStride[4] = {-pixels_.RowBytes(), 0, 0, 0};
    sws_scale(scaler_, planes.data, planes.linesize, 0, planes.height, destination, destinationStride);
    return MatchExposure(pixels_, lens);
  }

 private:
  SwsContext* scaler_ = nullptr;
  PixelStore store_;
  PixelBuffer pixels_;
};

// The back lens's gains on each plane of a BT.709 frame at limited range:
// RGB gains (gB, gG, gR) scale luma (less its black, 16) by the luma
// weights' mix of them and each colour difference (about 128) by its own
// channel's gain with a little of green's. Equal gains, the common case of
// an exposure difference, give exactly the gain on RGB; between differing
// ones the small cross terms of the full matrix are left out.
struct PlaneGains {
  PlaneGain luma;
  PlaneGain blue;
  PlaneGain red;

  explicit PlaneGains(const ChannelGains& gains) {
    constexpr double kRed = 0.2126;
    constexpr double kBlue = 0.0722;
    luma = {16.0f, static_cast<float>(kRed * gains.red + (1.0 - kRed - kBlue) * gains.green + kBlue * gains.blue)};
    blue = {128.0f, static_cast<float>((1.0 - kBlue) * gains.blue + kBlue * gains.green)};
    red = {128.0f, static_cast<float>((1.0 - kRed) * gains.red + kRed * gains.green)};
  }
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
  const auto mapFor = [&](bool chroma) {
    return conversion.dual ? ClipMap::ForDual(conversion.dualLens, frameWidth, frameHeight, conversion.size, threads,
                                              chroma)
                           : ClipMap::ForLens(conversion.lens, frameWidth, frameHeight, conversion.size, threads,
                                              chroma);
  };
  const int32_t width = conversion.size.width;
  const int32_t height = conversion.size.height;
  // H.264 and HEVC take BT.709 frames as they come, plane by plane, with no
  // conversion of colour either way: the luma through the map, the chroma
  // through a map of its own. Otherwise (FFV1, sharpening, another colour
  // matrix) each frame becomes the program's pixels and the panorama goes
  // back from them.
  bool planar = conversion.sharpen == 0 && input.Bt709() && frameWidth % 4 == 0 && frameHeight % 2 == 0 &&
                width % 2 == 0 && height % 2 == 0 && writer.TakesPlanes(width, height);
  ClipMap map = mapFor(false);
  ClipMap chromaMap;
  if (planar) {
    chromaMap = mapFor(true);
    // The maps take the frames' plane strides once the first frame is here.
    planar = chromaMap.Size().width == width / 2;
  }
  bool addressed = false;
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
  std::vector<FramePointer> panoramaPlanes(panoramaSlots);
  for (Frame& frame : sources) {
    if (planar) {
      frame.planes.reset(av_frame_alloc());
      if (!frame.planes) return Result::Failure("not enough memory for the video's frames");
      continue;
    }
    frame.store = AllocatePixels(int64_t{frameWidth} * frameHeight);
    if (!frame.store) return Result::Failure("not enough memory for the video's frames");
    frame.pixels = {frame.store.get(), frameWidth, frameHeight};
  }
  for (int32_t i = 0; i < panoramaSlots; ++i) {
    if (planar) {
      // Black where the map leaves the panorama alone, from the start.
      FramePointer& planes = panoramaPlanes[i];
      planes.reset(av_frame_alloc());
      if (!planes) return Result::Failure("not enough memory for a panorama of this size");
      planes->format = AV_PIX_FMT_YUV420P;
      planes->width = width;
      planes->height = height;
      if (av_frame_get_buffer(planes.get(), 0) < 0) return Result::Failure("not enough memory for a panorama of this size");
      for (int p = 0; p < 3; ++p)
        std::memset(planes->data[p], p == 0 ? 16 : 128, static_cast<size_t>(planes->linesize[p]) * (p == 0 ? height : height / 2));
      continue;
    }
    panoramaStores[i] = AllocatePixels(int64_t{width} * height);
    if (!panoramaStores[i]) return Result::Failure("not enough memory for a panorama of this size");
    panoramas[i] = {panoramaStores[i].get(), width, height};
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
    PlaneExposure planeExposure;
    const auto other = [&](AVPacket* packet) -> Result {
      if (!writer.Copies(packet->stream_index)) return {};
      return copied.Push(packet) ? Result() : Result::Failure("not enough memory");
    };
    for (;;) {
      const int slot = freeSources.Pop();
      if (slot < 0) return;
      Frame& frame = sources[slot];
      bool end = false;
      Result read = planar ? input.NextFrame(frame.time, end, other) : input.ReadFrame(frame.pixels, frame.time, end, other);
      if (read.ok() && planar && !end) read = input.TakePlanes(frame.planes.get());
      if (!read.ok()) return stop(read);
      if (end) break;
      if (conversion.dual) {
        frame.gains = planar ? planeExposure.Match(*frame.planes, conversion.dualLens)
                             : MatchExposure(frame.pixels, conversion.dualLens);
      }
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
      if (result.ok() && planar) {
        const AVFrame& planes = *panoramaPlanes[slot];
        PlanarFrame frame;
        for (int p = 0; p < 3; ++p) {
          frame.planes[p] = planes.data[p];
          frame.strides[p] = planes.linesize[p];
        }
        frame.width = width;
        frame.height = height;
        result = writer.WritePlanes(frame, panoramaTimes[slot]);
      } else if (result.ok()) {
        result = writer.WriteFrame(panoramas[slot], panoramaTimes[slot]);
      }
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
    if (planar) {
      const AVFrame& planes = *frame.planes;
      if (!addressed) {
        addressed = planes.linesize[1] == planes.linesize[2] && map.AddressPlane(planes.linesize[0]) &&
                    chromaMap.AddressPlane(planes.linesize[1]);
        if (!addressed) {
          stop(Result::Failure("the video's frames cannot be read plane by plane"));
          break;
        }
      }
      if (planes.linesize[0] != map.PlaneStride() || planes.linesize[1] != chromaMap.PlaneStride() ||
          planes.linesize[2] != chromaMap.PlaneStride()) {
        stop(Result::Failure("the video's frames change their layout in the middle"));
        break;
      }
      const PlaneGains planeGains(gains);
      AVFrame& panorama = *panoramaPlanes[target];
      const ClipMap::Plane luma{planes.data[0], panorama.data[0], planeGains.luma};
      const ClipMap::Plane chroma[2] = {{planes.data[1], panorama.data[1], planeGains.blue},
                                        {planes.data[2], panorama.data[2], planeGains.red}};
      map.ApplyPlanes(&luma, 1, panorama.linesize[0], threads);
      chromaMap.ApplyPlanes(chroma, 2, panorama.linesize[1], threads);
      av_frame_unref(frame.planes.get());
    } else {
      const PixelBuffer& panorama = panoramas[target];
      // Sharpening reaches pixels the map leaves alone: those start black again.
      if (!sharpening.empty()) std::memset(panorama.base, 0, size_t{4} * panorama.width * panorama.height);
      map.Apply(frame.pixels, panorama, gains, threads);
      for (const SharpenWeights& weights : sharpening) SharpenPicture(panorama, weights, threads);
    }
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
