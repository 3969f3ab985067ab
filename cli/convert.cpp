#include "cli/convert.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "imageio/bmp_writer.h"
#include "imageio/camera_metadata.h"
#include "imageio/file_replace.h"
#include "imageio/load_picture.h"
#include "imageio/panorama_xmp.h"
#include "imageio/picture_encoding.h"
#include "transform/calibrated_lens.h"
#include "transform/calibration.h"
#include "transform/circle_finder.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/numbers.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

namespace {

constexpr char kProgram[] = "quorvane-convert";
constexpr char kVersion[] = "2.00";
// Every load starts the sharpen strength here and each use lowers it by 32,
// as in the window.
constexpr int32_t kSharpenLevelAfterLoad = 127;
constexpr int32_t kSharpenLevelStep = 32;

struct Options {
  std::vector<std::string> inputs;
  std::string output;
  std::optional<std::string> shape;
  int sharpen = 0;
  int threads = 0;
  bool noTransform = false;
  bool force = false;
  std::string lensName = "equidistant";
  std::optional<std::string> fov;
  std::string circleText;
  double yaw = 0.0;
  double pitch = 0.0;
  double roll = 0.0;
  std::optional<int64_t> height;
  bool findCircle = false;
  int quality = kDefaultJpegQuality;
  bool noMetadata = false;
  bool dual = false;
  double backYaw = 0.0;
  double backPitch = 0.0;
  double backRoll = 0.0;
  bool align = false;
  bool alignLenses = false;
  std::string calibrationPath;
  std::optional<std::string> lensScale;
  // Which of the options a calibration file sets were given.
  bool lensGiven = false;
  bool backAnglesGiven = false;
  bool yawGiven = false;
  bool pitchGiven = false;
  bool rollGiven = false;
};

// What every input shares: the lens as given (the circle aside, which may
// depend on the picture) and the shape.
struct Job {
  Lens lens;
  bool autoCircle = false;
  SaveShape shape = SaveShape::Square;
  // Two lenses side by side: the back lens's circle (none: the front's) and
  // offset, and whether to find the offset in each picture.
  bool dual = false;
  std::optional<ImageCircle> backCircle;
  BackLensOffset back;
  bool align = false;
  // With --align-lens each lens's own size too; the back lens's own field of
  // view (none: the front's).
  bool alignLenses = false;
  std::optional<double> backFov;
  // A calibration file's lenses (the front's, then the back's), placed on
  // each picture, and each lens's radius factor. A project holding both
  // lenses gives the back lens's offset, and the search starts from it.
  std::optional<CalibrationFile> calibration;
  std::shared_ptr<const CalibratedLens> backPlaced;  // on the picture at hand
  bool fovGiven = false;
  double frontScale = 1.0;
  double backScale = 1.0;
  bool backFromFile = false;
};

// Where the extension of the file name `path` starts (its dot), or npos.
size_t ExtensionStart(const std::string& path) {
  const size_t folderEnd = path.find_last_of("/\\");
  const size_t nameStart = folderEnd == std::string::npos ? 0 : folderEnd + 1;
  const size_t dot = path.find_last_of('.');
  return dot != std::string::npos && dot > nameStart ? dot : std::string::npos;
}

// dome.jpg -> dome-panorama.jpg, in the input's folder.
std::string DefaultOutputName(const std::string& input) {
  const size_t dot = ExtensionStart(input);
  return (dot == std::string::npos ? input : input.substr(0, dot)) + "-panorama.jpg";
}

// The name as given when its extension names a format, with ".jpg" added
// when it has none; nullopt for any other extension.
std::optional<std::string> OutputFileName(const std::string& name) {
  if (FormatFromName(name)) return name;
  if (ExtensionStart(name) == std::string::npos) return name + ".jpg";
  return std::nullopt;
}

std::string BaseName(const std::string& path) {
  size_t folderEnd = path.find_last_of("/\\");
  return folderEnd == std::string::npos ? path : path.substr(folderEnd + 1);
}

// "X,Y,R" or, for two lenses, "X,Y,R,X2,Y2,R2": numbers, the radii above 0.
// Gives the circles, none when the text is not so.
std::vector<ImageCircle> ParseCircles(const std::string& text, bool dual) {
  const std::optional<std::vector<double>> values = ParseDecimalList(text);
  if (!values || (values->size() != 3 && !(dual && values->size() == 6))) return {};
  std::vector<ImageCircle> circles;
  for (size_t i = 0; i < values->size(); i += 3) {
    if (!((*values)[i + 2] > 0)) return {};
    circles.push_back({(*values)[i], (*values)[i + 1], (*values)[i + 2]});
  }
  return circles;
}

// CLI11's own range check lets NaN through: every decimal option goes
// through the program's one parser and range rule instead.
CLI::Validator DecimalIn(const NumberRange& range, const std::string& unit) {
  return CLI::Validator(
      [range, unit](std::string& text) -> std::string {
        const std::optional<double> value = ParseDecimal(text);
        if (value && InRange(range, *value)) return {};
        return "must be a number " + RangeText(range) + unit + " (given: " + text + ")";
      },
      "");
}

CLI::Validator WholeNumberIn(const NumberRange& range) {
  return CLI::Validator(
      [range](std::string& text) -> std::string {
        const std::optional<int64_t> value = ParseWholeNumber(text);
        if (value && InRange(range, static_cast<double>(*value))) return {};
        return "must be a whole number " + RangeText(range) + " (given: " + text + ")";
      },
      "");
}

// More uses of Save and Sharpen than anyone means: each pass costs as much
// as a transform, and a thousand turn any picture into noise.
constexpr NumberRange kSharpenRange{0.0, 100.0};

// Two lenses share one field of view, which must leave them an overlap; the
// program's own 198 degrees unless given.
constexpr double kDualDefaultFovDegrees = 198.0;

// --calibration and --lens-scale into `job`: the file's lenses, and from a
// project its pose, which --yaw, --pitch and --roll replace one by one.
void ReadCalibration(const Options& options, Job& job) {
  if (options.calibrationPath.empty()) {
    if (options.lensScale) throw CLI::ValidationError("--lens-scale", "is for calibrated lenses (see --calibration)");
    return;
  }
  CalibrationFile file;
  const Result read = ReadCalibrationFile(options.calibrationPath, job.dual ? 2 : 1, file);
  if (!read.ok()) throw CLI::ValidationError("--calibration", read.reason());
  const auto alreadySet = [&](const char* option, const std::string& what) {
    throw CLI::ValidationError(option, "cannot be given with --calibration " + options.calibrationPath +
                                           ", which sets " + what);
  };
  if (options.lensGiven) alreadySet("--lens", "the lens");
  const std::optional<LensPose> pose = file.lenses[0].pose;
  if (pose) {
    if (!options.yawGiven) job.lens.yawDegrees = pose->yawDegrees;
    if (!options.pitchGiven) job.lens.pitchDegrees = pose->pitchDegrees;
    if (!options.rollGiven) job.lens.rollDegrees = pose->rollDegrees;
    const auto inRange = [](const NumberRange& range, double value, const char* what) {
      if (!InRange(range, value))
        throw CLI::ValidationError("--calibration", std::string("the project's ") + what + " must be " +
                                                        RangeText(range) + " degrees");
    };
    inRange(kYawRange, job.lens.yawDegrees, "yaw");
    inRange(kPitchRange, job.lens.pitchDegrees, "pitch");
    inRange(kRollRange, job.lens.rollDegrees, "roll");
  }
  if (job.dual && file.lenses.size() == 2 && file.lenses[1].pose && pose) {
    if (options.backAnglesGiven) alreadySet("--back-yaw", "the back lens's turn");
    job.back = BackOffsetBetween(*pose, *file.lenses[1].pose);
    job.backFromFile = true;
  }
  if (options.lensScale) {
    const std::optional<std::vector<double>> scales = ParseDecimalList(*options.lensScale);
    if (!scales || scales->size() > (job.dual ? 2u : 1u) ||
        !std::all_of(scales->begin(), scales->end(), [](double s) { return InRange(kLensScaleRange, s); })) {
      throw CLI::ValidationError("--lens-scale", "must be a number " + RangeText(kLensScaleRange) +
                                                     (job.dual ? " or two, S1,S2, one for each lens" : "") +
                                                     " (given: " + *options.lensScale + ")");
    }
    job.frontScale = (*scales)[0];
    job.backScale = scales->back();
  }
  job.calibration = std::move(file);
}

// Checks what CLI11's own checks cannot: ranges that depend on other options.
Job JobFor(const Options& options) {
  Job job;
  job.lens.model = *LensModelNamed(options.lensName);
  const double widest = WidestFovDegrees(job.lens.model);
  job.dual = options.dual;
  std::vector<double> fovs = {job.dual ? kDualDefaultFovDegrees : DefaultFovDegrees(job.lens.model)};
  if (options.fov) {
    // What is no number is out of every range: the checks below say which.
    const std::optional<std::vector<double>> given = ParseDecimalList(*options.fov);
    fovs = given.value_or(std::vector<double>{std::numeric_limits<double>::quiet_NaN()});
    if (fovs.size() > (job.dual ? 2u : 1u)) {
      throw CLI::ValidationError("--fov", job.dual ? "takes one field of view, or two (F1,F2), one for each lens"
                                                   : "takes one field of view (two, F1,F2, are for --dual)");
    }
  }
  job.fovGiven = options.fov.has_value();
  if (!options.calibrationPath.empty()) {
    // With a calibration the field of view is only a cap on its field.
    const NumberRange range{kNarrowestFovDegrees, 360.0};
    for (const double fov : fovs) {
      if (!InRange(range, fov))
        throw CLI::ValidationError("--fov", "must be " + RangeText(range) + " degrees (given: " + *options.fov + ")");
    }
    if (!job.fovGiven) fovs = {360.0};
  } else {
    for (const double fov : fovs) {
      const std::string given = " (given: " + options.fov.value_or(DecimalText(fov, 2)) + ")";
      const NumberRange dualRange{kNarrowestDualFovDegrees, widest, true};
      if (job.dual && !InRange(dualRange, fov)) {
        throw CLI::ValidationError(
            "--fov", widest <= kNarrowestDualFovDegrees
                         ? "must be more than " + DecimalText(kNarrowestDualFovDegrees) +
                               " degrees for two lenses, which an " + options.lensName + " lens cannot see"
                         : "must be " + RangeText(dualRange) + " degrees for two " + options.lensName +
                               " lenses, so that they overlap" + given);
      }
      const NumberRange range{kNarrowestFovDegrees, widest};
      if (!InRange(range, fov)) {
        throw CLI::ValidationError("--fov", "must be " + RangeText(range) + " degrees for an " + options.lensName +
                                                " lens" + given);
      }
    }
  }
  job.lens.fovDegrees = fovs[0];
  if (fovs.size() == 2) job.backFov = fovs[1];
  if (options.circleText == "auto") {
    job.autoCircle = true;
  } else if (!options.circleText.empty()) {
    const std::vector<ImageCircle> circles = ParseCircles(options.circleText, job.dual);
    if (circles.empty()) {
      throw CLI::ValidationError("--circle", std::string("must be auto or X,Y,R") +
                                                 (job.dual ? " or X,Y,R,X2,Y2,R2" : "") +
                                                 " in pixels with radii above 0 (given: " + options.circleText + ")");
    }
    job.lens.circle = circles[0];
    if (circles.size() == 2) job.backCircle = circles[1];
  }
  job.back = {options.backYaw, options.backPitch, options.backRoll};
  job.align = options.align || options.alignLenses;
  job.alignLenses = options.alignLenses;
  job.lens.yawDegrees = options.yaw;
  job.lens.pitchDegrees = options.pitch;
  job.lens.rollDegrees = options.roll;
  ReadCalibration(options, job);
  // Two lenses see the whole sphere: that is their default shape, and the
  // panorama made is the sphere whatever part of it is saved.
  const std::string shape = options.shape.value_or(job.dual ? "sphere" : "square");
  job.shape = shape == "rectangle" ? SaveShape::Rectangle : shape == "sphere" ? SaveShape::Sphere : SaveShape::Square;
  const SaveShape made = job.dual ? SaveShape::Sphere : job.shape;
  if (options.height && (*options.height < 1 || SavedPixels(made, *options.height) > kMostPanoramaPixels)) {
    throw CLI::ValidationError("--height", "must be at least 1 and give a panorama of at most " +
                                               std::to_string(kMostPanoramaPixels) + " pixels (at most " +
                                               std::to_string(static_cast<int64_t>(std::sqrt(
                                                   kMostPanoramaPixels / (made == SaveShape::Square ? 1 : 2)))) +
                                               " for the " + (job.dual ? "sphere" : shape) + ")");
  }
  return job;
}

Result FindCircle(const PixelBuffer& picture, ImageCircle& circle) {
  ImageCircle found;
  Result result = FindImageCircle(picture, found);
  if (result.ok()) circle = RoundedCircle(found);
  return result;
}

Result FindCircles(const PixelBuffer& picture, ImageCircle& front, ImageCircle& back) {
  ImageCircle foundFront, foundBack;
  Result result = FindDualCircles(picture, foundFront, foundBack);
  if (result.ok()) {
    front = RoundedCircle(foundFront);
    back = RoundedCircle(foundBack);
  }
  return result;
}

Result NotSideBySide(const PixelBuffer& picture) {
  return Result::Failure("is not two lenses side by side: for --dual its width must be within 2% of twice its height "
                         "(it is " + std::to_string(picture.width) + " x " + std::to_string(picture.height) + ")");
}

// Two lenses side by side into the whole sphere.
Result StitchDual(const Options& options, const Job& job, const PixelBuffer& source, PixelStore& store,
                  PixelBuffer& panorama, std::ostream& err) {
  if (!IsSideBySide(source.width, source.height)) return NotSideBySide(source);
  DualLens lens;
  lens.front = job.lens;
  lens.backCircle = job.backCircle;
  lens.back = job.back;
  if (job.autoCircle) {
    ImageCircle front, back;
    Result found = FindCircles(source, front, back);
    if (!found.ok()) return found;
    lens.front.circle = front;
    lens.backCircle = back;
  }
  lens.backFovDegrees = job.backFov;
  lens.backCalibrated = job.backPlaced;
  lens.front.radiusScale = job.frontScale;
  lens.backRadiusScale = job.backScale;
  if (job.align) {
    DualLens aligned;
    Result found = AlignLenses(source, lens, job.alignLenses, job.backFromFile, options.threads, aligned);
    if (!found.ok()) return found;
    lens = aligned;
    std::string back = "back lens:";
    if (job.alignLenses) {
      const bool scales = lens.front.calibrated != nullptr;
      const double front = scales ? lens.front.radiusScale : lens.front.fovDegrees;
      const double backSize = scales ? lens.backRadiusScale : lens.backFovDegrees.value_or(lens.front.fovDegrees);
      const char* what = scales ? " scale " : " fov ";
      err << "front lens:" << what << DecimalText(front, scales ? 4 : 2) << "\n";
      back += what + DecimalText(backSize, scales ? 4 : 2);
    }
    err << back << " yaw " << DecimalText(lens.back.yawDegrees, 2) << " pitch " << DecimalText(lens.back.pitchDegrees, 2)
        << " roll " << DecimalText(lens.back.rollDegrees, 2) << "\n";
  }
  const PanoramaSize size = DualSphereSize(source.width, source.height, static_cast<int32_t>(options.height.value_or(0)));
  if (size.reduced) {
    err << kProgram << ": note: the sphere is " << size.height << " pixels high, not " << source.height
        << ", to stay within " << kMostPanoramaPixels << " pixels (see --height)\n";
  }
  store = AllocatePixels(int64_t{size.width} * size.height);
  if (!store) return Result::Failure("not enough memory for a panorama of this size");
  panorama = {store.get(), size.width, size.height};
  StitchDualPicture(source, panorama, lens, options.threads);
  return {};
}

// The panorama as the window makes it for the same lens: the program's own
// lens gives a picture of the fisheye's size whose middle square is kept,
// with the columns beyond it black (they are saved only by sharpening's
// reach); any other lens the shape's own picture.
Result Convert(const Options& options, const Job& job, const LoadedPicture& fisheye, PixelStore& store,
               PixelBuffer& panorama, std::ostream& err) {
  const PixelBuffer source = fisheye.View();
  if (job.dual) return StitchDual(options, job, source, store, panorama, err);
  Lens lens = job.lens;
  lens.radiusScale = job.frontScale;
  if (job.autoCircle) {
    ImageCircle circle;
    Result found = FindCircle(source, circle);
    if (!found.ok()) return found;
    lens.circle = circle;
    if (lens.calibrated) {
      Result reach = CheckFieldLimits(*lens.calibrated, std::nullopt, circle);
      if (!reach.ok()) return reach;
    }
  }
  const PanoramaSize size = PanoramaSizeFor(lens, job.shape, source.width, source.height,
                                            static_cast<int32_t>(options.height.value_or(0)));
  if (size.reduced) {
    err << kProgram << ": note: the panorama is " << size.height << " pixels high, not " << source.height
        << ", to stay within " << kMostPanoramaPixels << " pixels (see --height)\n";
  }
  store = AllocatePixels(int64_t{size.width} * size.height);
  if (!store) return Result::Failure("not enough memory for a panorama of this size");
  panorama = {store.get(), size.width, size.height};
  TransformPicture(source, panorama, lens, options.threads);
  if (size.programLens) ClearSideMargins(panorama);
  return {};
}

// A circle given that no pixel of the picture lies in (each lens's in its own
// half) is the user's mistake, not the picture's: reported as a usage error.
Result CheckCirclesMeetPicture(const Options& options, const Job& job, int32_t width, int32_t height) {
  if (job.autoCircle || options.noTransform || !job.lens.circle) return {};
  const int32_t frontWidth = job.dual ? FrontHalfWidth(width) : width;
  const bool frontMeets = CircleMeetsPicture(*job.lens.circle, frontWidth, height);
  const bool backMeets = !job.dual || CircleMeetsPicture(job.backCircle.value_or(*job.lens.circle),
                                                         width - frontWidth, height);
  if (frontMeets && backMeets) return {};
  return Result::Failure("--circle: " + options.circleText + " has no pixel inside the " +
                         (job.dual ? std::string(frontMeets ? "back" : "front") + " lens's half of the picture (" +
                                         std::to_string(frontMeets ? width - frontWidth : frontWidth)
                                   : "picture (" + std::to_string(width)) +
                         " x " + std::to_string(height) + "); a circle clipped by the frame must still reach into it");
}

// The calibration's lenses placed on a picture `width` x `height`; a
// failure is the user's (the file does not fit the picture).
Result PlaceCalibration(Job& job, int32_t width, int32_t height) {
  // Not two lenses side by side: the stitch says so.
  if (!job.calibration || (job.dual && !IsSideBySide(width, height))) return {};
  const auto cap = [&](double fov) { return job.fovGiven ? std::optional<double>(fov) : std::nullopt; };
  const FieldLimits front{cap(job.lens.fovDegrees), job.lens.circle};
  const FieldLimits back{cap(job.backFov.value_or(job.lens.fovDegrees)), job.backCircle ? job.backCircle : job.lens.circle};
  Result result = PlaceCalibrationFile(*job.calibration, job.dual, width, height, front, back, job.lens.calibrated,
                                       job.backPlaced);
  if (!result.ok()) return Result::Failure("--calibration: " + result.reason());
  return {};
}

Result ConvertOne(const Options& options, Job job, const std::string& input, const std::string& output,
                  std::ostream& err, bool& usageError) {
  if (!options.force && FileExists(output))
    return Result::Failure(output + " already exists (use --force to replace it)");
  LoadedPicture fisheye;
  std::vector<uint8_t> fileBytes;
  Result load = LoadPicture(input, fisheye, &fileBytes);
  if (!load.ok()) return load;
  Result circles = CheckCirclesMeetPicture(options, job, fisheye.width, fisheye.height);
  if (circles.ok() && !options.noTransform) circles = PlaceCalibration(job, fisheye.width, fisheye.height);
  usageError = !circles.ok();
  if (!circles.ok()) return circles;
  // A damaged EXIF block or profile is left out, never half copied.
  const CameraMetadata camera = ReadCameraMetadata(fileBytes);
  fileBytes = {};
  // A two-lens picture stored turned has its halves elsewhere than side by
  // side, front on the left: no roll of the camera puts them back.
  if (job.dual && !options.noTransform && RollOfOrientation(camera.orientation) != 0.0) {
    return Result::Failure("is a two-lens picture stored turned (EXIF orientation " +
                           std::to_string(camera.orientation) + "); save it upright first");
  }
  // A project's roll holds the picture's turn already.
  if (!(job.calibration && job.calibration->fromProject)) job.lens.rollDegrees += RollOfOrientation(camera.orientation);
  PixelStore store;
  PixelBuffer picture = fisheye.View();
  if (!options.noTransform) {
    Result converted = Convert(options, job, fisheye, store, picture, err);
    if (!converted.ok()) return converted;
  }
  int32_t level = kSharpenLevelAfterLoad;
  for (int use = 0; use < options.sharpen; ++use) {
    level -= kSharpenLevelStep;
    SharpenPicture(picture, SharpenWeightsFor(level), options.threads);
  }
  const PictureFormat format = FormatFromName(output).value_or(PictureFormat::Jpeg);
  // The panorama's metadata describes our pixels: only a panorama gets it.
  const PanoramaXmp xmp = PanoramaXmpFor(job.shape, picture.height, job.lens.yawDegrees, job.lens.pitchDegrees);
  EncodeOptions encoding;
  encoding.quality = options.quality;
  encoding.xmp = options.noTransform ? nullptr : &xmp;
  encoding.camera = options.noMetadata ? nullptr : &camera;
  Result save = format == PictureFormat::Bmp ? WriteBmpPicture(picture, job.shape, output)
                                             : WritePictureFile(picture, job.shape, format, encoding, output);
  if (!save.ok()) return Result::Failure(output + ": " + save.reason());
  return {};
}

// --find-circle: one line per input on `out`; 1 when any has no circle.
int PrintCircles(const Options& options, std::ostream& out, std::ostream& err) {
  int failures = 0;
  for (const std::string& input : options.inputs) {
    LoadedPicture picture;
    ImageCircle circle, back;
    Result result = LoadPicture(input, picture);
    if (result.ok() && options.dual && !IsSideBySide(picture.width, picture.height))
      result = NotSideBySide(picture.View());
    if (result.ok()) result = options.dual ? FindCircles(picture.View(), circle, back) : FindCircle(picture.View(), circle);
    if (!result.ok()) {
      err << kProgram << ": " << input << ": " << result.reason() << "\n";
      ++failures;
      continue;
    }
    out << input;
    for (const ImageCircle& found : options.dual ? std::vector{circle, back} : std::vector{circle})
      out << " " << DecimalText(found.x, 2) << " " << DecimalText(found.y, 2) << " " << DecimalText(found.radius, 2);
    out << "\n";
  }
  return failures == 0 ? 0 : 1;
}

constexpr char kExamples[] = R"(
Examples:
  A typical 180-degree circular fisheye, its circle found in the picture:
    quorvane-convert --lens equisolid --fov 180 --circle auto photo.jpg
  An all-sky camera pointing straight up, the whole sky as a 360-degree panorama:
    quorvane-convert --pitch 90 --shape sphere sky.jpg
  A 360-degree camera's two fisheyes side by side, stitched into the whole sphere:
    quorvane-convert --dual --fov 200 --circle auto --align camera.jpg
  Without lens options the program's own lens: equidistant, 198 degrees across
  the picture height, centred.)";

}  // namespace

int RunConverter(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Turns circular fisheye photographs (JPEG) into equirectangular panoramas (JPEG, PNG or BMP).",
               kProgram};
  // Paths begin with "/" on some systems; on Windows too they are never options.
  app.allow_windows_style_options(false);
  app.footer(kExamples);
  Options options;
  app.add_option("INPUT", options.inputs, "Fisheye pictures to convert")->required();
  app.add_option("-o,--output", options.output,
                 "Output file, one input only: .jpg, .jpeg, .png or .bmp (a name without an extension gets .jpg); "
                 "default: INPUT with its extension replaced by -panorama.jpg");
  app.add_option("--quality", options.quality, "JPEG quality, 1 to 100 (4:4:4 colour from 90 up, 4:2:0 below)")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  app.add_flag("--no-metadata", options.noMetadata,
               "Leave out the camera's EXIF data and colour profile (the panorama's own metadata stays)");
  app.add_option("--lens", options.lensName,
                 "The lens model: equidistant (the default), equisolid, stereographic or orthographic")
      ->check(CLI::IsMember({"equidistant", "equisolid", "stereographic", "orthographic"}))
      ->capture_default_str();
  app.add_option("--fov", options.fov,
                 "Field of view across the image circle, in degrees (default 198 for equidistant and with --dual, "
                 "180 for the others; 10 to 360, 300 for stereographic, 180 for orthographic; over 185 with --dual)");
  app.add_option("--circle", options.circleText,
                 "The image circle: auto (found in each picture) or X,Y,R in pixels (the top-left pixel's centre "
                 "is 0,0, y down); with --dual X,Y,R,X2,Y2,R2, each in its own half (one circle: both); default: "
                 "centred, diameter = picture height");
  app.add_option("--yaw", options.yaw, "Camera turned to the right (east), in degrees")
      ->check(DecimalIn(kYawRange, " degrees"))
      ->capture_default_str();
  app.add_option("--pitch", options.pitch, "Camera tilted up, in degrees (90: at the zenith)")
      ->check(DecimalIn(kPitchRange, " degrees"))
      ->capture_default_str();
  app.add_option("--roll", options.roll, "Camera turned clockwise about the lens axis, as seen from behind, in degrees")
      ->check(DecimalIn(kRollRange, " degrees"))
      ->capture_default_str();
  app.add_option("--shape", options.shape,
                 "The saved shape: the square (longitudes -90 to 90), the 2:1 rectangle (the square, then black) "
                 "or the whole sphere (2:1, longitudes -180 to 180)")
      ->check(CLI::IsMember({"square", "rectangle", "sphere"}))
      ->default_str("square; sphere with --dual");
  auto* dual = app.add_flag("--dual", options.dual,
                             "Two fisheyes side by side (width about twice the height): the left half looking ahead, "
                             "the right half behind; stitched into the whole sphere (field of view over 185 degrees)");
  const auto backAngle = [&](const char* name, double& value, const NumberRange& range, const char* what) {
    app.add_option(name, value, what)->check(DecimalIn(range, " degrees"))->needs(dual)->capture_default_str();
  };
  backAngle("--back-yaw", options.backYaw, kBackYawRange,
            "With --dual: the back lens turned right from straight behind, in degrees");
  backAngle("--back-pitch", options.backPitch, kBackPitchRange, "With --dual: the back lens tilted up, in degrees");
  backAngle("--back-roll", options.backRoll, kBackRollRange,
            "With --dual: the back lens turned clockwise about its axis, as seen from behind it, in degrees");
  app.add_flag("--align", options.align,
               "With --dual: find the back lens's yaw, pitch and roll (within 3 degrees of straight behind, from "
               "--back-yaw/--back-pitch/--back-roll on) where the lenses overlap, print them and use them")
      ->needs(dual);
  app.add_flag("--align-lens", options.alignLenses,
               "With --dual: as --align, and find each lens's own field of view (within 5 degrees of --fov), or "
               "with --calibration its radius factor (0.95 to 1.05); print them and use them")
      ->needs(dual);
  app.add_option("--calibration", options.calibrationPath,
                 "The lens's calibration: a Hugin project (.pto: its first image line, with --dual its first two) "
                 "or a camera YAML (ROS or OpenCV, equidistant/fisheye model); --fov and --circle then only limit "
                 "the field, --yaw/--pitch/--roll replace the project's");
  app.add_option("--lens-scale", options.lensScale,
                 "With --calibration: each lens's radii times S (0.95 to 1.05; with --dual S1,S2), as --align-lens "
                 "prints them");
  app.add_option("--height", options.height, "The panorama's height in pixels (default: the picture's height)");
  app.add_flag("--find-circle", options.findCircle,
               "Print \"FILE X Y R\" (the image circle; with --dual \"FILE X Y R X2 Y2 R2\") for each input and "
               "convert nothing; exit 1 for any file without a circle");
  app.add_option("--sharpen", options.sharpen, "Sharpen N times (0 to 100), as N uses of Save and Sharpen would")
      ->check(WholeNumberIn(kSharpenRange))
      ->capture_default_str();
  app.add_option("--threads", options.threads,
                 "Threads for the transform (default: one per processor core); the panorama is the same for every count")
      ->check(CLI::Range(1, 256));
  app.add_flag("--no-transform", options.noTransform, "Save the loaded picture itself");
  app.add_flag("--force", options.force, "Replace existing output files");
  app.set_version_flag("--version", std::string(kProgram) + " " + kVersion);

  Job job;
  try {
    app.parse(argc, argv);
    if (!options.output.empty() && options.inputs.size() > 1)
      throw CLI::ValidationError("--output", "takes one input only");
    if (!options.output.empty() && !OutputFileName(options.output))
      throw CLI::ValidationError("--output", options.output + ": the name must end in .jpg, .jpeg, .png or .bmp");
    options.lensGiven = app.count("--lens") > 0;
    options.backAnglesGiven = app.count("--back-yaw") + app.count("--back-pitch") + app.count("--back-roll") > 0;
    options.yawGiven = app.count("--yaw") > 0;
    options.pitchGiven = app.count("--pitch") > 0;
    options.rollGiven = app.count("--roll") > 0;
    job = JobFor(options);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? 0 : 2;
  }

  if (options.findCircle) return PrintCircles(options, out, err);
  int failures = 0;
  bool usageErrors = false;
  const size_t count = options.inputs.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& input = options.inputs[i];
    const std::string output = options.output.empty() ? DefaultOutputName(input) : *OutputFileName(options.output);
    err << "[" << i + 1 << "/" << count << "] " << BaseName(input) << " -> " << BaseName(output) << "\n";
    bool usageError = false;
    Result result = ConvertOne(options, job, input, output, err, usageError);
    if (!result.ok()) {
      err << kProgram << ": " << input << ": " << result.reason() << "\n";
      ++failures;
      usageErrors = usageErrors || usageError;
    }
  }
  return usageErrors ? 2 : failures == 0 ? 0 : 1;
}
