// Fuzz target: any bytes as a video file, opened and read by the video
// reader as the converter opens a video (the whitelists, the first video
// stream, every frame decoded into the program's layout). What must hold:
//  - opening and reading fail with a reason or succeed, never crash or hang;
//  - a reader that opened has a frame size within the loaded-picture limit,
//    and each frame fills exactly that size (the buffer is sized for it, and
//    the sanitizers see any write beyond);
//  - after a failure every further read fails;
//  - nothing leaks.
// Frames past kMostFrames are not read: they tell nothing new.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transform/stores.h"
#include "video/video_reader.h"

namespace {

constexpr int kMostFrames = 16;
// Larger frames are legal, but cost the fuzzer time and memory, not coverage.
constexpr int64_t kMostFuzzedPixels = 1 << 20;

std::string Path;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "demux_fuzzer: invariant broken: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvane-demux-fuzz-XXXXXX";
  const int file = mkstemp(pattern.data());
  if (file < 0) Fail("cannot make a work file");
  close(file);
  Path = pattern;
  std::atexit([] { unlink(Path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(Path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
    Fail("cannot write the work file");
  VideoReader reader;
  const Result opened = reader.Open(Path, 1);
  if (!opened.ok()) {
    if (opened.reason().empty()) Fail("a refusal without a reason");
    return 0;
  }
  const int64_t pixels = int64_t{reader.Width()} * reader.Height();
  if (reader.Width() <= 0 || reader.Height() <= 0 || pixels > kSourceCapacityPixels)
    Fail("an opened video with frames of " + std::to_string(reader.Width()) + " x " + std::to_string(reader.Height()));
  if (pixels > kMostFuzzedPixels) return 0;
  std::vector<uint8_t> frame(4 * static_cast<size_t>(pixels));
  const PixelBuffer buffer{frame.data(), reader.Width(), reader.Height()};
  for (int i = 0; i < kMostFrames; ++i) {
    DecodedFrame time;
    bool end = false;
    const Result read = reader.ReadFrame(buffer, time, end);
    if (!read.ok()) {
      if (read.reason().empty()) Fail("a read failure without a reason");
      DecodedFrame again;
      if (reader.ReadFrame(buffer, again, end).ok()) Fail("a read after a failure succeeded");
      break;
    }
    if (end) break;
  }
  return 0;
}
