#include "video/video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <ostream>
#include <vector>

#include "imageio/picture_encoding.h"
#include "video/interrupt.h"
#include "video/video_errors.h"

namespace {

int StopOnInterrupt(void*) { return InterruptRequested() ? 1 : 0; }

const char* EncoderName(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::H264: return "libx264";
    case VideoCodec::Hevc: return "libx265";
    case VideoCodec::Ffv1: return "ffv1";
  }
  return "";
}

// What a 360-degree player needs to know of the saved shape (Spherical Video
// V2). The square is the middle half of the sphere's width; the rectangle
// the whole sphere's frame with its front (the middle of the frame) at the
// square's right edge, so the pose turns players back a quarter to the
// square's middle, as the panorama's heading does for pictures.
Result AddSphericalMetadata(AVStream* stream, SaveShape shape) {
  size_t size = 0;
  AVSphericalMapping* mapping = av_spherical_alloc(&size);
  if (mapping == nullptr) return Result::Failure("not enough memory");
  mapping->projection = AV_SPHERICAL_EQUIRECTANGULAR;
  if (shape == SaveShape::Square) {
    mapping->projection = AV_SPHERICAL_EQUIRECTANGULAR_TILE;
    // 0.32 fixed point fractions of the whole sphere's width: a quarter each side.
    mapping->bound_left = 1u << 30;
    mapping->bound_right = 1u << 30;
  }
  if (shape == SaveShape::Rectangle) mapping->yaw = -90 * (1 << 16);  // 16.16 fixed point degrees, anticlockwise
  uint8_t* data = av_stream_new_side_data(stream, AV_PKT_DATA_SPHERICAL, size);
  if (data == nullptr) {
    av_free(mapping);
    return Result::Failure("not enough memory");
  }
  std::memcpy(data, mapping, size);
  av_free(mapping);
  return {};
}

}  // namespace

const char* VideoCodecName(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::H264: return "h264";
    case VideoCodec::Hevc: return "hevc";
    case VideoCodec::Ffv1: return "ffv1";
  }
  return "";
}

struct VideoWriter::State {
  VideoOutput output;
  AVFormatContext* format = nullptr;
  AVCodecContext* encoder = nullptr;
  AVStream* videoStream = nullptr;
  SwsContext* scaler = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  const AVFormatContext* input = nullptr;
  // Each input stream's output stream, -1 for those left out.
  std::vector<int> outputOf;
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> composed;
  bool headerWritten = false;

  ~State() {
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    if (format != nullptr) {
      if (format->pb != nullptr) avio_closep(&format->pb);
      avformat_free_context(format);
    }
  }

  // Sends `toEncode` (nullptr: the end) and writes what the encoder gives back.
  Result Encode(AVFrame* toEncode) {
    int error = avcodec_send_frame(encoder, toEncode);
    if (error < 0) return Result::Failure("the encoder refused a frame (" + VideoErrorText(error) + ")");
    for (;;) {
      error = avcodec_receive_packet(encoder, packet);
      if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return {};
      if (error < 0) return Result::Failure("the encoder failed (" + VideoErrorText(error) + ")");
      packet->stream_index = videoStream->index;
      av_packet_rescale_ts(packet, encoder->time_base, videoStream->time_base);
      error = av_interleaved_write_frame(format, packet);
      if (error < 0) return Result::Failure("cannot write the file (" + VideoErrorText(error) + ")");
    }
  }
};

VideoWriter::VideoWriter() : state_(std::make_unique<State>()) {}
VideoWriter::~VideoWriter() = default;

Result VideoWriter::Open(const std::string& path, const VideoOutput& output, const VideoReader& input,
                         std::ostream& notes) {
  State& s = *state_;
  s.output = output;
  s.input = input.Format();
  const char* muxer = output.fileType == VideoFileType::Mp4 ? "mp4" : "matroska";
  int error = avformat_alloc_output_context2(&s.format, nullptr, muxer, path.c_str());
  if (error < 0 || s.format == nullptr) return Result::Failure("cannot make a " + std::string(muxer) + " file");
  s.format->interrupt_callback = {StopOnInterrupt, nullptr};
  // The MP4 muxer writes the spherical box (sv3d) only when unofficial
  // extensions are allowed.
  if (output.fileType == VideoFileType::Mp4) s.format->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;

  const AVCodec* codec = avcodec_find_encoder_by_name(EncoderName(output.codec));
  if (codec == nullptr) {
    return Result::Failure(std::string("the FFmpeg libraries here have no ") + EncoderName(output.codec) +
                           " encoder for --codec " + VideoCodecName(output.codec));
  }
  const AVStream* inputStream = s.input->streams[input.VideoStreamIndex()];
  s.encoder = avcodec_alloc_context3(codec);
  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  s.videoStream = avformat_new_stream(s.format, nullptr);
  if (s.encoder == nullptr || s.frame == nullptr || s.packet == nullptr || s.videoStream == nullptr)
    return Result::Failure("not enough memory to encode the video");
  AVCodecContext& encoder = *s.encoder;
  encoder.width = output.width;
  encoder.height = output.height;
  encoder.sample_aspect_ratio = {1, 1};
  // Every frame keeps its time: the encoder counts in the input's units.
  encoder.time_base = inputStream->time_base;
  const VideoTimeBase rate = input.FrameRate();
  if (rate.num > 0 && rate.den > 0) encoder.framerate = {rate.num, rate.den};
  encoder.thread_count = output.threads;
  if (output.codec == VideoCodec::Ffv1) {
    // Lossless: the panorama's own bytes (bgr0).
    encoder.pix_fmt = AV_PIX_FMT_0RGB32;
    encoder.level = 3;
    av_opt_set_int(encoder.priv_data, "slicecrc", 1, 0);
  } else {
    encoder.pix_fmt = AV_PIX_FMT_YUV420P;
    encoder.color_range = AVCOL_RANGE_MPEG;
    encoder.colorspace = AVCOL_SPC_BT709;
    encoder.color_primaries = AVCOL_PRI_BT709;
    encoder.color_trc = AVCOL_TRC_BT709;
    av_opt_set(encoder.priv_data, "preset", output.preset.c_str(), 0);
    av_opt_set_double(encoder.priv_data, "crf", output.crf, 0);
    if (output.codec == VideoCodec::Hevc) {
      av_opt_set(encoder.priv_data, "x265-params", "log-level=error", 0);
      // Apple's players take HEVC in MP4 only under this tag.
      encoder.codec_tag = MKTAG('h', 'v', 'c', '1');
    }
  }
  if (s.format->oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  error = avcodec_open2(s.encoder, codec, nullptr);
  if (error < 0) {
    return Result::Failure(std::string("cannot start the ") + EncoderName(output.codec) + " encoder (" +
                           VideoErrorText(error) + ")");
  }
  error = avcodec_parameters_from_context(s.videoStream->codecpar, s.encoder);
  if (error < 0) return Result::Failure("cannot set up the video stream (" + VideoErrorText(error) + ")");
  s.videoStream->time_base = encoder.time_base;
  s.videoStream->avg_frame_rate = inputStream->avg_frame_rate;
  s.videoStream->r_frame_rate = inputStream->r_frame_rate;
  Result spherical = AddSphericalMetadata(s.videoStream, output.shape);
  if (!spherical.ok()) return spherical;

  // The sound, copied as it is; a camera's other streams (gyro, timecode)
  // describe the fisheye frames, not the panorama.
  s.outputOf.assign(s.input->nb_streams, -1);
  int32_t leftOut = 0;
  for (unsigned i = 0; i < s.input->nb_streams; ++i) {
    const AVStream* stream = s.input->streams[i];
    if (static_cast<int>(i) == input.VideoStreamIndex()) continue;
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      ++leftOut;
      continue;
    }
    if (avformat_query_codec(s.format->oformat, stream->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
      return Result::Failure(std::string("its sound (") + avcodec_get_name(stream->codecpar->codec_id) +
                             ") cannot be kept in an MP4 file; use -o NAME.mkv");
    }
    AVStream* copy = avformat_new_stream(s.format, nullptr);
    if (copy == nullptr) return Result::Failure("not enough memory");
    error = avcodec_parameters_copy(copy->codecpar, stream->codecpar);
    if (error < 0) return Result::Failure("cannot copy its sound (" + VideoErrorText(error) + ")");
    copy->codecpar->codec_tag = 0;
    copy->time_base = stream->time_base;
    copy->disposition = stream->disposition;
    av_dict_copy(&copy->metadata, stream->metadata, 0);
    s.outputOf[i] = copy->index;
  }
  if (leftOut > 0) {
    notes << "quorvane-convert: note: only the first video stream and the sound are "
          << "converted; " << leftOut << (leftOut == 1 ? " other stream is" : " other streams are") << " left out\n";
  }

  error = avio_open2(&s.format->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE, &s.format->interrupt_callback,
                     nullptr);
  if (error < 0) return Result::Failure("cannot create the file (" + VideoErrorText(error) + ")");
  error = avformat_write_header(s.format, nullptr);
  if (error < 0) return Result::Failure("cannot write the file (" + VideoErrorText(error) + ")");
  s.headerWritten = true;
  s.frame->format = encoder.pix_fmt;
  s.frame->width = output.width;
  s.frame->height = output.height;
  s.frame->color_range = encoder.color_range;
  s.frame->colorspace = encoder.colorspace;
  s.frame->color_primaries = encoder.color_primaries;
  s.frame->color_trc = encoder.color_trc;
  error = av_frame_get_buffer(s.frame, 0);
  if (error < 0) return Result::Failure("not enough memory to encode the video");
  return {};
}

bool VideoWriter::Copies(int index) const {
  return index >= 0 && index < static_cast<int>(state_->outputOf.size()) && state_->outputOf[index] >= 0;
}

Result VideoWriter::CopyPacket(AVPacket* packet) {
  State& s = *state_;
  const int from = packet->stream_index;
  AVStream* to = s.format->streams[s.outputOf[from]];
  av_packet_rescale_ts(packet, s.input->streams[from]->time_base, to->time_base);
  packet->stream_index = to->index;
  packet->pos = -1;
  const int error = av_interleaved_write_frame(s.format, packet);
  if (error < 0) return Result::Failure("cannot write the file (" + VideoErrorText(error) + ")");
  return {};
}

bool VideoWriter::TakesPlanes(int32_t width, int32_t height) const {
  const State& s = *state_;
  const SavedColumns columns = SavedColumnsOf(PixelBuffer{nullptr, width, height}, s.output.shape);
  return s.output.codec != VideoCodec::Ffv1 && columns.InsidePicture() && columns.left == 0 &&
         columns.fileWidth == width && width == s.output.width && height == s.output.height;
}

Result VideoWriter::WritePlanes(const PlanarFrame& panorama, const DecodedFrame& time) {
  State& s = *state_;
  if (!TakesPlanes(panorama.width, panorama.height)) return Result::Failure("a panorama frame of the wrong size");
  if (av_frame_make_writable(s.frame) < 0) return Result::Failure("not enough memory to encode the video");
  for (int p = 0; p < 3; ++p) {
    const int32_t width = p == 0 ? panorama.width : panorama.width / 2;
    const int32_t height = p == 0 ? panorama.height : panorama.height / 2;
    av_image_copy_plane(s.frame->data[p], s.frame->linesize[p], panorama.planes[p], static_cast<int>(panorama.strides[p]),
                        width, height);
  }
  s.frame->pts = time.pts;
  s.frame->pkt_duration = time.duration;
  return s.Encode(s.frame);
}

Result VideoWriter::WriteFrame(const PixelBuffer& panorama, const DecodedFrame& time) {
  State& s = *state_;
  const SavedColumns columns = SavedColumnsOf(panorama, s.output.shape);
  if (columns.fileWidth != s.output.width || panorama.height != s.output.height)
    return Result::Failure("a panorama frame of the wrong size");
  // The saved frame as one block of rows: within the panorama itself, or put
  // together here when the shape adds black columns.
  const uint8_t* top = nullptr;
  int stride = 0;
  if (columns.InsidePicture()) {
    top = panorama.Pixel(columns.left, panorama.height - 1);
    stride = -panorama.RowBytes();
  } else {
    const size_t rowBytes = size_t{4} * columns.fileWidth;
    s.composed.resize(rowBytes * panorama.height);
    for (int32_t y = 0; y < panorama.height; ++y)
      std::memcpy(s.composed.data() + rowBytes * y, SavedRow(panorama, columns, y, s.scratch), rowBytes);
    top = s.composed.data() + rowBytes * (panorama.height - 1);
    stride = -static_cast<int>(rowBytes);
  }
  int error = av_frame_make_writable(s.frame);
  if (error < 0) return Result::Failure("not enough memory to encode the video");
  if (s.output.codec == VideoCodec::Ffv1) {
    for (int32_t y = 0; y < s.output.height; ++y)
      std::memcpy(s.frame->data[0] + static_cast<ptrdiff_t>(y) * s.frame->linesize[0], top + ptrdiff_t{stride} * y,
                  size_t{4} * s.output.width);
  } else {
    s.scaler = sws_getCachedContext(s.scaler, s.output.width, s.output.height, AV_PIX_FMT_BGR0, s.output.width,
                                    s.output.height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                    nullptr, nullptr);
    if (s.scaler == nullptr) return Result::Failure("cannot convert the panorama's colours");
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(s.scaler, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const uint8_t* source[4] = {top, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {stride, 0, 0, 0};
    sws_scale(s.scaler, source, sourceStride, 0, s.output.height, s.frame->data, s.frame->linesize);
  }
  s.frame->pts = time.pts;
  s.frame->pkt_duration = time.duration;
  return s.Encode(s.frame);
}

Result VideoWriter::Finish() {
  State& s = *state_;
  Result drained = s.Encode(nullptr);
  if (!drained.ok()) return drained;
  int error = av_write_trailer(s.format);
  if (error < 0) return Result::Failure("cannot write the file (" + VideoErrorText(error) + ")");
  error = avio_closep(&s.format->pb);
  if (error < 0) return Result::Failure("cannot write the file (" + VideoErrorText(error) + ")");
  return {};
}
