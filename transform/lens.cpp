#include "transform/lens.h"

#include <algorithm>
#include <cmath>

namespace {

struct ModelInfo {
  const char* name;
  double defaultFov;
  double widestFov;
};

// The widest fields: an equidistant or equisolid circle can hold the whole
// sphere; stereographic grows without bound towards 360 degrees, so 300 is
// where its rim is still of use; orthographic ends at the lens plane.
constexpr ModelInfo kModels[] = {
    {"equidistant", 198.0, 360.0},
    {"equisolid", 180.0, 360.0},
    {"stereographic", 180.0, 300.0},
    {"orthographic", 180.0, 180.0},
};

const ModelInfo& InfoOf(LensModel model) { return kModels[static_cast<int32_t>(model)]; }

}  // namespace

const char* LensModelName(LensModel model) { return InfoOf(model).name; }

std::optional<LensModel> LensModelNamed(const std::string& name) {
  for (int32_t i = 0; i < 4; ++i) {
    if (name == kModels[i].name) return static_cast<LensModel>(i);
  }
  return std::nullopt;
}

double DefaultFovDegrees(LensModel model) { return InfoOf(model).defaultFov; }

double WidestFovDegrees(LensModel model) { return InfoOf(model).widestFov; }

ImageCircle DefaultCircle(int32_t width, int32_t height) {
  return {(width - 1) / 2.0, (height - 1) / 2.0, height / 2.0};
}

ImageCircle CircleOf(const Lens& lens, int32_t width, int32_t height) {
  return lens.circle ? *lens.circle : DefaultCircle(width, height);
}

bool CircleMeetsPicture(const ImageCircle& circle, int32_t width, int32_t height) {
  // The pixel centre nearest to the circle's centre.
  const double x = std::clamp(std::nearbyint(circle.x), 0.0, width - 1.0);
  const double y = std::clamp(std::nearbyint(circle.y), 0.0, height - 1.0);
  return std::hypot(x - circle.x, y - circle.y) < circle.radius;
}

ImageCircle RoundedCircle(const ImageCircle& circle) {
  auto hundredths = [](double value) { return std::nearbyint(value * 100.0) / 100.0; };
  return {hundredths(circle.x), hundredths(circle.y), hundredths(circle.radius)};
}

bool IsProgramLens(const Lens& lens, int32_t width, int32_t height) {
  const ImageCircle circle = CircleOf(lens, width, height);
  const ImageCircle centred = DefaultCircle(width, height);
  return !lens.calibrated && lens.model == LensModel::Equidistant && lens.fovDegrees == 198.0 && circle.x == centred.x &&
         circle.y == centred.y && circle.radius == centred.radius && lens.yawDegrees == 0.0 &&
         lens.pitchDegrees == 0.0 && lens.rollDegrees == 0.0;
}

int64_t SavedPixels(SaveShape shape, int64_t height) { return (shape == SaveShape::Square ? 1 : 2) * height * height; }

PanoramaSize PanoramaSizeFor(const Lens& lens, SaveShape shape, int32_t pictureWidth, int32_t pictureHeight,
                             int32_t height) {
  PanoramaSize size;
  const int64_t asked = height > 0 ? height : pictureHeight;
  int64_t side = asked;
  while (side > 1 && SavedPixels(shape, side) > kMostPanoramaPixels) --side;
  size.reduced = side != asked;
  size.height = static_cast<int32_t>(side);
  size.programLens =
      IsProgramLens(lens, pictureWidth, pictureHeight) && side == pictureHeight && shape != SaveShape::Sphere;
  size.width = size.programLens ? pictureWidth : shape == SaveShape::Sphere ? 2 * size.height : size.height;
  return size;
}
