#include "transform/transform_command.h"

#include <cstring>

#include "app/app_state.h"
#include "imageio/camera_metadata.h"
#include "transform/circle_finder.h"
#include "transform/lens.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

namespace {

// Makes the panorama and display stores anew, zero-filled, when the
// panorama is to have another size than the one they hold (a sphere does not
// fit a store made for a 4:3 picture); the display keeps its spare rows.
bool FitStores(const PanoramaSize& size) {
  if (size.width == PanoramaWidth && size.height == PanoramaHeight) return true;
  PixelStore panorama = AllocatePixels(int64_t{size.width} * (size.height + kPanoramaSpareRows));
  PixelStore display = AllocatePixels(int64_t{size.width} * (size.height + kDisplaySpareRows));
  if (!panorama || !display) return false;
  PanoramaStore = std::move(panorama);
  PanoramaPixels = PanoramaStore.get();
  PanoramaWidth = size.width;
  PanoramaHeight = size.height;
  DisplayStore = std::move(display);
  DisplayPixels = DisplayStore.get();
  DisplayWidth = size.width;
  DisplayHeight = size.height;
  DisplayRowBytes = 4 * DisplayWidth;
  DisplayInfo = BottomUp32BitHeader(DisplayWidth, DisplayHeight);
  return true;
}

}  // namespace

SaveShape ChosenSaveShape() {
  return SaveAsRectangle == 2 ? SaveShape::Sphere : SaveAsRectangle == 1 ? SaveShape::Rectangle : SaveShape::Square;
}

Lens TransformLens() {
  // A camera held on its side turned the lens: the panorama comes out upright.
  Lens lens = LensChoice;
  lens.rollDegrees += RollOfOrientation(LoadedCamera.orientation);
  return lens;
}

void RunTransform() {
  BusyFlag = 1;
  const Lens lens = TransformLens();
  const PanoramaSize size = PanoramaSizeFor(lens, ChosenSaveShape(), SourceWidth, SourceHeight, PanoramaHeightChoice);
  if (SourceWidth > 0 && !FitStores(size)) {
    ReportCommandFailure("transform", "not enough memory for a panorama of this size");
    return;
  }
  CurrentTransform = TransformRecord{
      .destWidth = PanoramaWidth,
      .destHeight = PanoramaHeight,
      .destStride = 4 * PanoramaWidth,
      .destBase = PanoramaPixels,
      .srcWidth = SourceWidth,
      .srcHeight = SourceHeight,
      .srcStride = 4 * SourceWidth,
      .srcBase = SourcePixels,
      .scale = 1.0f,
  };
  // Each band is copied to the display and, for the program's own lens, its
  // columns outside the square cleared as soon as it is done, while its rows
  // are still in the cache. The panorama starts black: another lens may have
  // left pixels where this one sees nothing.
  const bool show = PanoramaPixels != nullptr && DisplayPixels != nullptr;
  const PixelBuffer panorama = PanoramaBuffer();
  const PixelBuffer display = DisplayBuffer();
  if (show) std::memset(PanoramaPixels, 0, 4 * static_cast<size_t>(PanoramaWidth) * PanoramaHeight);
  ProjectionMode = Fisheye;
  SetTransformPriority(true);
  TransformPicture(SourceBuffer(), panorama, lens, 0, [&](int32_t firstRow, int32_t endRow) {
    if (!show) return;
    std::memcpy(display.Row(firstRow), panorama.Row(firstRow),
                static_cast<size_t>(endRow - firstRow) * static_cast<size_t>(panorama.RowBytes()));
    if (size.programLens) ClearSideMarginRows(display, firstRow, endRow);
  });
  SetTransformPriority(false);
  ProjectionMode = Centred;

  RedrawMainWindow();
  ImageReady = 1;
  PanoramaShown = 1;
}

Result FindLensCircle() {
  if (SourceWidth <= 0 || SourceHeight <= 0) return Result::Failure("no fisheye picture is loaded; load one first");
  ImageCircle circle;
  Result found = FindImageCircle(SourceBuffer(), circle);
  if (found.ok()) LensChoice.circle = RoundedCircle(circle);
  return found;
}

void SharpenDisplay() { SharpenPicture(DisplayBuffer(), SharpenWeightsFor(SharpenLevel), 0); }
