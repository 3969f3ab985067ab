#include "transform/transform_command.h"

#include <cstring>
#include <string>

#include "app/app_state.h"
#include "imageio/camera_metadata.h"
#include "transform/calibrated_lens.h"
#include "transform/circle_finder.h"
#include "transform/dual_lens.h"
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

// Why a picture that is not about 2:1 cannot be taken as two lenses.
Result NotSideBySide() {
  return Result::Failure("the picture is " + std::to_string(SourceWidth) + " x " + std::to_string(SourceHeight) +
                         " pixels; two lenses side by side make a picture twice as wide as it is high");
}

// Two lenses make sense only of a loaded picture about 2:1.
Result CheckSideBySide() {
  if (SourceWidth <= 0 || SourceHeight <= 0) return Result::Failure("no fisheye picture is loaded; load one first");
  if (!IsSideBySide(SourceWidth, SourceHeight)) return NotSideBySide();
  return {};
}

}  // namespace

SaveShape ChosenSaveShape() {
  return SaveAsRectangle == 2 ? SaveShape::Sphere : SaveAsRectangle == 1 ? SaveShape::Rectangle : SaveShape::Square;
}

Lens TransformLens() {
  // A camera held on its side turned the lens: the panorama comes out upright.
  // A project's roll holds that turn already.
  Lens lens = LensChoice;
  if (!(CalibrationChoice && CalibrationChoice->fromProject))
    lens.rollDegrees += RollOfOrientation(LoadedCamera.orientation);
  return lens;
}

DualLens TransformDualLens() {
  DualLens lens;
  lens.front = TransformLens();
  lens.backCircle = BackCircleChoice;
  lens.back = BackOffsetChoice;
  lens.backFovDegrees = BackFovChoice;
  lens.backRadiusScale = BackRadiusScaleChoice;
  return lens;
}

Result PlaceCalibrationOnPicture(const CalibrationFile& file, bool twoLenses, DualLens& lens) {
  if (SourceWidth <= 0 || SourceHeight <= 0 || (twoLenses && !IsSideBySide(SourceWidth, SourceHeight))) return {};
  // A field of view of 360 degrees limits nothing: the converter's default
  // with a calibration.
  const auto cap = [](double fov) { return fov < 360.0 ? std::optional<double>(fov) : std::nullopt; };
  const FieldLimits front{cap(lens.front.fovDegrees), lens.front.circle};
  const FieldLimits back{cap(lens.backFovDegrees.value_or(lens.front.fovDegrees)),
                         lens.backCircle ? lens.backCircle : lens.front.circle};
  return PlaceCalibrationFile(file, twoLenses, SourceWidth, SourceHeight, front, back, lens.front.calibrated,
                              lens.backCalibrated);
}

std::optional<BackLensOffset> ProjectBackOffset(const CalibrationFile& file) {
  if (file.lenses.size() != 2 || !file.lenses[0].pose || !file.lenses[1].pose) return std::nullopt;
  return BackOffsetBetween(*file.lenses[0].pose, *file.lenses[1].pose);
}

void RunTransform() {
  BusyFlag = 1;
  DualLens lenses = TransformDualLens();
  const Lens& lens = lenses.front;
  // Two lenses make the whole sphere, whichever shape is saved.
  const bool twoLenses = TwoLensesChoice != 0 && SourceWidth > 0;
  if (twoLenses && !IsSideBySide(SourceWidth, SourceHeight)) {
    ReportCommandFailure("transform", NotSideBySide().reason());
    return;
  }
  // Stored turned, the halves are not side by side, front on the left.
  if (twoLenses && RollOfOrientation(LoadedCamera.orientation) != 0.0) {
    ReportCommandFailure("transform", "the picture is stored turned (EXIF orientation " +
                                          std::to_string(LoadedCamera.orientation) +
                                          "); two lenses side by side need it saved upright first");
    return;
  }
  if (CalibrationChoice) {
    const Result placed = PlaceCalibrationOnPicture(*CalibrationChoice, twoLenses, lenses);
    if (!placed.ok()) {
      ReportCommandFailure("transform", placed.reason());
      return;
    }
  }
  const PanoramaSize size =
      twoLenses ? DualSphereSize(SourceWidth, SourceHeight, PanoramaHeightChoice)
                : PanoramaSizeFor(lens, ChosenSaveShape(), SourceWidth, SourceHeight, PanoramaHeightChoice);
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
  const BandCallback showBand = [&](int32_t firstRow, int32_t endRow) {
    if (!show) return;
    std::memcpy(display.Row(firstRow), panorama.Row(firstRow),
                static_cast<size_t>(endRow - firstRow) * static_cast<size_t>(panorama.RowBytes()));
    if (size.programLens) ClearSideMarginRows(display, firstRow, endRow);
  };
  PanoramaSamples16.reset();
  if (SourceSamples16 && show) {
    // A 16-bit picture: its panorama made in 16 bits (the back lens's gains
    // matched on the 8-bit picture) and kept for saving; each band rounded
    // into the panorama store and shown as it is done.
    PanoramaSamples16 = AllocatePixels(2 * int64_t{PanoramaWidth} * PanoramaHeight);
    if (!PanoramaSamples16) {
      SetTransformPriority(false);
      ProjectionMode = Centred;
      ReportCommandFailure("transform", "not enough memory for a panorama of this size");
      return;
    }
    const PixelBuffer16 deep = PanoramaBuffer16();
    const BandCallback roundBand = [&](int32_t firstRow, int32_t endRow) {
      for (int32_t y = firstRow; y < endRow; ++y) {
        const uint16_t* from = deep.Row(y);
        uint8_t* to = panorama.Row(y);
        for (int32_t i = 0; i < deep.RowSamples(); ++i) to[i] = ReduceSample(from[i]);
      }
      showBand(firstRow, endRow);
    };
    if (twoLenses) {
      StitchDualPicture(SourceBuffer16(), deep, lenses, MatchExposure(SourceBuffer(), lenses), 0, roundBand);
    } else {
      TransformPicture(SourceBuffer16(), deep, lens, 0, roundBand);
      if (size.programLens) ClearSideMargins(deep);
    }
  } else if (twoLenses) {
    StitchDualPicture(SourceBuffer(), panorama, lenses, 0, showBand);
  } else {
    TransformPicture(SourceBuffer(), panorama, lens, 0, showBand);
  }
  SetTransformPriority(false);
  ProjectionMode = Centred;

  RedrawMainWindow();
  ImageReady = 1;
  PanoramaShown = 1;
}

Result FindLensCircle() {
  if (TwoLensesChoice != 0) {
    Result usable = CheckSideBySide();
    if (!usable.ok()) return usable;
    ImageCircle front;
    ImageCircle back;
    Result found = FindDualCircles(SourceBuffer(), front, back);
    if (found.ok()) {
      LensChoice.circle = RoundedCircle(front);
      BackCircleChoice = RoundedCircle(back);
    }
    return found;
  }
  if (SourceWidth <= 0 || SourceHeight <= 0) return Result::Failure("no fisheye picture is loaded; load one first");
  ImageCircle circle;
  Result found = FindImageCircle(SourceBuffer(), circle);
  if (found.ok()) LensChoice.circle = RoundedCircle(circle);
  return found;
}

Result AlignLenses() {
  Result usable = CheckSideBySide();
  if (!usable.ok()) return usable;
  DualLens lens = TransformDualLens();
  std::optional<BackLensOffset> fromFile;
  if (CalibrationChoice) {
    Result placed = PlaceCalibrationOnPicture(*CalibrationChoice, true, lens);
    if (!placed.ok()) return placed;
    fromFile = ProjectBackOffset(*CalibrationChoice);
  }
  const bool fit = FitLensesChoice != 0;
  DualLens aligned;
  Result found = ::AlignLenses(SourceBuffer(), lens, fit, fromFile.has_value(), 0, aligned);
  if (!found.ok()) return found;
  BackOffsetChoice = aligned.back;
  if (fit && lens.front.calibrated) {
    LensChoice.radiusScale = aligned.front.radiusScale;
    BackRadiusScaleChoice = aligned.backRadiusScale;
  } else if (fit) {
    LensChoice.fovDegrees = aligned.front.fovDegrees;
    BackFovChoice = aligned.backFovDegrees;
  }
  return {};
}

void SharpenDisplay() {
  const PixelBuffer16 deep = PanoramaBuffer16();
  if (PanoramaShown == 0 || deep.base == nullptr || deep.width != DisplayWidth || deep.height != DisplayHeight) {
    SharpenPicture(DisplayBuffer(), SharpenWeightsFor(SharpenLevel), 0);
    return;
  }
  // A 16-bit panorama (which is the display, its margins included) is
  // sharpened in 16 bits, and the display shows its rounding.
  SharpenPicture(deep, SharpenWeightsFor(SharpenLevel), 0);
  const size_t samples = 4 * static_cast<size_t>(DisplayWidth) * DisplayHeight;
  for (size_t i = 0; i < samples; ++i) DisplayPixels[i] = ReduceSample(deep.base[i]);
}
