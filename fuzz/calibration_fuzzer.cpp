// Fuzz target: any bytes as a calibration file (ParseCalibration), for one
// lens and for two. What must hold:
//  - a refusal names the file first and leaves the caller's calibration as it
//    was;
//  - a file that is read gives exactly the lenses wanted, every number
//    finite: a project's lenses have a size, a fisheye projection code with
//    its model, a field of view in (0, 360], a crop whose edges are in order
//    and a pose; a YAML lens has both sizes or neither, fx and fy above 0,
//    and serves both halves alike;
//  - two lenses read means one lens reads, the same as the first;
//  - Windows line ends change neither the outcome nor the message.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "transform/calibration.h"

namespace {

const std::string kName = "fuzz.cal";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "calibration_fuzzer: invariant broken: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

bool AllFinite(std::initializer_list<double> numbers) {
  for (double number : numbers)
    if (!std::isfinite(number)) return false;
  return true;
}

bool SameCrop(const std::optional<CropRectangle>& one, const std::optional<CropRectangle>& other) {
  if (one.has_value() != other.has_value()) return false;
  return !one || (one->left == other->left && one->right == other->right && one->top == other->top &&
                  one->bottom == other->bottom);
}

bool SamePose(const std::optional<LensPose>& one, const std::optional<LensPose>& other) {
  if (one.has_value() != other.has_value()) return false;
  return !one || (one->yawDegrees == other->yawDegrees && one->pitchDegrees == other->pitchDegrees &&
                  one->rollDegrees == other->rollDegrees);
}

bool SameLens(const LensCalibration& one, const LensCalibration& other) {
  return one.kind == other.kind && one.width == other.width && one.height == other.height &&
         one.projectionCode == other.projectionCode && one.model == other.model &&
         one.fovDegrees == other.fovDegrees && one.a == other.a && one.b == other.b && one.c == other.c &&
         one.shiftX == other.shiftX && one.shiftY == other.shiftY && one.shearX == other.shearX &&
         one.shearY == other.shearY && SameCrop(one.crop, other.crop) && SamePose(one.pose, other.pose) &&
         one.fx == other.fx && one.fy == other.fy && one.cx == other.cx && one.cy == other.cy &&
         one.skew == other.skew && std::memcmp(one.k, other.k, sizeof one.k) == 0;
}

bool SameFile(const CalibrationFile& one, const CalibrationFile& other) {
  if (one.fromProject != other.fromProject || one.lenses.size() != other.lenses.size()) return false;
  for (size_t i = 0; i < one.lenses.size(); ++i)
    if (!SameLens(one.lenses[i], other.lenses[i])) return false;
  return true;
}

// What the caller held before: a refusal must leave it.
CalibrationFile Sentinel() {
  CalibrationFile file;
  file.fromProject = true;
  file.lenses.resize(3);
  file.lenses[2].width = 12345;
  return file;
}

void CheckHuginLens(const LensCalibration& lens) {
  Check(lens.width >= 1 && lens.height >= 1, "a project's lens without a size");
  const int32_t code = lens.projectionCode;
  const LensModel expected = code == 21   ? LensModel::Equisolid
                             : code == 10 ? LensModel::Stereographic
                             : code == 8  ? LensModel::Orthographic
                                          : LensModel::Equidistant;
  Check(code == 2 || code == 3 || code == 8 || code == 10 || code == 21, "a projection code that is no fisheye's");
  Check(lens.model == expected, "a projection code read as another model");
  Check(lens.fovDegrees > 0 && lens.fovDegrees <= 360, "a field of view outside (0, 360]");
  Check(AllFinite({lens.a, lens.b, lens.c, lens.shiftX, lens.shiftY, lens.shearX, lens.shearY}),
        "a project's number that is not finite");
  Check(lens.pose.has_value(), "a project's lens without a pose");
  Check(AllFinite({lens.pose->yawDegrees, lens.pose->pitchDegrees, lens.pose->rollDegrees}), "a pose not finite");
  if (lens.crop) {
    Check(AllFinite({lens.crop->left, lens.crop->right, lens.crop->top, lens.crop->bottom}), "a crop not finite");
    Check(lens.crop->left < lens.crop->right && lens.crop->top < lens.crop->bottom, "a crop's edges out of order");
  }
}

void CheckYamlLens(const LensCalibration& lens) {
  Check((lens.width == 0 && lens.height == 0) || (lens.width > 0 && lens.height > 0),
        "a YAML lens with one size and not the other");
  Check(lens.fx > 0 && lens.fy > 0, "fx or fy not above 0");
  Check(AllFinite({lens.fx, lens.fy, lens.cx, lens.cy, lens.skew, lens.k[0], lens.k[1], lens.k[2], lens.k[3]}),
        "a YAML number that is not finite");
}

// Reads `text` for `lensesWanted` lenses and checks what any outcome must be.
Result ReadChecked(std::string_view text, int lensesWanted, CalibrationFile& file) {
  file = Sentinel();
  Result read = ParseCalibration(kName, text, lensesWanted, file);
  if (!read.ok()) {
    Check(read.reason().rfind(kName + ": ", 0) == 0 && read.reason().size() > kName.size() + 2,
          "a refusal that does not name the file and a reason");
    Check(SameFile(file, Sentinel()), "a refused file changed the calibration");
    return read;
  }
  Check(file.lenses.size() == static_cast<size_t>(lensesWanted), "not the number of lenses wanted");
  for (const LensCalibration& lens : file.lenses) {
    Check(lens.kind == (file.fromProject ? LensCalibration::Kind::Hugin : LensCalibration::Kind::KannalaBrandt),
          "a lens of the other kind than its file");
    if (file.fromProject) {
      CheckHuginLens(lens);
    } else {
      CheckYamlLens(lens);
    }
  }
  if (!file.fromProject && lensesWanted == 2) Check(SameLens(file.lenses[0], file.lenses[1]), "a YAML file gave two lenses");
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CalibrationFile one;
  CalibrationFile two;
  const Result readOne = ReadChecked(text, 1, one);
  const Result readTwo = ReadChecked(text, 2, two);
  if (readTwo.ok()) {
    Check(readOne.ok(), "two lenses read, one not");
    Check(SameLens(one.lenses[0], two.lenses[0]) && one.fromProject == two.fromProject,
          "the first of two lenses differs from the one lens");
  }
  if (readOne.ok() && !one.fromProject) Check(readTwo.ok(), "a YAML lens that does not serve two halves");

  if (text.find('\r') == std::string_view::npos) {
    std::string windows;
    windows.reserve(size + size / 8);
    for (char letter : text) {
      if (letter == '\n') windows += '\r';
      windows += letter;
    }
    CalibrationFile again;
    const Result readAgain = ReadChecked(windows, 1, again);
    // A file near the size limit may cross it with the added bytes.
    if (readAgain.reason().find("larger than") == std::string::npos) {
      Check(readAgain.ok() == readOne.ok() && readAgain.reason() == readOne.reason(),
            "Windows line ends change the outcome");
      if (readOne.ok()) Check(SameFile(again, one), "Windows line ends change the lens");
    }
  }
  return 0;
}
