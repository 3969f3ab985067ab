#include "video/video_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cassert>
#include <cmath>

#include "transform/stores.h"
#include "video/interrupt.h"
#include "video/video_errors.h"

namespace {

// The containers cameras record in; anything else (playlists, image
// sequences, network formats) is refused before it is read.
constexpr char kFormatWhitelist[] = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi";

int StopOnInterrupt(void*) { return InterruptRequested() ? 1 : 0; }

// Untagged video: BT.709 from HD (720 lines) up, BT.601 below, limited range,
// as players assume.
int ColourMatrixOf(const AVFrame& frame) {
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    default: return frame.height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

bool IsFullRange(const AVFrame& frame) {
  const AVPixelFormat format = static_cast<AVPixelFormat>(frame.format);
  return frame.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P;
}

// A frame's own size, or a frame of the stream's first size no longer.
Result FrameSizeChanged() {
  return Result::Failure("changes its frame size in the middle, which the program does not convert");
}

}  // namespace

struct VideoReader::State {
  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  SwsContext* scaler = nullptr;
  SwsContext* planeScaler = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  int32_t otherVideoStreams = 0;
  bool inputEnded = false;
  bool decoderDrained = false;
  int64_t framesRead = 0;
  bool failed = false;
  // The latest end of any packet read, in microseconds (AV_TIME_BASE).
  int64_t lastPacketEnd = AV_NOPTS_VALUE;
  std::string decodeProblem;
  int64_t lastPts = AV_NOPTS_VALUE;  // the last frame decoded

  ~State() {
    sws_freeContext(scaler);
    sws_freeContext(planeScaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
  }
};

VideoReader::VideoReader() : state_(std::make_unique<State>()) {}
VideoReader::~VideoReader() = default;

Result VideoReader::Open(const std::string& path, int32_t threads) {
  // The libraries' own messages would interleave with the program's; every
  // failure comes back as a reason instead.
  av_log_set_level(AV_LOG_QUIET);
  State& s = *state_;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kFormatWhitelist, 0);
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  s.format = avformat_alloc_context();
  if (s.format == nullptr) return Result::Failure("not enough memory to open the video");
  s.format->interrupt_callback = {StopOnInterrupt, nullptr};
  // "file:" keeps a name such as "concat:a|b" or "http:x" a file name.
  int error = avformat_open_input(&s.format, ("file:" + path).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (error < 0) {
    s.failed = true;
    return Result::Failure("is not a video the program can read: it reads MP4/MOV, Matroska/WebM and AVI files (" +
                           VideoErrorText(error) + ")");
  }
  error = avformat_find_stream_info(s.format, nullptr);
  if (error < 0) return Result::Failure("cannot read the video's streams (" + VideoErrorText(error) + ")");
  for (unsigned i = 0; i < s.format->nb_streams; ++i) {
    const AVStream* stream = s.format->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
      continue;
    if (s.streamIndex < 0) {
      s.streamIndex = static_cast<int>(i);
    } else {
      ++s.otherVideoStreams;
    }
  }
  if (s.streamIndex < 0) return Result::Failure("holds no video stream");
  const AVStream* stream = s.format->streams[s.streamIndex];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    return Result::Failure(std::string("its video is ") + avcodec_get_name(stream->codecpar->codec_id) +
                           ", which the FFmpeg libraries here cannot decode");
  }
  const AVCodecParameters& parameters = *stream->codecpar;
  if (parameters.width <= 0 || parameters.height <= 0) return Result::Failure("its video stream declares no frame size");
  // Frames are held as a loaded picture is, within the same limit.
  if (int64_t{parameters.width} * parameters.height > kSourceCapacityPixels) {
    return Result::Failure("its frames are too large (" + std::to_string(parameters.width) + " x " +
                           std::to_string(parameters.height) + "); at most " + std::to_string(kSourceCapacityPixels) +
                           " pixels");
  }
  s.decoder = avcodec_alloc_context3(codec);
  s.packet = av_packet_alloc();
  s.frame = av_frame_alloc();
  if (s.decoder == nullptr || s.packet == nullptr || s.frame == nullptr)
    return Result::Failure("not enough memory to decode the video");
  error = avcodec_parameters_to_context(s.decoder, stream->codecpar);
  if (error < 0) return Result::Failure("cannot decode the video (" + VideoErrorText(error) + ")");
  s.decoder->pkt_timebase = stream->time_base;
  s.decoder->thread_count = threads;
  error = avcodec_open2(s.decoder, codec, nullptr);
  if (error < 0) {
    return Result::Failure(std::string("cannot decode its ") + avcodec_get_name(stream->codecpar->codec_id) +
                           " video (" + VideoErrorText(error) + ")");
  }
  return {};
}

int32_t VideoReader::Width() const { return state_->decoder->width; }
int32_t VideoReader::Height() const { return state_->decoder->height; }

VideoTimeBase VideoReader::TimeBase() const {
  const AVRational base = state_->format->streams[state_->streamIndex]->time_base;
  return {base.num, base.den};
}

VideoTimeBase VideoReader::FrameRate() const {
  AVStream* stream = state_->format->streams[state_->streamIndex];
  const AVRational rate = av_guess_frame_rate(state_->format, stream, nullptr);
  return {rate.num, rate.den};
}

int64_t VideoReader::PromisedFrames() const { return state_->format->streams[state_->streamIndex]->nb_frames; }

int64_t VideoReader::Duration() const {
  const AVStream* stream = state_->format->streams[state_->streamIndex];
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) return stream->duration;
  if (state_->format->duration != AV_NOPTS_VALUE && state_->format->duration > 0)
    return av_rescale_q(state_->format->duration, AV_TIME_BASE_Q, stream->time_base);
  return 0;
}

int64_t VideoReader::StartTime() const {
  const AVStream* stream = state_->format->streams[state_->streamIndex];
  return stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
}

int32_t VideoReader::QuarterTurns() const {
  const AVStream* stream = state_->format->streams[state_->streamIndex];
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (matrix == nullptr) return 0;
  // The library gives the turn anticlockwise, in degrees.
  const double clockwise = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (std::isnan(clockwise)) return -1;
  const double quarters = clockwise / 90.0;
  if (std::abs(quarters - std::round(quarters)) > 1e-3) return -1;
  return static_cast<int32_t>(((static_cast<int64_t>(std::lround(quarters)) % 4) + 4) % 4);
}

void VideoReader::SkipUnreferencedFrames(bool skip) {
  state_->decoder->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

bool VideoReader::SkipAheadTo(int64_t pts) {
  State& s = *state_;
  AVStream* stream = s.format->streams[s.streamIndex];
  const int entry = av_index_search_timestamp(stream, pts, AVSEEK_FLAG_BACKWARD);
  if (entry < 0) return false;
  const AVIndexEntry* key = avformat_index_get_entry(stream, entry);
  if (key == nullptr || (s.lastPts != AV_NOPTS_VALUE && key->timestamp <= s.lastPts)) return false;
  // The index of an MP4 counts decoding times, its seeking showing times:
  // asked for the time wanted, it lands on the last key frame shown by then.
  if (av_seek_frame(s.format, s.streamIndex, pts, AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(s.decoder);
  s.inputEnded = false;
  return true;
}

std::vector<int64_t> VideoReader::KeyFrameTimes(int64_t from, int64_t to) const {
  AVStream* stream = state_->format->streams[state_->streamIndex];
  std::vector<int64_t> times;
  for (int i = 0; i < avformat_index_get_entries_count(stream); ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
    if (entry != nullptr && (entry->flags & AVINDEX_KEYFRAME) && entry->timestamp >= from && entry->timestamp <= to)
      times.push_back(entry->timestamp);
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times;
}

int32_t VideoReader::OtherVideoStreams() const { return state_->otherVideoStreams; }
int32_t VideoReader::VideoStreamIndex() const { return state_->streamIndex; }
AVFormatContext* VideoReader::Format() const { return state_->format; }
int64_t VideoReader::FramesRead() const { return state_->framesRead; }

const std::string& VideoReader::DecodeProblem() const { return state_->decodeProblem; }

bool VideoReader::BrokeOff() const {
  const State& s = *state_;
  const int64_t promised = PromisedFrames();
  if (promised > 0) return s.framesRead < promised;
  // Without a frame count (Matroska), the container's duration: a file whose
  // packets end well before it has lost its tail. Half a second covers
  // rounding and streams that end a little early.
  const AVFormatContext& format = *s.format;
  if (format.duration == AV_NOPTS_VALUE || format.duration <= 0 || s.lastPacketEnd == AV_NOPTS_VALUE) return false;
  const int64_t start = format.start_time == AV_NOPTS_VALUE ? 0 : format.start_time;
  return s.lastPacketEnd + AV_TIME_BASE / 2 < start + format.duration;
}

Result VideoReader::ReadFrame(const PixelBuffer& picture, DecodedFrame& decoded, bool& end,
                              const std::function<Result(AVPacket*)>& otherPacket) {
  Result next = NextFrame(decoded, end, otherPacket);
  if (!next.ok() || end) return next;
  return ConvertFrame(picture);
}

Result VideoReader::NextFrame(DecodedFrame& decoded, bool& end, const std::function<Result(AVPacket*)>& otherPacket) {
  State& s = *state_;
  end = false;
  av_frame_unref(s.frame);
  if (s.failed) return Result::Failure("the video could not be read");
  for (;;) {
    int error = avcodec_receive_frame(s.decoder, s.frame);
    if (error == 0) break;
    if (error == AVERROR_EOF) {
      end = true;
      return {};
    }
    if (error != AVERROR(EAGAIN)) {
      // A frame that does not decode is passed over too.
      if (s.decodeProblem.empty()) {
        s.decodeProblem = "its video does not decode after " + std::to_string(s.framesRead) + " frames (" +
                          VideoErrorText(error) + ")";
      }
      continue;
    }
    if (s.inputEnded) {
      s.failed = true;
      return Result::Failure("its video decoder stopped before the end");
    }
    error = av_read_frame(s.format, s.packet);
    if (InterruptRequested()) {
      s.failed = true;
      return Result::Failure("interrupted");
    }
    if (error == AVERROR_EOF) {
      s.inputEnded = true;
      avcodec_send_packet(s.decoder, nullptr);
      continue;
    }
    if (error < 0) {
      s.failed = true;
      return Result::Failure("breaks off after " + std::to_string(s.framesRead) + " frames (" +
                             VideoErrorText(error) + ")");
    }
    const AVStream* packetStream = s.format->streams[s.packet->stream_index];
    const int64_t packetTime = s.packet->pts != AV_NOPTS_VALUE ? s.packet->pts : s.packet->dts;
    if (packetTime != AV_NOPTS_VALUE) {
      const int64_t end = av_rescale_q(packetTime + s.packet->duration, packetStream->time_base, AV_TIME_BASE_Q);
      if (s.lastPacketEnd == AV_NOPTS_VALUE || end > s.lastPacketEnd) s.lastPacketEnd = end;
    }
    if (s.packet->stream_index != s.streamIndex) {
      Result handed = otherPacket ? otherPacket(s.packet) : Result();
      av_packet_unref(s.packet);
      if (!handed.ok()) {
        s.failed = true;
        return handed;
      }
      continue;
    }
    error = avcodec_send_packet(s.decoder, s.packet);
    av_packet_unref(s.packet);
    // A damaged packet is passed over, as players do; the clip fails at its
    // end (BrokeOff, DecodeProblem), once it is known whether it was cut.
    if (error < 0 && error != AVERROR(EAGAIN) && s.decodeProblem.empty()) {
      s.decodeProblem = "its video does not decode after " + std::to_string(s.framesRead) + " frames (" +
                        VideoErrorText(error) + ")";
    }
  }
  AVFrame& frame = *s.frame;
  decoded.pts = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
  decoded.duration = frame.pkt_duration;
  s.lastPts = decoded.pts;
  ++s.framesRead;
  return {};
}

Result VideoReader::ConvertFrame(const PixelBuffer& picture) {
  State& s = *state_;
  AVFrame& frame = *s.frame;
  assert(frame.data[0] != nullptr && "ConvertFrame without a frame from NextFrame");
  if (frame.width != picture.width || frame.height != picture.height) {
    av_frame_unref(&frame);
    s.failed = true;
    return FrameSizeChanged();
  }
  const AVPixelFormat format = static_cast<AVPixelFormat>(frame.format);
  const bool fullRange = IsFullRange(frame);
  // Full chroma interpolation: colour edges as sharp as 4:2:0 allows, at
  // little cost (the libraries' accurate rounding would double it for less
  // than a level).
  s.scaler = sws_getCachedContext(s.scaler, frame.width, frame.height, format, picture.width, picture.height,
                                  AV_PIX_FMT_BGR0, SWS_BICUBIC | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
  if (s.scaler == nullptr) {
    av_frame_unref(&frame);
    s.failed = true;
    return Result::Failure(std::string("its pixel format ") + av_get_pix_fmt_name(format) +
                           " cannot be converted");
  }
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  if (descriptor != nullptr && !(descriptor->flags & AV_PIX_FMT_FLAG_RGB)) {
    const int* coefficients = sws_getCoefficients(ColourMatrixOf(frame));
    sws_setColorspaceDetails(s.scaler, coefficients, fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                             1 << 16, 1 << 16);
  }
  // The program's rows run bottom-up: the top row is the last in storage.
  uint8_t* destination[4] = {picture.Row(picture.height - 1), nullptr, nullptr, nullptr};
  const int destinationStride[4] = {-picture.RowBytes(), 0, 0, 0};
  sws_scale(s.scaler, frame.data, frame.linesize, 0, frame.height, destination, destinationStride);
  av_frame_unref(&frame);
  return {};
}

bool VideoReader::Bt709() const {
  const AVCodecParameters& parameters = *state_->format->streams[state_->streamIndex]->codecpar;
  AVFrame tags{};
  tags.colorspace = parameters.color_space;
  tags.height = parameters.height;
  return ColourMatrixOf(tags) == SWS_CS_ITU709;
}

Result VideoReader::TakePlanes(AVFrame* planes) {
  State& s = *state_;
  AVFrame& frame = *s.frame;
  assert(frame.data[0] != nullptr && "TakePlanes without a frame from NextFrame");
  const auto fail = [&](const std::string& reason) {
    av_frame_unref(&frame);
    s.failed = true;
    return Result::Failure(reason);
  };
  if (frame.width != Width() || frame.height != Height()) return fail(FrameSizeChanged().reason());
  if (ColourMatrixOf(frame) != SWS_CS_ITU709)
    return fail("changes its colour matrix in the middle, which the program does not convert");
  const AVPixelFormat format = static_cast<AVPixelFormat>(frame.format);
  const bool fullRange = IsFullRange(frame);
  if (format == AV_PIX_FMT_YUV420P && !fullRange) {
    av_frame_unref(planes);
    av_frame_move_ref(planes, &frame);
    return {};
  }
  if (planes->format != AV_PIX_FMT_YUV420P || planes->width != frame.width || planes->height != frame.height ||
      !av_frame_is_writable(planes)) {
    av_frame_unref(planes);
    planes->format = AV_PIX_FMT_YUV420P;
    planes->width = frame.width;
    planes->height = frame.height;
    if (av_frame_get_buffer(planes, 0) < 0) return fail("not enough memory for the video's frames");
  }
  s.planeScaler = sws_getCachedContext(s.planeScaler, frame.width, frame.height, format, frame.width, frame.height,
                                       AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (s.planeScaler == nullptr)
    return fail(std::string("its pixel format ") + av_get_pix_fmt_name(format) + " cannot be converted");
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(s.planeScaler, bt709, fullRange ? 1 : 0, bt709, 0, 0, 1 << 16, 1 << 16);
  sws_scale(s.planeScaler, frame.data, frame.linesize, 0, frame.height, planes->data, planes->linesize);
  av_frame_unref(&frame);
  return {};
}
