// Fuzz target: any bytes through DecodePicture alone, thousands of times
// faster than a whole load (load_fuzzer.cpp), so that the readers of JPEG
// frame headers and BMP files see many more inputs. The room given is small,
// as a user's source store is small against what a file may declare:
//  - a refused picture leaves the sizes as they were and, when refused for
//    its size, the room untouched;
//  - a decoded picture fits the room, writes nothing past it (a guard behind
//    it, since the JPEG library is not instrumented), has unused bytes of 0,
//    and decodes the same way again into room of exactly its size;
//  - a file's kept 16-bit samples reduce to exactly the 8-bit picture, and a
//    refusal keeps none.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "imageio/decode_picture.h"

namespace {

// 1 megapixel: room for every seed and for what mutations make of them, small
// enough to keep a run in milliseconds.
constexpr int64_t kRoomPixels = 1 << 20;
constexpr size_t kGuardBytes = 4096;
constexpr uint8_t kUnwritten = 0xA5;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "decode_fuzzer: invariant broken: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

std::vector<uint8_t>& Room() {
  static std::vector<uint8_t> room(4 * kRoomPixels + kGuardBytes);
  return room;
}

bool Untouched(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (bytes[i] != kUnwritten) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  std::vector<uint8_t>& room = Room();
  // Only the guard and the first pixels are reset: a refused decode must not
  // write anything, and a decoded one is checked against its own size.
  constexpr size_t kWatchedBytes = 64 * 1024;
  std::memset(room.data(), kUnwritten, kWatchedBytes);
  std::memset(room.data() + 4 * kRoomPixels, kUnwritten, kGuardBytes);

  int32_t width = -7;
  int32_t height = -7;
  Result decoded = DecodePicture(bytes, room.data(), kRoomPixels, width, height);
  Check(Untouched(room.data() + 4 * kRoomPixels, kGuardBytes), "the decoder wrote past the room it was given");
  if (!decoded.ok()) {
    Check(!decoded.reason().empty(), "a refusal without a reason");
    Check(width == -7 && height == -7, "a refused decode changed the sizes");
    if (decoded.reason().find("too large") != std::string::npos)
      Check(Untouched(room.data(), kWatchedBytes), "a picture refused for its size was written");
    return 0;
  }
  Check(width > 0 && height > 0 && int64_t{width} * height <= kRoomPixels, "a decoded picture does not fit the room");
  const size_t pictureBytes = size_t{4} * width * height;
  for (size_t i = 3; i < pictureBytes; i += 4) Check(room[i] == 0, "an unused byte is not 0");

  // Exactly the picture's size: the same pixels. One pixel less: refused
  // before anything is written.
  std::vector<uint8_t> exact(pictureBytes + kGuardBytes, kUnwritten);
  int32_t againWidth = 0;
  int32_t againHeight = 0;
  PixelStore deep;
  Check(DecodePicture(bytes, exact.data(), int64_t{width} * height, againWidth, againHeight, &deep).ok(),
        "a decoded picture does not decode into room of its own size");
  Check(againWidth == width && againHeight == height, "a second decode gives another size");
  Check(std::memcmp(exact.data(), room.data(), pictureBytes) == 0, "a second decode gives other pixels");
  Check(Untouched(exact.data() + pictureBytes, kGuardBytes), "the decoder wrote past the picture");
  if (deep) {
    const auto* samples = reinterpret_cast<const uint16_t*>(deep.get());
    for (size_t i = 0; i < pictureBytes; ++i) {
      Check(i % 4 == 3 ? samples[i] == 0 : ReduceSample(samples[i]) == exact[i],
            "the 8-bit picture is not the reduction of the 16-bit samples");
    }
  }

  std::vector<uint8_t> tight(pictureBytes - 4 + kGuardBytes, kUnwritten);
  againWidth = -7;
  againHeight = -7;
  PixelStore refusedDeep;
  Check(!DecodePicture(bytes, tight.data(), int64_t{width} * height - 1, againWidth, againHeight, &refusedDeep).ok(),
        "a picture larger than the room given was decoded");
  Check(!refusedDeep, "a refused decode kept 16-bit samples");
  Check(againWidth == -7 && againHeight == -7, "a refused decode changed the sizes");
  Check(Untouched(tight.data(), tight.size()), "a picture refused for its size was written");
  return 0;
}
