#include "program_state.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/app_state.h"
#include "transform/projection.h"
#include "transform/stores.h"
#include "window_stand_ins.h"

void ResetProgramState() {
  PanoramaStore.reset();
  DisplayStore.reset();
  PanoramaPixels = nullptr;
  DisplayPixels = nullptr;
  SourceWidth = SourceHeight = PanoramaWidth = PanoramaHeight = 0;
  LensChoice = Lens{};
  TwoLensesChoice = 0;
  BackCircleChoice.reset();
  BackOffsetChoice = BackLensOffset{};
  BackFovChoice.reset();
  FitLensesChoice = 0;
  CalibrationChoice.reset();
  CalibrationPathChoice.clear();
  BackRadiusScaleChoice = 1.0;
  PanoramaHeightChoice = 0;
  ShowCircle = 1;
  PanoramaShown = 0;
  LoadedCamera = CameraMetadata{};
  DisplayWidth = DisplayHeight = DisplayRowBytes = 0;
  DisplayInfo = BitmapInfoHeader{};
  BusyFlag = CommandGuard = ImageReady = SaveAsRectangle = SharpenLevel = 0;
  ProjectionMode = Centred;
  HeadlessTitle.clear();
  HeadlessRedraws = 0;
  HeadlessFailure.clear();
  ASSERT_TRUE(ReserveSourceStore());
}

void InstallPicture(const std::vector<uint8_t>& pixels, int32_t width, int32_t height) {
  ResetProgramState();
  std::memcpy(SourcePixels, pixels.data(), pixels.size());
  SourceWidth = DisplayWidth = PanoramaWidth = width;
  SourceHeight = DisplayHeight = PanoramaHeight = height;
  DisplayRowBytes = 4 * width;
  SetupProjection(height);
  PanoramaStore = AllocatePixels(int64_t{width} * (height + kPanoramaSpareRows));
  DisplayStore = AllocatePixels(int64_t{width} * (height + kDisplaySpareRows));
  PanoramaPixels = PanoramaStore.get();
  DisplayPixels = DisplayStore.get();
  std::memcpy(DisplayPixels, pixels.data(), pixels.size());
  SharpenLevel = 127;
  ImageReady = 1;
}

std::vector<uint8_t> DisplayCopy() {
  return std::vector<uint8_t>(DisplayPixels, DisplayPixels + 4 * static_cast<size_t>(DisplayWidth) * DisplayHeight);
}
