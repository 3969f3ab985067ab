#include "imageio/load_fisheye.h"

#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "imageio/camera_metadata.h"
#include "imageio/decode_picture.h"
#include "imageio/load_picture.h"
#include "transform/parallel_rows.h"
#include "transform/projection.h"
#include "transform/stores.h"

Result LoadFisheyeImage(const std::string& name) {
  // Decoded into a fresh store, so that a picture that fails half-way leaves
  // the loaded one intact; on success it takes SourceStore's place, so no
  // picture is ever copied from one store to another.
  std::vector<uint8_t> bytes;
  PixelStore decoded;
  Result ready = ReadForDecoding(name, bytes, decoded);
  if (!ready.ok()) return ready;

  // When the file declares a believable size, the other stores are made now,
  // and their pages provided while the picture decodes.
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  PixelStore panorama;
  PixelStore display;
  if (BelievableDeclaredSize(bytes, declaredWidth, declaredHeight)) {
    panorama = AllocatePixels(declaredWidth * (declaredHeight + kPanoramaSpareRows));
    display = AllocatePixels(declaredWidth * (declaredHeight + kDisplaySpareRows));
  }
  int32_t width = 0;
  int32_t height = 0;
  PixelStore samples16;
  Result decode =
      DecodePreparingPages(bytes, decoded.get(), {panorama.get(), display.get()}, width, height, &samples16);
  if (!decode.ok()) return decode;
  CameraMetadata camera = ReadCameraMetadata(bytes);
  bytes = {};

  if (width != declaredWidth || height != declaredHeight || !panorama || !display) {
    panorama = AllocatePixels(int64_t{width} * (height + kPanoramaSpareRows));
    display = AllocatePixels(int64_t{width} * (height + kDisplaySpareRows));
  }
  if (!panorama || !display) return Result::Failure("not enough memory for a picture of this size");

  // Everything is in hand: from here on nothing fails.
  SetMainWindowTitle("  " + name);
  SourceStore = std::move(decoded);
  SourcePixels = SourceStore.get();
  SourceSamples16 = std::move(samples16);
  PanoramaSamples16.reset();
  // A picture of another size has other circles: back to the centred ones.
  // Whether it holds two lenses, and the back lens's angles, stay.
  if (width != SourceWidth || height != SourceHeight) {
    LensChoice.circle.reset();
    BackCircleChoice.reset();
  }
  SourceWidth = width;
  SourceHeight = height;
  PanoramaWidth = width;
  PanoramaHeight = height;
  SharpenLevel = 127;
  LoadedCamera = std::move(camera);
  PanoramaShown = 0;
  DisplayWidth = SourceWidth;
  DisplayRowBytes = 4 * DisplayWidth;
  DisplayHeight = SourceHeight;
  SetupProjection(SourceHeight);
  PanoramaStore = std::move(panorama);
  PanoramaPixels = PanoramaStore.get();
  DisplayStore = std::move(display);
  DisplayPixels = DisplayStore.get();
  DisplayInfo = BottomUp32BitHeader(DisplayWidth, DisplayHeight);
  const size_t rowBytes = 4 * static_cast<size_t>(SourceWidth);
  ForEachRowBand(SourceHeight, 0, [rowBytes](int32_t firstRow, int32_t endRow) {
    std::memcpy(DisplayPixels + firstRow * rowBytes, SourcePixels + firstRow * rowBytes, (endRow - firstRow) * rowBytes);
  });
  RedrawMainWindow();
  ImageReady = 1;
  return {};
}
