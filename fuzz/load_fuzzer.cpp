// Fuzz target: any bytes as the picture file of an Open. The file goes through
// LoadFisheyeImage as a user's would; then, for small pictures, Transform,
// Save and Sharpen and the BMP encoder. What must hold for every input:
//  - a load that fails leaves the loaded picture and every bit of state that
//    describes it exactly as it was;
//  - a load that succeeds gives sizes within the source store, stores that
//    match them, and the pixels a second decode into a buffer of exactly the
//    picture's size gives (the decoder writes nothing past W x H pixels, and a
//    store one pixel smaller is refused before anything is written);
//  - the saved square of a transformed picture reads back as the same pixels.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "tests/window_stand_ins.h"
#include "imageio/bmp_writer.h"
#include "imageio/decode_picture.h"
#include "imageio/load_picture.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "transform/transform_command.h"
#include "imageio/load_fisheye.h"

namespace {

// Pictures up to this many pixels are checked pixel by pixel and transformed;
// larger ones only by their sizes and a sample of their rows, so that no input
// takes more than a fraction of a second.
constexpr int64_t kCheckedPixels = 160 * 160;
// How much of a large picture the before/after comparison reads.
constexpr size_t kSampleBytes = 64 * 1024;

std::string Folder;
std::string PicturePath;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "load_fuzzer: invariant broken: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

uint64_t Hash(const uint8_t* bytes, size_t count, uint64_t hash = 1469598103934665603ull) {
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

// The first and last kSampleBytes of a picture, or all of it when it is small.
uint64_t PictureHash(const uint8_t* pixels, int64_t pictureBytes) {
  if (pixels == nullptr || pictureBytes <= 0) return 0;
  const size_t bytes = static_cast<size_t>(pictureBytes);
  if (bytes <= 2 * kSampleBytes) return Hash(pixels, bytes);
  return Hash(pixels + bytes - kSampleBytes, kSampleBytes, Hash(pixels, kSampleBytes));
}

// Everything a load may change.
struct State {
  const uint8_t* sourcePixels;
  const uint8_t* panoramaPixels;
  const uint8_t* displayPixels;
  int32_t sourceWidth, sourceHeight, displayWidth, displayHeight, displayRowBytes;
  int32_t sharpenLevel, imageReady, redraws;
  std::string title;
  uint64_t sourceHash, displayHash, displayInfoHash;

  bool operator==(const State&) const = default;
};

State TakeState() {
  const int64_t sourceBytes = int64_t{4} * SourceWidth * SourceHeight;
  const int64_t displayBytes = int64_t{DisplayRowBytes} * (DisplayHeight + kDisplaySpareRows);
  return {SourcePixels,
          PanoramaPixels,
          DisplayPixels,
          SourceWidth,
          SourceHeight,
          DisplayWidth,
          DisplayHeight,
          DisplayRowBytes,
          SharpenLevel,
          ImageReady,
          HeadlessRedraws,
          HeadlessTitle,
          PictureHash(SourcePixels, sourceBytes),
          PictureHash(DisplayPixels, displayBytes),
          Hash(reinterpret_cast<const uint8_t*>(&DisplayInfo), sizeof DisplayInfo)};
}

bool AllZero(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

void WriteInputFile(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(PicturePath.c_str(), "wb");
  if (file == nullptr) Fail("cannot create the picture file in the work folder");
  bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) Fail("cannot write the picture file in the work folder");
}

// A second decode of the same bytes into a heap buffer of exactly W x H pixels
// followed by a guard the decoder must not touch (the JPEG library is not
// instrumented, so AddressSanitizer alone would not see it write past the end).
void CheckExactDecode(std::span<const uint8_t> bytes) {
  const int64_t pixels = int64_t{SourceWidth} * SourceHeight;
  const size_t pictureBytes = static_cast<size_t>(4 * pixels);
  constexpr size_t kGuardBytes = 4096;
  std::vector<uint8_t> buffer(pictureBytes + kGuardBytes, 0xA5);
  int32_t width = -7;
  int32_t height = -7;
  Result again = DecodePicture(bytes, buffer.data(), pixels, width, height);
  Check(again.ok(), "a picture that loaded does not decode a second time");
  Check(width == SourceWidth && height == SourceHeight, "a second decode gives another size");
  Check(std::memcmp(buffer.data(), SourcePixels, pictureBytes) == 0, "a second decode gives other pixels");
  for (size_t i = pictureBytes; i < buffer.size(); ++i) Check(buffer[i] == 0xA5, "the decoder wrote past W x H pixels");

  // One pixel less room: refused from the header, nothing written.
  std::vector<uint8_t> small(pictureBytes - 4 + kGuardBytes, 0x5A);
  width = -7;
  height = -7;
  Result refused = DecodePicture(bytes, small.data(), pixels - 1, width, height);
  Check(!refused.ok(), "a picture larger than the room given was decoded");
  Check(width == -7 && height == -7, "a refused decode changed the sizes");
  for (uint8_t byte : small) Check(byte == 0x5A, "a refused decode wrote pixels");
}

void CheckLoadedPicture(std::span<const uint8_t> bytes) {
  const int32_t w = SourceWidth;
  const int32_t h = SourceHeight;
  Check(w > 0 && h > 0, "a loaded picture has no pixels");
  Check(int64_t{w} * h <= kSourceCapacityPixels, "a loaded picture is larger than the source store");
  Check(SourcePixels == SourceStore.get() && SourcePixels != nullptr, "SourcePixels is not the source store");
  Check(PanoramaPixels == PanoramaStore.get() && PanoramaPixels != nullptr, "PanoramaPixels is not the panorama store");
  Check(DisplayPixels == DisplayStore.get() && DisplayPixels != nullptr, "DisplayPixels is not the display store");
  Check(DisplayWidth == w && DisplayHeight == h && DisplayRowBytes == 4 * w, "display sizes differ from the picture's");
  Check(SharpenLevel == 127 && ImageReady == 1, "a load did not reset SharpenLevel or set ImageReady");
  Check(HeadlessTitle == "  " + PicturePath, "the title is not two blanks and the path");
  const BitmapInfoHeader expected = BottomUp32BitHeader(w, h);
  Check(std::memcmp(&DisplayInfo, &expected, sizeof expected) == 0, "DisplayInfo does not describe the picture");

  const int64_t pixels = int64_t{w} * h;
  if (pixels > kCheckedPixels) return;
  const size_t pictureBytes = static_cast<size_t>(4 * pixels);
  for (size_t i = 3; i < pictureBytes; i += 4) Check(SourcePixels[i] == 0, "an unused byte is not 0");
  Check(std::memcmp(DisplayPixels, SourcePixels, pictureBytes) == 0, "the display store is not the picture");
  Check(AllZero(DisplayPixels + pictureBytes, size_t{4} * w * kDisplaySpareRows), "the display's spare rows are not 0");
  Check(AllZero(PanoramaPixels, size_t{4} * w * (h + kPanoramaSpareRows)), "the new panorama store is not 0");
  CheckExactDecode(bytes);
}

// Transform, then the saved square read back through the decoder.
void TransformAndSave() {
  const int32_t w = SourceWidth;
  const int32_t h = SourceHeight;
  // The program's own lens keeps the picture's size; turned by the
  // picture's EXIF orientation, it makes the saved square's.
  const PanoramaSize size = PanoramaSizeFor(TransformLens(), ChosenSaveShape(), w, h, PanoramaHeightChoice);
  RunTransform();
  Check(DisplayWidth == size.width && DisplayHeight == h && ImageReady == 1, "Transform made a panorama of other sizes");
  const int32_t panoramaWidth = DisplayWidth;

  std::vector<uint8_t> file;
  const SaveShape shape = (w + h) % 2 == 0 ? SaveShape::Square : SaveShape::Rectangle;
  bool encoded = EncodeBmp(DisplayBuffer(), shape, [&file](std::span<const uint8_t> piece) {
    file.insert(file.end(), piece.begin(), piece.end());
    return true;
  });
  Check(encoded, "the BMP encoder stopped by itself");
  Check(file.size() == BmpFileBytes(h, shape), "the BMP file has the wrong length");

  const int32_t fileWidth = shape == SaveShape::Square ? h : 2 * h;
  std::vector<uint8_t> back(size_t{4} * fileWidth * h);
  int32_t width = 0;
  int32_t height = 0;
  Check(DecodePicture(file, back.data(), int64_t{fileWidth} * h, width, height).ok(), "a saved BMP does not load");
  Check(width == fileWidth && height == h, "a saved BMP loads at another size");
  const int32_t left = SquareLeft(panoramaWidth, h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < fileWidth; ++x) {
      const uint8_t* got = back.data() + (size_t{4} * y * fileWidth + 4 * x);
      const int32_t column = left + x;
      const bool inside = x < h && column >= 0 && column < panoramaWidth;
      for (int c = 0; c < 3; ++c) {
        const uint8_t want = inside ? DisplayPixels[size_t{4} * y * panoramaWidth + 4 * column + c] : 0;
        Check(got[c] == want, "a saved BMP reads back as other pixels");
      }
    }
  }

  SharpenLevel -= 32;
  SharpenDisplay();
}

void RemoveFolder() {
  std::remove(PicturePath.c_str());
  rmdir(Folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvane-load-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a work folder");
  Folder = pattern;
  PicturePath = Folder + "/picture file.jpg";
  std::atexit(RemoveFolder);
  if (!ReserveSourceStore()) Fail("cannot reserve the source store");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteInputFile(data, size);
  const State before = TakeState();
  Result load = LoadFisheyeImage(PicturePath);
  if (!load.ok()) {
    Check(!load.reason().empty(), "a failed load gives no reason");
    Check(TakeState() == before, "a failed load changed the program's state");
    return 0;
  }
  const std::span<const uint8_t> bytes(data, size);
  CheckLoadedPicture(bytes);
  if (int64_t{SourceWidth} * SourceHeight <= kCheckedPixels) TransformAndSave();
  return 0;
}
