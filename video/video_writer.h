#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "imageio/result.h"
#include "transform/lens.h"
#include "transform/pixel_buffer.h"
#include "video/video_reader.h"

// The panorama video written: the saved shape's frames encoded, the input's
// audio copied packet for packet, the shape's spherical metadata in the
// container.

enum class VideoCodec { H264, Hevc, Ffv1 };
enum class VideoFileType { Mp4, Matroska };

// x264's and x265's own scales.
inline constexpr int kDefaultCrf = 18;
inline constexpr char kDefaultPreset[] = "medium";

struct VideoOutput {
  VideoFileType fileType = VideoFileType::Mp4;
  VideoCodec codec = VideoCodec::H264;
  int crf = kDefaultCrf;
  std::string preset = kDefaultPreset;
  SaveShape shape = SaveShape::Sphere;
  int32_t width = 0;   // the saved frame's
  int32_t height = 0;
  int32_t threads = 0;  // encoding threads; 0: the library's choice
};

// "h264" and the like, as --codec takes them.
const char* VideoCodecName(VideoCodec codec);

// A panorama frame as H.264 and HEVC carry it: 8-bit 4:2:0 planes (luma,
// then the blue and red differences at half size each way), BT.709 at
// limited range, top row first.
struct PlanarFrame {
  const uint8_t* planes[3] = {};
  ptrdiff_t strides[3] = {};
  int32_t width = 0;
  int32_t height = 0;
};

// Where a converted clip's frames and copied packets go: the writer below,
// or in the benchmarks nowhere.
class VideoSink {
 public:
  virtual ~VideoSink() = default;
  // Whether packets of the input's stream `index` are copied.
  virtual bool Copies(int index) const = 0;
  // Copies a packet of one of the input's copied streams.
  virtual Result CopyPacket(AVPacket* packet) = 0;
  // Takes the panorama `panorama` (the program's layout, pixel_buffer.h)
  // saved in the output's shape, at the decoded frame's time.
  virtual Result WriteFrame(const PixelBuffer& panorama, const DecodedFrame& time) = 0;
  // Whether it takes panoramas `width` x `height` as planes instead, with
  // WritePlanes: the saved frame is the whole panorama, encoded as such.
  virtual bool TakesPlanes(int32_t width, int32_t height) const = 0;
  virtual Result WritePlanes(const PlanarFrame& panorama, const DecodedFrame& time) = 0;
  // After the last frame.
  virtual Result Finish() = 0;
};

class VideoWriter : public VideoSink {
 public:
  VideoWriter();
  ~VideoWriter() override;
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // Creates `path` (which must not exist) for the video stream of `input`,
  // with its audio streams; other streams are left out, with a note on
  // `notes`. The encoder takes the input stream's time base, so that every
  // frame keeps its time.
  Result Open(const std::string& path, const VideoOutput& output, const VideoReader& input, std::ostream& notes);

  bool Copies(int index) const override;
  Result CopyPacket(AVPacket* packet) override;
  // Encodes the frame.
  Result WriteFrame(const PixelBuffer& panorama, const DecodedFrame& time) override;
  bool TakesPlanes(int32_t width, int32_t height) const override;
  Result WritePlanes(const PlanarFrame& panorama, const DecodedFrame& time) override;
  // Drains the encoder and completes the file.
  Result Finish() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
