// The converter's whole job on a two-lens clip with the encoding left out
// (tools/bench-peers sets it beside ffmpeg's v360 into a null output):
//   video_pipeline_bench CLIP [THREADS]
// finds the circles and the alignment on the clip's sample frames as
// --dual --fov 200 --circle auto --align does, then decodes, matches, stitches
// and blends every frame on the pipeline into a sink that drops them. Prints
// "FRAMES SECONDS" (wall time, the clip-wide search included), and on
// standard error the search's share.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "video/clip_lens.h"
#include "video/convert_video.h"

namespace {

class NullSink : public VideoSink {
 public:
  bool Copies(int) const override { return false; }
  Result CopyPacket(AVPacket*) override { return {}; }
  Result WriteFrame(const PixelBuffer&, const DecodedFrame&) override {
    ++frames;
    return {};
  }
  // As the writer takes them for H.264 and HEVC.
  bool TakesPlanes(int32_t, int32_t) const override { return true; }
  Result WritePlanes(const PlanarFrame&, const DecodedFrame&) override {
    ++frames;
    return {};
  }
  Result Finish() override { return {}; }
  int64_t frames = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: video_pipeline_bench CLIP [THREADS]\n");
    return 2;
  }
  const std::string clip = argv[1];
  const int32_t threads =
      argc == 3 ? std::atoi(argv[2]) : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  const auto start = std::chrono::steady_clock::now();
  VideoReader reader;
  Result result = reader.Open(clip, threads);
  VideoConversion conversion;
  conversion.dual = true;
  conversion.threads = threads;
  conversion.dualLens.front.fovDegrees = 200;
  if (result.ok()) result = FindClipLens(clip, {true, true, false, false}, threads, conversion.dualLens);
  const double searchSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  NullSink sink;
  if (result.ok()) {
    conversion.size = DualSphereSize(reader.Width(), reader.Height(), reader.Height() & ~1);
    result = RunVideoPipeline(reader, sink, conversion);
  }
  if (!result.ok()) {
    std::fprintf(stderr, "video_pipeline_bench: %s: %s\n", clip.c_str(), result.reason().c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%lld %.4f\n", static_cast<long long>(sink.frames), seconds);
  std::fprintf(stderr, "circles and alignment on the sample frames: %.2f s; frames: %.2f s\n", searchSeconds,
               seconds - searchSeconds);
  return 0;
}
