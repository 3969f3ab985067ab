#include "cli/convert.h"

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "imageio/bmp_writer.h"
#include "imageio/file_replace.h"
#include "imageio/load_picture.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

namespace {

constexpr char kProgram[] = "quorvane-convert";
constexpr char kVersion[] = "2.00";

struct Options {
  std::vector<std::string> inputs;
  std::string output;
  std::string shape = "square";
  int sharpen = 0;
  int threads = 0;
  bool noTransform = false;
  bool force = false;
};

// dome.jpg -> dome-panorama.bmp, in the input's folder.
std::string DefaultOutputName(const std::string& input) {
  size_t folderEnd = input.find_last_of("/\\");
  size_t nameStart = folderEnd == std::string::npos ? 0 : folderEnd + 1;
  size_t dot = input.find_last_of('.');
  std::string stem = dot != std::string::npos && dot > nameStart ? input.substr(0, dot) : input;
  return stem + "-panorama.bmp";
}

std::string BaseName(const std::string& path) {
  size_t folderEnd = path.find_last_of("/\\");
  return folderEnd == std::string::npos ? path : path.substr(folderEnd + 1);
}

Result ConvertOne(const Options& options, const std::string& input, std::string& output) {
  if (!options.force && FileExists(output))
    return Result::Failure(output + " already exists (use --force to replace it)");
  Result load = LoadFisheyeImage(input);
  if (!load.ok()) return load;
  if (!options.noTransform) RunTransform();
  for (int use = 0; use < options.sharpen; ++use) {
    SharpenLevel -= 32;
    SharpenDisplay();
  }
  SaveAsRectangle = options.shape == "rectangle" ? 1 : 0;
  Result save = WriteBmpFile(output);
  if (!save.ok()) return Result::Failure(output + ": " + save.reason());
  return {};
}

}  // namespace

int RunConverter(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Turns circular fisheye photographs (JPEG) into equirectangular panoramas (BMP).", kProgram};
  // Paths begin with "/" on some systems; on Windows too they are never options.
  app.allow_windows_style_options(false);
  Options options;
  app.add_option("INPUT", options.inputs, "Fisheye pictures to convert")->required();
  app.add_option("-o,--output", options.output,
                 "Output file (one input only; default: INPUT with its extension replaced by -panorama.bmp)");
  app.add_option("--shape", options.shape, "Save the square panorama or the 2:1 rectangle")
      ->check(CLI::IsMember({"square", "rectangle"}))
      ->capture_default_str();
  app.add_option("--sharpen", options.sharpen, "Sharpen N times, as N uses of Save and Sharpen would")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--threads", options.threads,
                 "Threads for the transform (default: one per processor core); the panorama is the same for every count")
      ->check(CLI::Range(1, 256));
  app.add_flag("--no-transform", options.noTransform, "Save the loaded picture itself");
  app.add_flag("--force", options.force, "Replace existing output files");
  app.set_version_flag("--version", std::string(kProgram) + " " + kVersion);

  try {
    app.parse(argc, argv);
    if (!options.output.empty() && options.inputs.size() > 1)
      throw CLI::ValidationError("--output", "takes one input only");
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? 0 : 2;
  }

  TransformThreads = options.threads;
  if (!ReserveSourceStore()) {
    err << kProgram << ": not enough memory to start\n";
    return 1;
  }
  int failures = 0;
  const size_t count = options.inputs.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& input = options.inputs[i];
    std::string output = BmpFileName(options.output.empty() ? DefaultOutputName(input) : options.output);
    err << "[" << i + 1 << "/" << count << "] " << BaseName(input) << " -> " << BaseName(output) << "\n";
    Result result = ConvertOne(options, input, output);
    if (!result.ok()) {
      err << kProgram << ": " << input << ": " << result.reason() << "\n";
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
