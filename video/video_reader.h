#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imageio/result.h"
#include "transform/pixel_buffer.h"

struct AVFormatContext;
struct AVFrame;
struct AVPacket;

// A video file opened for reading its first video stream, each frame decoded
// into the program's pixel layout (pixel_buffer.h).
//
// The file may come from anyone: only the containers a camera records in are
// opened (MP4/MOV, Matroska/WebM, AVI), only as a file of this name (nothing
// it names, no playlist, no other protocol).

// Times of the video stream, in units of its own time base num / den seconds.
struct VideoTimeBase {
  int32_t num = 1;
  int32_t den = 1;
};

struct DecodedFrame {
  int64_t pts = 0;       // in the stream's time base
  int64_t duration = 0;  // 0: not known
};

// Reads and decodes; not copyable. Every call after a failure fails.
class VideoReader {
 public:
  VideoReader();
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  // Opens `path` and the decoder of its first video stream; `threads`
  // decoding threads (0: the library's choice).
  Result Open(const std::string& path, int32_t threads);

  int32_t Width() const;
  int32_t Height() const;
  VideoTimeBase TimeBase() const;
  // Frames per second as the container gives them (0/1: not known).
  VideoTimeBase FrameRate() const;
  // Frames the index promises (0: not known) and the stream's length in its
  // time base (0: not known), from its start time.
  int64_t PromisedFrames() const;
  int64_t Duration() const;
  int64_t StartTime() const;
  // Clockwise quarter turns the player applies to show the frames upright
  // (the display matrix), 0 to 3; -1 for a turn that is no quarter turn.
  int32_t QuarterTurns() const;
  // Streams other than this video stream.
  int32_t OtherVideoStreams() const;
  int32_t VideoStreamIndex() const;
  AVFormatContext* Format() const;

  // Decodes the next frame into `frame`, `Width()` x `Height()` (8 bits, the
  // colours converted from the stream's tagged matrix and range). Sets
  // `end` at the end of the stream. Packets of other streams are handed to
  // `otherPacket`, when given, in the file's order.
  Result ReadFrame(const PixelBuffer& frame, DecodedFrame& decoded, bool& end,
                   const std::function<Result(AVPacket*)>& otherPacket = {});

  // ReadFrame in two steps, for readers that skip frames: the next frame
  // decoded (its time), then, when wanted, its pixels.
  Result NextFrame(DecodedFrame& decoded, bool& end, const std::function<Result(AVPacket*)>& otherPacket = {});
  Result ConvertFrame(const PixelBuffer& frame);

  // Whether the stream's colours are BT.709 (tagged so, or untagged from 720
  // lines up), as the panorama's are: its frames then go to H.264 and HEVC
  // as planes (TakePlanes), never through the program's pixels.
  bool Bt709() const;
  // The frame NextFrame decoded, instead of ConvertFrame, as 8-bit 4:2:0
  // planes (BT.709 at limited range) in the AVFrame `planes`: the decoder's
  // own frame where it is that already, else converted (its range or depth;
  // never its matrix: a frame that is not BT.709 fails).
  Result TakePlanes(AVFrame* planes);

  // For readers that want a few frames spread over a clip: until the next
  // frame wanted, frames no other frame refers to need not be decoded.
  void SkipUnreferencedFrames(bool skip);
  // Moves ahead to the last key frame at or before `pts` when that lies
  // beyond the frames decoded so far (then true); otherwise leaves the
  // reader where it is.
  bool SkipAheadTo(int64_t pts);
  // The times the index lists for key frames from `from` to `to`, rising
  // (an MP4's are decoding times: a key frame is shown a few frames later).
  std::vector<int64_t> KeyFrameTimes(int64_t from, int64_t to) const;

  // Frames decoded so far.
  int64_t FramesRead() const;
  // At the end: whether the file ended before what its index promises (its
  // frame count, or without one its duration).
  bool BrokeOff() const;
  // The first packet that did not decode ("" for none).
  const std::string& DecodeProblem() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
