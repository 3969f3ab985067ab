#include "transform/transform_command.h"

#include <cstring>

#include "app/app_state.h"
#include "imageio/camera_metadata.h"
#include "transform/lens.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

void RunTransform() {
  BusyFlag = 1;
  CurrentTransform = TransformRecord{
      .destWidth = SourceWidth,
      .destHeight = SourceHeight,
      .destStride = 4 * SourceWidth,
      .destBase = PanoramaPixels,
      .srcWidth = SourceWidth,
      .srcHeight = SourceHeight,
      .srcStride = 4 * SourceWidth,
      .srcBase = SourcePixels,
      .scale = 1.0f,
  };
  // Each band is copied to the display and its margins cleared as soon as it
  // is done, while its rows are still in the cache.
  const bool show = PanoramaPixels != nullptr && DisplayPixels != nullptr;
  const PixelBuffer panorama = PanoramaBuffer();
  const PixelBuffer display = DisplayBuffer();
  // A camera held on its side turned the lens: the panorama comes out upright.
  Lens lens;
  lens.rollDegrees = RollOfOrientation(LoadedCamera.orientation);
  ProjectionMode = Fisheye;
  SetTransformPriority(true);
  TransformPicture(SourceBuffer(), panorama, lens, 0, [&](int32_t firstRow, int32_t endRow) {
    if (!show) return;
    std::memcpy(display.Row(firstRow), panorama.Row(firstRow),
                static_cast<size_t>(endRow - firstRow) * static_cast<size_t>(panorama.RowBytes()));
    ClearSideMarginRows(display, firstRow, endRow);
  });
  SetTransformPriority(false);
  ProjectionMode = Centred;

  RedrawMainWindow();
  ImageReady = 1;
  PanoramaShown = 1;
}

void SharpenDisplay() { SharpenPicture(DisplayBuffer(), SharpenWeightsFor(SharpenLevel), 0); }
