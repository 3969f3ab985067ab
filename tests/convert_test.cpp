#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string_view>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "app/app_state.h"
#include "cli/convert.h"
#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"
#include "imageio/decode_picture.h"
#include "imageio/load_picture.h"
#include "imageio/picture_encoding.h"
#include "lens_model.h"
#ifndef _WIN32
#include "picture_files.h"
#include "realistic_pictures.h"
#endif
#include "test_pictures.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"
#include "transform/transform_command.h"
#include "transform/calibrated_lens.h"
#include "transform/calibration.h"
#include "transform/dual_lens.h"
#include "imageio/load_fisheye.h"
#include "imageio/write_display.h"

namespace fs = std::filesystem;

namespace {

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ScratchFolder(std::string("convert-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    // A landscape picture, so the square and the margins matter.
    std::vector<uint8_t> picture = MakeFPicture(90, 60);
    ASSERT_TRUE(WriteBmpPicture({picture.data(), 90, 60}, SaveShape::Rectangle, Path("dome.bmp")).ok());
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvane-convert");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    out_.str("");
    err_.str("");
    return RunConverter(static_cast<int>(argv.size()), argv.data(), out_, err_);
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  // What the window would save after Load, Transform (unless not), `sharpen`
  // uses of Save and Sharpen, in the given shape.
  std::vector<uint8_t> WindowResult(const std::string& input, bool transform, int sharpen, int rectangle) {
    EXPECT_TRUE(LoadFisheyeImage(input).ok());
    if (transform) RunTransform();
    for (int i = 0; i < sharpen; ++i) {
      SharpenLevel -= 32;
      SharpenDisplay();
    }
    SaveAsRectangle = rectangle;
    std::string name = Path("reference.bmp");
    EXPECT_TRUE(WriteBmpFile(name).ok());
    std::vector<uint8_t> bytes = ReadBytes(name);
    fs::remove(name);
    return bytes;
  }

  fs::path folder_;
  std::ostringstream out_, err_;
};

TEST_F(ConvertTest, ConvertsLikeTheWindowWithEveryOption) {
  ASSERT_EQ(Run({"-o", Path("dome-panorama.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(err_.str(),
            "[1/1] " + Path("dome.bmp") + " -> " + Path("dome-panorama.bmp") + "\n1 file: 1 converted, 0 failed\n");
  EXPECT_EQ(ReadBytes(Path("dome-panorama.bmp")), WindowResult(Path("dome.bmp"), true, 0, 0));

  ASSERT_EQ(Run({"--shape", "rectangle", "--sharpen", "5", "-o", Path("wide.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("wide.bmp")), WindowResult(Path("dome.bmp"), true, 5, 1));

  ASSERT_EQ(Run({"--no-transform", "--output", Path("flat.BMP"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("flat.BMP")), WindowResult(Path("dome.bmp"), false, 0, 0));
}

TEST_F(ConvertTest, TheThreadCountChangesNothingInTheFile) {
  ASSERT_EQ(Run({"--threads", "1", "-o", Path("one.bmp"), Path("dome.bmp")}), 0) << err_.str();
  ASSERT_EQ(Run({"--threads", "5", "-o", Path("five.bmp"), Path("dome.bmp")}), 0) << err_.str();
  ASSERT_EQ(Run({"-o", Path("every.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("one.bmp")), ReadBytes(Path("five.bmp")));
  EXPECT_EQ(ReadBytes(Path("one.bmp")), ReadBytes(Path("every.bmp")));
}

TEST_F(ConvertTest, ExistingOutputsNeedForce) {
  WriteBytes(Path("dome-panorama.jpg"), {1, 2, 3});
  EXPECT_EQ(Run({Path("dome.bmp")}), 1);
  EXPECT_NE(err_.str().find("[1/1] " + Path("dome.bmp") + ": failed: "), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("--force"), std::string::npos) << err_.str();
  EXPECT_EQ(ReadBytes(Path("dome-panorama.jpg")), (std::vector<uint8_t>{1, 2, 3}));

  EXPECT_EQ(Run({"--force", Path("dome.bmp")}), 0) << err_.str();
  int32_t width = 0, height = 0;
  std::vector<uint8_t> pixels(4 * 60 * 60);
  ASSERT_TRUE(DecodePicture(ReadBytes(Path("dome-panorama.jpg")), pixels.data(), 60 * 60, width, height).ok());
  EXPECT_EQ(width, 60);
  EXPECT_EQ(height, 60);
}

// Each file's line comes when it is done, as given on the command line, and
// a bad one fails alone.
TEST_F(ConvertTest, ABadInputFailsAloneInABatchAndEachFileIsReportedWhenDone) {
  WriteBytes(Path("bad.jpg"), {'n', 'o', 't', ' ', 'a', ' ', 'J', 'P', 'E', 'G'});
  EXPECT_EQ(Run({Path("bad.jpg"), Path("dome.bmp")}), 1);
  EXPECT_EQ(err_.str(), "[1/2] " + Path("bad.jpg") + ": failed: not a picture the program can read (JPEG, PNG, TIFF or BMP)\n" +
                            "[2/2] " + Path("dome.bmp") + " -> " + Path("dome-panorama.jpg") + "\n" +
                            "2 files: 1 converted, 1 failed\n");
  EXPECT_TRUE(fs::exists(Path("dome-panorama.jpg")));
  EXPECT_FALSE(fs::exists(Path("bad-panorama.jpg")));
}

TEST_F(ConvertTest, UsageErrorsExitWithTwoAndConvertNothing) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--shape", "circle", Path("dome.bmp")},
      {"--sharpen", "-1", Path("dome.bmp")},
      {"--sharpen", "many", Path("dome.bmp")},
      {"-o", Path("x.bmp"), Path("dome.bmp"), Path("dome.bmp")},
      {"-o", Path("x.gif"), Path("dome.bmp")},
      {"--quality", "0", Path("dome.bmp")},
      {"--quality", "101", Path("dome.bmp")},
      {"--frobnicate", Path("dome.bmp")},
      {"--threads", "0", Path("dome.bmp")},
      {"--threads", "two", Path("dome.bmp")},
  };
  for (const auto& args : wrong) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "(nothing)" : args[0]);
    EXPECT_FALSE(err_.str().empty());
  }
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));
  EXPECT_FALSE(fs::exists(Path("x.bmp")));

  // Lens values out of range name the option and the allowed range.
  const std::vector<std::pair<std::vector<std::string>, std::string>> lensErrors = {
      {{"--fov", "9.5"}, "--fov: must be from 10 to 360"},
      {{"--fov", "361"}, "--fov: must be from 10 to 360"},
      {{"--lens", "stereographic", "--fov", "301"}, "--fov: must be from 10 to 300"},
      {{"--lens", "orthographic", "--fov", "181"}, "--fov: must be from 10 to 180"},
      {{"--lens", "fisheye"}, "--lens"},
      {{"--circle", "40,30,0"}, "--circle: must be auto or X,Y,R"},
      {{"--circle", "40,30"}, "--circle: must be auto or X,Y,R"},
      {{"--circle", "40,30,nan"}, "--circle: must be auto or X,Y,R"},
      {{"--height", "0"}, "--height: must be a whole number from 1 to"},
      {{"--height", "7072"}, "from 1 to 7071 for the square"},
      {{"--shape", "sphere", "--height", "5001"}, "from 1 to 5000 for the sphere"},
      {{"--pitch", "90.5"}, "--pitch"},
      {{"--dual", "--fov", "185"}, "--fov: must be more than 185 and at most 360 degrees for two"},
      {{"--dual", "--lens", "orthographic"}, "which an orthographic lens cannot see"},
      {{"--circle", "40,30,20,40,30,20"}, "--circle: must be auto or X,Y,R in pixels"},
      {{"--dual", "--circle", "40,30,20,40,30"}, "--circle: must be auto or X,Y,R or X,Y,R,X2,Y2,R2"},
      {{"--back-yaw", "1"}, "--back-yaw requires --dual"},
      {{"--align"}, "--align requires --dual"},
      {{"--dual", "--back-pitch", "91"}, "--back-pitch"},
  };
  for (const auto& [options, message] : lensErrors) {
    std::vector<std::string> args = options;
    args.push_back(Path("dome.bmp"));
    EXPECT_EQ(Run(args), 2) << options[0];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));

  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_.str(), "quorvane-convert 2.00\n");
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("--sharpen"), std::string::npos);
  EXPECT_NE(out_.str().find("--lens equisolid --fov 180 --circle auto"), std::string::npos);
  EXPECT_NE(out_.str().find("--pitch 90 --shape sphere"), std::string::npos);
}

// Every decimal option refuses what is no number, or out of its range, by
// name and with its range; a circle must reach into the picture.
TEST_F(ConvertTest, BadNumbersAreUsageErrorsThatNameTheOptionAndItsRange) {
  struct Option {
    std::vector<std::string> before;  // what the option needs beside it
    std::string name;
    std::string range;
    std::string outOfRange;
  };
  const Option kOptions[] = {
      {{}, "--fov", "from 10 to 360 degrees", "360.5"},
      {{"--dual"}, "--fov", "more than 185 and at most 360 degrees", "185"},
      {{}, "--yaw", "from -360 to 360 degrees", "-361"},
      {{}, "--pitch", "from -90 to 90 degrees", "90.001"},
      {{}, "--roll", "from -360 to 360 degrees", "1e308"},
      {{"--dual"}, "--back-yaw", "from -180 to 180 degrees", "181"},
      {{"--dual"}, "--back-pitch", "from -90 to 90 degrees", "-91"},
      {{"--dual"}, "--back-roll", "from -180 to 180 degrees", "180.01"},
  };
  for (const Option& option : kOptions) {
    for (const std::string& value : {std::string("nan"), std::string("-nan"), std::string("inf"),
                                     std::string("-inf"), std::string("1e400"), std::string(""), std::string("abc"),
                                     option.outOfRange}) {
      std::vector<std::string> args = option.before;
      args.insert(args.end(), {option.name, value, Path("dome.bmp")});
      EXPECT_EQ(Run(args), 2) << option.name << " " << value;
      const std::string said = value == option.outOfRange ? ": must be " : ": a number is needed, ";
      EXPECT_NE(err_.str().find(option.name + said + option.range + " "), std::string::npos) << err_.str();
    }
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> kOthers = {
      {{"--sharpen", "101"}, "--sharpen: must be a whole number from 0 to 100"},
      {{"--sharpen", "1000000"}, "--sharpen: must be a whole number from 0 to 100"},
      {{"--circle", "40,30,inf"}, "--circle: must be auto or X,Y,R"},
      {{"--circle", "nan,30,20"}, "--circle: must be auto or X,Y,R"},
      // dome.bmp is 120 x 60: a circle must hold a pixel of it.
      {{"--circle", "1e300,1,5"}, "--circle: 1e300,1,5 has no pixel inside the picture (120 x 60)"},
      {{"--circle", "-5.5,30,5"}, "has no pixel inside the picture"},
      {{"--circle", "45,-10.5,10"}, "has no pixel inside the picture"},
      {{"--dual", "--circle", "20,30,20,200,30,5"}, "has no pixel inside the back lens's half of the picture (60 x 60)"},
  };
  for (const auto& [options, message] : kOthers) {
    std::vector<std::string> args = options;
    args.push_back(Path("dome.bmp"));
    EXPECT_EQ(Run(args), 2) << options[1];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));

  // A circle clipped by the frame, its centre outside, and the widest counts
  // are still converted.
  ASSERT_EQ(Run({"--circle", "-5,30,10", "--sharpen", "100", "-o", Path("clipped.bmp"), Path("dome.bmp")}), 0)
      << err_.str();
}

// Empty and wrong values, and options that would do nothing beside the
// others, are refused with what to do instead; nothing is written.
TEST_F(ConvertTest, EveryMistakeIsAUsageErrorThatSaysWhatIsWrong) {
  fs::create_directory(Path("out"));
  const std::string missing = Path("nosuchdir");
  const std::vector<std::pair<std::vector<std::string>, std::string>> kMistakes = {
      {{"--fov", "abc"}, "--fov: a number is needed, from 10 to 360 degrees for an equidistant lens (given: abc)"},
      {{"--lens", "stereographic", "--fov", ""}, "from 10 to 300 degrees for a stereographic lens (given: \"\")"},
      {{"--height", ""}, "--height: a number is needed, a whole number from 1 to 7071"},
      {{"--height", "2.5"}, "--height: must be a whole number from 1 to 7071"},
      {{"--quality", "good"}, "--quality: a number is needed, a whole number from 1 to 100 (given: good)"},
      {{"--threads", "1e3"}, "--threads: must be a whole number from 1 to 256 (given: 1e3)"},
      {{"--circle", ""}, "--circle: must be auto or X,Y,R"},
      {{"--calibration", ""}, "--calibration: a file name is needed"},
      {{"-o", ""}, "--output: a file name is needed"},
      {{"-d", ""}, "--output-dir: a folder name is needed"},
      {{"--format", "gif"}, "--format: must be jpg, png, tif or bmp (given: gif)"},
      {{"--shape", "circle"}, "--shape: must be square, rectangle or sphere (given: circle)"},
      {{"-o", Path("x.jpg"), "-d", Path("out")}, "--output: cannot be given with --output-dir"},
      {{"-d", missing}, "--output-dir: the output folder " + missing + " does not exist"},
      {{"-d", Path("dome.bmp")}, "is a file, not a folder"},
      {{"-o", Path("nosuchdir/x.jpg")}, "--output: the folder " + missing + " does not exist"},
      {{"-o", Path("x.bmp"), Path("dome.bmp")}, "--output: takes one input only; for several, give a folder with"},
      {{"--format", "png", "-o", Path("x.jpg")}, "--format: does nothing with --output"},
      {{"--quality", "90", "-o", Path("x.png")}, "--quality: is for JPEG files only"},
      {{"--quality", "90", "--format", "bmp"}, "--quality: is for JPEG files only"},
      {{"--no-metadata", "--format", "bmp"}, "--no-metadata: does nothing for BMP files"},
      {{"--find-circle", "-o", Path("x.jpg")}, "--output: does nothing with --find-circle"},
      {{"--find-circle", "--circle", "40,30,20"}, "--circle: does nothing with --find-circle"},
      {{"--find-circle", "-d", Path("out")}, "--output-dir: does nothing with --find-circle"},
      {{"--find-circle", "--format", "png"}, "--format: does nothing with --find-circle"},
      {{"--no-transform", "--fov", "180"}, "--fov: does nothing with --no-transform"},
      {{"--no-transform", "--yaw", "10"}, "--yaw: does nothing with --no-transform"},
      {{"--no-transform", "--dual"}, "--dual: does nothing with --no-transform"},
      {{"--no-transform", "--calibration", Path("lens.pto")}, "--calibration: does nothing with --no-transform"},
      {{"--dual", "--align", "--align-lens"}, "--align: does nothing with --align-lens"},
      {{"--depth", "12"}, "--depth: 12 not in {8,16}"},
      {{"--depth", "16", "-o", Path("x.jpg")}, "--depth: 16 needs a PNG or TIFF output, and " + Path("x.jpg") +
                                                   " holds 8 bits a sample (JPEG and BMP always do)"},
      {{"--depth", "16", "--format", "bmp"}, "--depth: 16 needs a PNG or TIFF output"},
      {{"--find-circle", "--depth", "8"}, "--depth: does nothing with --find-circle"},
  };
  for (const auto& [options, message] : kMistakes) {
    std::vector<std::string> args = options;
    args.push_back(Path("dome.bmp"));
    EXPECT_EQ(Run(args), 2) << options[0] << " " << options[1];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_TRUE(fs::is_empty(Path("out")));
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));

  // A yaw that turns the view's middle out of the square or the rectangle
  // is saved, with a note.
  const std::vector<std::pair<std::vector<std::string>, bool>> kYaws = {
      {{"--yaw", "120"}, true}, {{"--yaw", "-91", "--shape", "rectangle"}, true},
      {{"--yaw", "90"}, false}, {{"--yaw", "120", "--shape", "sphere"}, false}};
  for (const auto& [options, noted] : kYaws) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--force", "-o", Path("turned.bmp"), Path("dome.bmp")});
    EXPECT_EQ(Run(args), 0) << err_.str();
    EXPECT_EQ(err_.str().find("note: a yaw of " + options[1] + " degrees") != std::string::npos, noted) << err_.str();
    EXPECT_EQ(err_.str().find("--shape sphere saves all of it") != std::string::npos, noted) << err_.str();
  }
}

// An output that is an input, by its own name, another path to it or a hard
// link, is refused before anything is written, --force or not; so is one
// picture given twice.
TEST_F(ConvertTest, NoInputIsReplacedAndNoOutputIsSavedTwice) {
  fs::create_directory(Path("sub"));
  fs::create_hard_link(Path("dome.bmp"), Path("link.bmp"));
  fs::copy_file(Path("dome.bmp"), Path("dome-panorama.bmp"));
  const std::vector<uint8_t> picture = ReadBytes(Path("dome.bmp"));
  const std::string twice = Path("dome.bmp") + ": the output ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> kRefused = {
      {{"-o", Path("dome.bmp"), Path("dome.bmp")}, twice + Path("dome.bmp") + " is this input itself"},
      {{"-o", Path("sub/../dome.bmp"), Path("dome.bmp")}, twice + Path("sub/../dome.bmp") + " is this input itself"},
      {{"-o", Path("link.bmp"), Path("dome.bmp")}, twice + Path("link.bmp") + " is this input itself"},
      {{"--format", "bmp", Path("dome.bmp"), Path("dome-panorama.bmp")},
       twice + Path("dome-panorama.bmp") + " is the input " + Path("dome-panorama.bmp")},
      {{Path("dome.bmp"), Path("sub/../dome.bmp")},
       Path("dome.bmp") + " and " + Path("sub/../dome.bmp") + " are one picture, given twice"},
  };
  for (const auto& [options, message] : kRefused) {
    std::vector<std::string> args = options;
    args.insert(args.begin(), "--force");
    EXPECT_EQ(Run(args), 2) << options[1];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_EQ(ReadBytes(Path("dome.bmp")), picture);
  EXPECT_EQ(ReadBytes(Path("dome-panorama.bmp")), picture);
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));
  EXPECT_FALSE(fs::exists(Path("dome-panorama-panorama.bmp")));
}

// -d puts every output in one folder under its default name, in --format's
// format, with the bytes -o gives; two inputs of one name from two folders
// are refused, naming both.
TEST_F(ConvertTest, ABatchGoesIntoAnOutputFolder) {
  for (const char* folder : {"cam1", "cam2", "out"}) fs::create_directory(Path(folder));
  for (const char* name : {"cam1/shot.bmp", "cam2/shot.bmp", "cam2/other.bmp"})
    fs::copy_file(Path("dome.bmp"), Path(name));
  const std::string out = Path("out");
  EXPECT_EQ(Run({"-d", out, Path("cam1/shot.bmp"), Path("cam2/shot.bmp")}), 2);
  EXPECT_NE(err_.str().find(Path("cam1/shot.bmp") + " and " + Path("cam2/shot.bmp") + " would both be saved as " +
                            (fs::path(out) / "shot-panorama.jpg").string()),
            std::string::npos)
      << err_.str();
  EXPECT_TRUE(fs::is_empty(out));

  ASSERT_EQ(Run({"-d", out + "/", "--format", "bmp", Path("cam1/shot.bmp"), Path("cam2/other.bmp")}), 0) << err_.str();
  EXPECT_NE(err_.str().find("[2/2] " + Path("cam2/other.bmp") + " -> " + out + "/other-panorama.bmp\n"),
            std::string::npos)
      << err_.str();
  ASSERT_EQ(Run({"-o", Path("single.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("out/shot-panorama.bmp")), ReadBytes(Path("single.bmp")));
  EXPECT_EQ(ReadBytes(Path("out/other-panorama.bmp")), ReadBytes(Path("single.bmp")));

  ASSERT_EQ(Run({"--format", "png", Path("cam1/shot.bmp")}), 0) << err_.str();
  const std::vector<uint8_t> png = ReadBytes(Path("cam1/shot-panorama.png"));
  EXPECT_TRUE(png.size() > 8 && std::equal(png.begin() + 1, png.begin() + 4, "PNG"));
}

// A replaced file keeps who may read and write it.
TEST_F(ConvertTest, AReplacedFileKeepsItsPermissions) {
#if !defined(_WIN32)
  for (const fs::perms mode : {fs::perms(0600), fs::perms(0664)}) {
    WriteBytes(Path("kept.bmp"), {1, 2, 3});
    fs::permissions(Path("kept.bmp"), mode);
    ASSERT_EQ(Run({"--force", "-o", Path("kept.bmp"), Path("dome.bmp")}), 0) << err_.str();
    EXPECT_NE(ReadBytes(Path("kept.bmp")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(fs::status(Path("kept.bmp")).permissions(), mode);
  }
#else
  WriteBytes(Path("kept.bmp"), {1, 2, 3});
  SetFileAttributesW(fs::path(Path("kept.bmp")).wstring().c_str(), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_EQ(Run({"--force", "-o", Path("kept.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_NE(ReadBytes(Path("kept.bmp")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_NE(GetFileAttributesW(fs::path(Path("kept.bmp")).wstring().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
#endif
}

// The program's own lens, given in full as options, is no lens option at all.
TEST_F(ConvertTest, TheProgramsOwnLensGivenExplicitlyChangesNoByte) {
  ASSERT_EQ(Run({"-o", Path("plain.bmp"), Path("dome.bmp")}), 0) << err_.str();
  for (const char* shape : {"square", "rectangle"}) {
    ASSERT_EQ(Run({"--force", "--shape", shape, "-o", Path("plain.bmp"), Path("dome.bmp")}), 0) << err_.str();
    // dome.bmp is 120 x 60: its centre is (59.5, 29.5), its circle 30 across.
    ASSERT_EQ(Run({"--force", "--shape", shape, "--lens", "equidistant", "--fov", "198", "--circle", "59.5,29.5,30",
                   "--yaw", "0", "--pitch", "0", "--roll", "0", "--height", "60", "-o", Path("explicit.bmp"),
                   Path("dome.bmp")}),
              0)
        << err_.str();
    EXPECT_EQ(ReadBytes(Path("explicit.bmp")), ReadBytes(Path("plain.bmp"))) << shape;
  }
  // Any other value takes the general lens and a panorama of its own size.
  ASSERT_EQ(Run({"--shape", "sphere", "--height", "40", "--fov", "197", "-o", Path("sphere.bmp"), Path("dome.bmp")}), 0)
      << err_.str();
  int32_t width = 0, height = 0;
  ASSERT_TRUE(ReadBmpSize(ReadBytes(Path("sphere.bmp")), width, height).ok());
  EXPECT_EQ(width, 80);
  EXPECT_EQ(height, 40);
}

bool Holds(const std::vector<uint8_t>& file, std::string_view text) {
  return std::search(file.begin(), file.end(), text.begin(), text.end()) != file.end();
}

// The JPEG file without its APP1 segments (EXIF, XMP).
std::vector<uint8_t> WithoutApp1(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> kept(jpeg.begin(), jpeg.begin() + 2);
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const size_t length = 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] != 0xE1) kept.insert(kept.end(), jpeg.begin() + at, jpeg.begin() + at + length);
    at += length;
  }
  kept.insert(kept.end(), jpeg.begin() + at, jpeg.end());
  return kept;
}

// The output's name decides its format; JPEG and PNG panoramas carry the
// panorama's metadata and the camera's EXIF; a camera held on its side gives
// an upright panorama.
TEST_F(ConvertTest, TheNameDecidesTheFormatAndTheMetadataComesAlong) {
  fs::copy_file(TestDataPath("bad/exif-rotated.jpg"), Path("side.jpg"));
  ASSERT_EQ(Run({"-o", Path("plain"), Path("side.jpg")}), 0) << err_.str();
  const std::vector<uint8_t> jpeg = ReadBytes(Path("plain.jpg"));
  EXPECT_TRUE(Holds(jpeg, "http://ns.google.com/photos/1.0/panorama/"));
  EXPECT_TRUE(Holds(jpeg, std::string_view("Exif\0\0", 6)));
  ASSERT_EQ(Run({"--no-metadata", "-o", Path("bare.JPEG"), Path("side.jpg")}), 0) << err_.str();
  EXPECT_TRUE(Holds(ReadBytes(Path("bare.JPEG")), "GPano"));
  EXPECT_FALSE(Holds(ReadBytes(Path("bare.JPEG")), std::string_view("Exif\0\0", 6)));
  ASSERT_EQ(Run({"--no-transform", "-o", Path("flat.png"), Path("side.jpg")}), 0) << err_.str();
  const std::vector<uint8_t> png = ReadBytes(Path("flat.png"));
  EXPECT_TRUE(png.size() > 8 && std::equal(png.begin() + 1, png.begin() + 4, "PNG"));
  EXPECT_FALSE(Holds(png, "GPano")) << "a fisheye is no panorama";
  EXPECT_TRUE(Holds(png, "eXIf"));

  // Orientation 6: the camera was turned a quarter clockwise.
  WriteBytes(Path("level.jpg"), WithoutApp1(ReadBytes(Path("side.jpg"))));
  ASSERT_EQ(Run({"--shape", "sphere", "-o", Path("upright.bmp"), Path("side.jpg")}), 0) << err_.str();
  ASSERT_EQ(Run({"--shape", "sphere", "--roll", "90", "-o", Path("rolled.bmp"), Path("level.jpg")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("upright.bmp")), ReadBytes(Path("rolled.bmp")));
  ASSERT_EQ(Run({"--shape", "sphere", "-o", Path("level.bmp"), Path("level.jpg")}), 0) << err_.str();
  EXPECT_NE(ReadBytes(Path("upright.bmp")), ReadBytes(Path("level.bmp")));
}

// A lit disc on black, off the picture's centre.
std::vector<uint8_t> DiscPicture(int32_t side, double centreX, double centreY, double radius) {
  std::vector<uint8_t> pixels = MakeNoisePicture(side, side, 9);
  for (int32_t y = 0; y < side; ++y) {
    for (int32_t x = 0; x < side; ++x) {
      uint8_t* pixel = &pixels[4 * (static_cast<size_t>(side - 1 - y) * side + x)];
      const bool inside = std::hypot(x - centreX, y - centreY) <= radius;
      for (int channel = 0; channel < 3; ++channel) pixel[channel] = inside ? 100 + pixel[channel] / 2 : 0;
    }
  }
  return pixels;
}

// --find-circle prints what --circle auto uses: the same numbers given back
// give the same bytes. A picture lit to its corners has no circle.
TEST_F(ConvertTest, FoundCirclesArePrintedAndUsedAsPrinted) {
  std::vector<uint8_t> disc = DiscPicture(160, 84.3, 75.6, 55.2);
  ASSERT_TRUE(WriteBmpPicture({disc.data(), 160, 160}, SaveShape::Square, Path("disc.bmp")).ok());
  ASSERT_EQ(Run({"--find-circle", Path("disc.bmp")}), 0) << err_.str();
  std::istringstream line(out_.str());
  std::string name;
  double x = 0, y = 0, radius = 0;
  line >> name >> x >> y >> radius;
  EXPECT_EQ(name, Path("disc.bmp"));
  EXPECT_NEAR(x, 84.3, 0.5);
  EXPECT_NEAR(y, 75.6, 0.5);
  EXPECT_NEAR(radius, 55.2, 0.5);
  EXPECT_FALSE(fs::exists(Path("disc-panorama.jpg"))) << "--find-circle converts nothing";
  const std::string printed = out_.str().substr(name.size() + 1, out_.str().size() - name.size() - 2);
  std::string given = printed;
  std::replace(given.begin(), given.end(), ' ', ',');

  ASSERT_EQ(Run({"--lens", "equisolid", "--fov", "180", "--circle", "auto", "-o", Path("auto.bmp"), Path("disc.bmp")}), 0)
      << err_.str();
  ASSERT_EQ(Run({"--lens", "equisolid", "--fov", "180", "--circle", given, "-o", Path("given.bmp"), Path("disc.bmp")}), 0)
      << err_.str();
  EXPECT_EQ(ReadBytes(Path("auto.bmp")), ReadBytes(Path("given.bmp")));

  EXPECT_EQ(Run({"--find-circle", Path("disc.bmp"), Path("dome.bmp")}), 1);
  EXPECT_EQ(out_.str(), Path("disc.bmp") + " " + printed + "\n");
  EXPECT_NE(err_.str().find(Path("dome.bmp") + ": no image circle"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"--circle", "auto", Path("dome.bmp")}), 1);
  EXPECT_NE(err_.str().find("no image circle"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("leave --circle out"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("or give the circle as --circle X,Y,R"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(Path("dome-panorama.jpg")));
}

// A two-lens camera's picture, 2 height x height, of a textured world (our
// own forward model): 200-degree equidistant lenses with the circles given,
// the camera held as `camera`, the back lens `offset` from straight behind.
std::vector<uint8_t> TwoLensPicture(int32_t height, const ImageCircle& front, const ImageCircle& back,
                                    const BackLensOffset& offset, const Lens& camera = {}) {
  using namespace lens_model;
  std::vector<uint8_t> pixels(8 * static_cast<size_t>(height) * height, 0);
  const PixelBuffer picture{pixels.data(), 2 * height, height};
  const auto world = [](int channel, Vector3 d) {
    return 0.75 * PatternAt(channel, d) + 28 + 30 * std::sin(23 * d.x + 5 * d.z) * std::cos(19 * d.y - 11 * d.z);
  };
  DualLens lens;
  lens.front = camera;
  lens.front.fovDegrees = 200;
  lens.back = offset;
  RenderFisheyeInto(picture, 0, height, lens.front, CameraOf(lens.front), front, world);
  RenderFisheyeInto(picture, height, height, lens.front, CameraOf(BackLensOf(lens)), back, world, 0.9);
  return pixels;
}

// Two lenses side by side: --find-circle --dual prints both circles, each in
// its own half, and --align the back lens's angles; given back as options
// they make the same sphere, the default shape. A picture that is not about
// twice as wide as high is refused.
TEST_F(ConvertTest, TwoLensesPrintTheirCirclesAndAnglesAndUseThemAsPrinted) {
  std::vector<uint8_t> pair = TwoLensPicture(160, {78.4, 81.2, 76.5}, {81.6, 79.3, 77.25}, {0.8, -0.5, 0.4});
  const std::vector<uint8_t> front = DiscPicture(160, 78.4, 81.2, 76.5);
  ASSERT_TRUE(WriteBmpPicture({pair.data(), 320, 160}, SaveShape::Sphere, Path("pair.bmp")).ok());
  ASSERT_EQ(Run({"--find-circle", "--dual", Path("pair.bmp")}), 0) << err_.str();
  std::istringstream line(out_.str());
  std::string name;
  double circle[6] = {};
  line >> name;
  for (double& value : circle) line >> value;
  const double expected[6] = {78.4, 81.2, 76.5, 81.6, 79.3, 77.25};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(circle[i], expected[i], 0.5) << i;
  std::string given = out_.str().substr(name.size() + 1, out_.str().size() - name.size() - 2);
  std::replace(given.begin(), given.end(), ' ', ',');

  // Without --dual one circle is looked for, and the two are a hint.
  const std::vector<std::vector<std::string>> kWithoutDual = {{"--find-circle", Path("pair.bmp")},
                                                              {"--circle", "auto", Path("pair.bmp")}};
  for (const std::vector<std::string>& args : kWithoutDual) {
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(err_.str().find("two lenses side by side: add --dual"), std::string::npos) << err_.str();
  }

  ASSERT_EQ(Run({"--dual", "--fov", "200", "--circle", "auto", "--align", "-o", Path("auto.bmp"), Path("pair.bmp")}), 0)
      << err_.str();
  const auto printed = PrintedBackLens(err_.str());
  ASSERT_TRUE(printed) << err_.str();
  ASSERT_EQ(Run({"--dual", "--fov", "200", "--circle", given, "--back-yaw", (*printed)[0], "--back-pitch",
                 (*printed)[1], "--back-roll", (*printed)[2], "-o", Path("given.bmp"), Path("pair.bmp")}),
            0)
      << err_.str();
  const std::vector<uint8_t> sphere = ReadBytes(Path("auto.bmp"));
  EXPECT_EQ(sphere, ReadBytes(Path("given.bmp")));
  int32_t width = 0, height = 0;
  ASSERT_TRUE(ReadBmpSize(sphere, width, height).ok());
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 160);
  // One circle given is both lenses' circle.
  ASSERT_EQ(Run({"--dual", "--circle", "80,80,78", "-o", Path("one.bmp"), Path("pair.bmp")}), 0) << err_.str();
  ASSERT_EQ(Run({"--dual", "--circle", "80,80,78,80,80,78", "-o", Path("both.bmp"), Path("pair.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("one.bmp")), ReadBytes(Path("both.bmp")));

  ASSERT_TRUE(WriteBmpPicture({const_cast<uint8_t*>(front.data()), 160, 160}, SaveShape::Square, Path("single.bmp")).ok());
  EXPECT_EQ(Run({"--dual", Path("single.bmp")}), 1);
  EXPECT_NE(err_.str().find("is not two lenses side by side"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"--find-circle", "--dual", Path("single.bmp")}), 1);
  EXPECT_NE(err_.str().find("is not two lenses side by side"), std::string::npos) << err_.str();
}

// A calibration file sets the lens: the converter gives the engine's bytes for
// it; a project's two image lines are the two lenses, their poses the
// camera's and the back lens's turn; options the file already sets, and files
// that do not fit, are usage errors.
TEST_F(ConvertTest, CalibrationFilesSetTheLens) {
  // The camera as the project below has it, near enough for the lens fit.
  Lens camera;
  camera.yawDegrees = 10;
  camera.pitchDegrees = 5;
  camera.rollDegrees = 3;
  const BackLensOffset offset = BackOffsetBetween({10, 5, 3}, {-169.2, -5.5, -2.5});
  std::vector<uint8_t> pair = TwoLensPicture(160, {80, 81, 80}, {80.5, 79, 81.6}, offset, camera);
  ASSERT_TRUE(WriteBmpPicture({pair.data(), 320, 160}, SaveShape::Sphere, Path("pair.bmp")).ok());
  // Made at twice the picture's size: the front lens for its half, the back
  // lens for the whole picture, picked by its shift, as projects that load
  // the picture once per lens have it.
  WriteBytes(Path("camera.pto"), [] {
    const std::string text =
        "p f2 w4000 h2000 v360\n"
        "i w320 h320 f3 v200 a0.01 b-0.05 c0.02 d1 e3 g0.5 t-0.25 y10 p5 r3 S2,318,0,320 n\"pair.jpg\"\n"
        "i w640 h320 f3 v196 a=0 b=0 c=0 d162 e-2 g0 t0 y-169.2 p-5.5 r-2.5 n\"pair.jpg\"\n";
    return std::vector<uint8_t>(text.begin(), text.end());
  }());
  ASSERT_EQ(Run({"--dual", "--calibration", Path("camera.pto"), "-o", Path("calibrated.bmp"), Path("pair.bmp")}), 0)
      << err_.str();
  CalibrationFile file;
  ASSERT_TRUE(ReadCalibrationFile(Path("camera.pto"), 2, file).ok());
  DualLens lens;
  lens.front.fovDegrees = 360;
  lens.front.yawDegrees = 10;
  lens.front.pitchDegrees = 5;
  lens.front.rollDegrees = 3;
  lens.back = BackOffsetBetween(*file.lenses[0].pose, *file.lenses[1].pose);
  CalibratedLens placed;
  ASSERT_TRUE(PlaceCalibration(file.lenses[0], 160, 160, placed).ok());
  lens.front.calibrated = std::make_shared<const CalibratedLens>(placed);
  LensCalibration backHalf;
  ASSERT_TRUE(CalibrationOfHalf(file.lenses[1], 320, 160, 160, 160, backHalf).ok());
  ASSERT_TRUE(PlaceCalibration(backHalf, 160, 160, placed).ok());
  // The whole picture's centre 159.5, shifted by 162 at half size, less the
  // half's first column 160.
  EXPECT_DOUBLE_EQ(placed.centreX, 80.5);
  lens.backCalibrated = std::make_shared<const CalibratedLens>(placed);
  std::vector<uint8_t> sphere(4 * 320 * 160, 0);
  StitchDualPicture({pair.data(), 320, 160}, {sphere.data(), 320, 160}, lens, 0);
  ASSERT_TRUE(WriteBmpPicture({sphere.data(), 320, 160}, SaveShape::Sphere, Path("engine.bmp")).ok());
  EXPECT_EQ(ReadBytes(Path("calibrated.bmp")), ReadBytes(Path("engine.bmp")));

  // --align-lens fits each lens's radius factor from the file's poses on, and
  // what it prints is taken back.
  ASSERT_EQ(Run({"--dual", "--calibration", Path("camera.pto"), "--align-lens", "-o", Path("aligned.bmp"),
                 Path("pair.bmp")}),
            0)
      << err_.str();
  const size_t frontAt = err_.str().find("front lens: scale "), backAt = err_.str().find("back lens: scale ");
  ASSERT_NE(frontAt, std::string::npos) << err_.str();
  ASSERT_NE(backAt, std::string::npos) << err_.str();
  std::istringstream printed(err_.str().substr(frontAt));
  std::string words[13];
  for (std::string& word : words) printed >> word;
  EXPECT_EQ(words[3].size(), 6u) << words[3];  // four decimals
  EXPECT_EQ(words[6] + words[8] + words[10], "scaleyawpitch");

  const std::vector<std::pair<std::vector<std::string>, std::string>> kRefused = {
      {{"--calibration", Path("camera.pto"), "--lens", "equisolid"}, "--lens: cannot be given with --calibration"},
      {{"--dual", "--calibration", Path("camera.pto"), "--back-yaw", "1"}, "which sets the back lens's turn"},
      {{"--lens-scale", "1.01"}, "--lens-scale: is for calibrated lenses"},
      {{"--calibration", Path("camera.pto"), "--lens-scale", "1.2"}, "--lens-scale: must be from 0.95 to 1.05"},
      {{"--calibration", Path("camera.pto"), "--lens-scale", "1,1"}, "--lens-scale"},
      {{"--fov", "200,190"}, "--fov: takes one field of view (two, F1,F2, are for --dual)"},
      {{"--dual", "--fov", "200,190,180"}, "--fov: takes one field of view, or two"},
      {{"--calibration", Path("missing.pto")}, "missing.pto"},
      {{"--align-lens"}, "--align-lens requires --dual"},
      // The project was made for a 2:1 picture; one lens is the first line
      // on the whole of this one, which is 2:1 too, but a 3:2 picture is not.
      {{"--calibration", Path("camera.pto"), "-o", Path("x.bmp"), Path("dome.bmp")}, "whose shape is not this one's"},
  };
  for (const auto& [options, message] : kRefused) {
    std::vector<std::string> args = options;
    if (args.back().find(".bmp") == std::string::npos) args.push_back(Path("pair.bmp"));
    EXPECT_EQ(Run(args), 2) << options[0] << " " << options[1];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
  }
  EXPECT_FALSE(fs::exists(Path("pair-panorama.jpg")));
  EXPECT_FALSE(fs::exists(Path("x.bmp")));
}

// The kept 16-bit samples of PNG and TIFF inputs reach a picture saved as
// loaded: every value 8 bits cannot hold, and the 8-bit picture beside them
// their reduction. The inputs are the program's own files, read back by the
// system's decoders.
TEST_F(ConvertTest, SixteenBitSamplesSurviveAPictureSavedAsLoaded) {
  constexpr int32_t kWidth = 74, kHeight = 37;  // 2:1, all of it in the sphere's file
  std::vector<uint16_t> samples(4 * kWidth * kHeight, 0);
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      uint16_t* pixel = &samples[4 * (size_t(y) * kWidth + x)];
      pixel[0] = static_cast<uint16_t>(x * 1000 + y + 1);  // blue
      pixel[1] = static_cast<uint16_t>(65535 - y * 1700 - x);
      pixel[2] = static_cast<uint16_t>((x * 7919 + y * 104729) % 65536);
    }
  }
  const PixelBuffer16 picture{samples.data(), kWidth, kHeight};
  for (const char* input : {"deep.tif", "deep.png"}) {
    ASSERT_TRUE(WritePictureFile16(picture, SaveShape::Sphere, *FormatFromName(input), {}, Path(input)).ok());
    for (const char* output : {"flat.tif", "flat.png"}) {
      SCOPED_TRACE(std::string(input) + " -> " + output);
      ASSERT_EQ(Run({"--force", "--no-transform", "--shape", "sphere", "-o", Path(output), Path(input)}), 0) << err_.str();
      const std::vector<uint8_t> file = ReadBytes(Path(output));
      std::vector<uint8_t> pixels(4 * 2 * kHeight * kHeight);
      PixelStore deep;
      int32_t width = 0, height = 0;
      ASSERT_TRUE(DecodePicture(file, pixels.data(), 2 * kHeight * kHeight, width, height, &deep).ok());
      ASSERT_EQ(width, 2 * kHeight);
      ASSERT_NE(deep, nullptr);
      const auto* kept = reinterpret_cast<const uint16_t*>(deep.get());
      int wrong = 0;
      for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < width; ++x) {
          for (int c = 0; c < 4; ++c) {
            const uint16_t want = samples[4 * (size_t(y) * kWidth + x) + c];
            const size_t at = 4 * (size_t(y) * width + x) + c;
            wrong += kept[at] != want;
            wrong += pixels[at] != (want * 255 + 32767) / 65535;
          }
        }
      }
      EXPECT_EQ(wrong, 0);
    }
  }
  // --format tif names the panorama of a 16-bit picture as it does any other.
  ASSERT_EQ(Run({"--format", "tif", Path("deep.png")}), 0) << err_.str();
  const std::vector<uint8_t> panorama = ReadBytes(Path("deep-panorama.tif"));
  ASSERT_GT(panorama.size(), 8u);
  EXPECT_TRUE(std::equal(panorama.begin(), panorama.begin() + 4, std::begin({'I', 'I', '*', '\0'})));
}

// The output's depth and default name: 16 bits where the input had 16 and
// the format holds them, or --depth 16 asks; a 16-bit input's panorama is
// made in 16 bits whatever it is saved in, and an 8-bit file of it is that
// panorama rounded once (ReduceSample).
TEST_F(ConvertTest, DepthFollowsTheInputAndTheFormat) {
  const std::vector<uint16_t> samples = Widened(MakeFPicture(90, 60));
  std::vector<uint16_t> deep = samples;
  // Levels between the 8-bit ones, as a raw developer's file has.
  for (size_t i = 0; i < deep.size(); ++i) deep[i] = i % 4 == 3 ? 0 : static_cast<uint16_t>(deep[i] ^ (i * 131 & 0x7F));
  ASSERT_TRUE(WritePictureFile16({deep.data(), 90, 60}, SaveShape::Rectangle, PictureFormat::Png, {}, Path("deep.png")).ok());
  // Two lenses side by side, stitched in 16 bits.
  std::vector<uint16_t> pair = Widened(MakeFPicture(120, 60));
  for (size_t i = 0; i < pair.size(); ++i) pair[i] = i % 4 == 3 ? 0 : static_cast<uint16_t>(pair[i] ^ (i * 67 & 0x7F));
  ASSERT_TRUE(WritePictureFile16({pair.data(), 120, 60}, SaveShape::Sphere, PictureFormat::Tiff, {}, Path("pair.tif")).ok());
  struct Case {
    std::vector<std::string> options;
    const char* input;
    const char* output;
    int bits;
  };
  const Case cases[] = {
      {{}, "deep.png", "deep-panorama.tif", 16},
      {{"--format", "png"}, "deep.png", "deep-panorama.png", 16},
      {{"--format", "png", "--depth", "8"}, "deep.png", "deep-panorama.png", 8},
      {{"--depth", "8"}, "deep.png", "deep-panorama.jpg", 8},
      {{"--quality", "95"}, "deep.png", "deep-panorama.jpg", 8},
      {{"--format", "bmp"}, "deep.png", "deep-panorama.bmp", 8},
      {{}, "dome.bmp", "dome-panorama.jpg", 8},
      {{"--depth", "16"}, "dome.bmp", "dome-panorama.tif", 16},
      {{"--format", "png", "--depth", "16"}, "dome.bmp", "dome-panorama.png", 16},
      {{"--sharpen", "2", "-o", Path("sharp.tif")}, "deep.png", "sharp.tif", 16},
      {{"--sharpen", "2", "-o", Path("sharp.png"), "--depth", "8"}, "deep.png", "sharp.png", 8},
      {{"--dual", "--fov", "200"}, "pair.tif", "pair-panorama.tif", 16},
      {{"--dual", "--fov", "200", "--format", "png", "--depth", "8"}, "pair.tif", "pair-panorama.png", 8},
      {{"--dual", "--fov", "200", "--format", "png"}, "pair.tif", "pair-panorama.png", 16},
  };
  std::map<std::string, std::vector<uint8_t>> reduced;  // each 16-bit output's samples reduced to 8 bits
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--force", Path(c.input)});
    SCOPED_TRACE(args[0] + " " + c.input);
    ASSERT_EQ(Run(args), 0) << err_.str();
    const std::vector<uint8_t> file = ReadBytes(Path(c.output));
    ASSERT_FALSE(file.empty()) << c.output;
    std::vector<uint8_t> pixels(4 * 120 * 60);
    PixelStore samples16;
    int32_t width = 0, height = 0;
    ASSERT_TRUE(DecodePicture(file, pixels.data(), 120 * 60, width, height, &samples16).ok());
    pixels.resize(4 * static_cast<size_t>(width) * height);
    EXPECT_EQ(samples16 != nullptr, c.bits == 16);
    const std::string key = std::string(c.input) + (std::string(c.output).find("sharp") == 0 ? " sharp" : "");
    if (c.bits == 16) {
      const auto* kept = reinterpret_cast<const uint16_t*>(samples16.get());
      const size_t count = pixels.size();
      // Made in 16 bits: not merely 8-bit levels times 257.
      EXPECT_GT(std::count_if(kept, kept + count, [](uint16_t v) { return v % 257 != 0; }), 1000);
      reduced.emplace(key, pixels);
    } else if (std::string(c.output).ends_with(".png") && reduced.count(key)) {
      EXPECT_TRUE(pixels == reduced[key]) << "the 8-bit file is the 16-bit panorama rounded once";
    }
  }
}

// The window with a 16-bit picture: Transform makes its panorama in 16 bits,
// and Save writes what the converter writes, 16 bits in TIFF and PNG, the
// panorama rounded once in BMP; Save and Sharpen as --sharpen.
TEST_F(ConvertTest, TheWindowSavesASixteenBitPanoramaAsTheConverterDoes) {
  std::vector<uint16_t> deep = Widened(MakeFPicture(90, 60));
  for (size_t i = 0; i < deep.size(); ++i) deep[i] = i % 4 == 3 ? 0 : static_cast<uint16_t>(deep[i] ^ (i * 131 & 0x7F));
  ASSERT_TRUE(WritePictureFile16({deep.data(), 90, 60}, SaveShape::Rectangle, PictureFormat::Png, {}, Path("deep.png")).ok());
  ASSERT_TRUE(LoadFisheyeImage(Path("deep.png")).ok());
  RunTransform();
  SaveAsRectangle = 0;
  struct Case {
    const char* name;
    int sharpen;
    std::vector<std::string> options;
  };
  const Case cases[] = {{"saved.tif", 0, {}}, {"saved.png", 0, {}}, {"saved.bmp", 0, {}}, {"sharp.tif", 1, {"--sharpen", "1"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.sharpen > 0) {
      SharpenLevel -= 32;
      SharpenDisplay();
    }
    ASSERT_TRUE(WriteDisplayFile(Path(std::string("window-") + c.name), *FormatFromName(c.name)).ok());
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--force", "-o", Path(std::string("converter-") + c.name), Path("deep.png")});
    ASSERT_EQ(Run(args), 0) << err_.str();
    EXPECT_TRUE(ReadBytes(Path(std::string("window-") + c.name)) == ReadBytes(Path(std::string("converter-") + c.name)));
  }
}

#ifndef _WIN32
// Photographs through a lens, vignetted and noisy, stored as PNG and TIFF of
// every 8-bit kind, convert to exactly the bytes the same pixels make from a
// BMP file; the program's own PNG and TIFF panoramas read back to its BMP
// panorama's pixels.
TEST_F(ConvertTest, PngAndTiffInputsConvertAsTheSamePixelsInABmpDo) {
  Lens lens;
  lens.fovDegrees = 190;
  lens.pitchDegrees = 80;
  const ImageCircle circle{79.5, 39.5, 38};
  realistic::Picture photo =
      realistic::RenderFisheye(realistic::WorldPhoto("sky.jpg"), 160, 80, lens, circle);
  realistic::Vignette(photo, circle, 0.55);
  realistic::AddNoise(photo, 2.5, 7);
  for (bool grey : {false, true}) {
    picture_files::Samples samples{160, 80, grey ? 1 : 3, 8, {}};
    std::vector<uint8_t> bmpPixels = photo.pixels;
    for (int32_t y = 0; y < 80; ++y) {
      for (int32_t x = 0; x < 160; ++x) {
        uint8_t* pixel = photo.At(x, y);
        uint8_t* same = bmpPixels.data() + (pixel - photo.pixels.data());
        if (grey) {
          samples.values.push_back(pixel[1]);
          same[0] = same[2] = pixel[1];
        } else {
          samples.values.insert(samples.values.end(), {pixel[2], pixel[1], pixel[0]});
        }
      }
    }
    ASSERT_TRUE(WriteBmpPicture({bmpPixels.data(), 160, 80}, SaveShape::Sphere, Path("photo.bmp")).ok());
    ASSERT_EQ(Run({"--force", "-o", Path("from-bmp.bmp"), Path("photo.bmp")}), 0) << err_.str();
    const std::vector<uint8_t> expected = ReadBytes(Path("from-bmp.bmp"));
    const struct {
      const char* name;
      std::vector<uint8_t> file;
    } inputs[] = {
        {"plain.png", picture_files::MakePng(samples)},
        {"interlaced.png", picture_files::MakePng(samples, {false, true})},
        {"lzw-strips.tif", picture_files::MakeTiff(samples, {5})},
        {"deflate-tiles.tif", picture_files::MakeTiff(samples, {8, 32})},
        {"packbits.tif", picture_files::MakeTiff(samples, {32773, 0, 80})},
    };
    for (const auto& input : inputs) {
      SCOPED_TRACE(std::string(input.name) + (grey ? ", grey" : ", colour"));
      // A name that says nothing of the format: the content decides.
      WriteBytes(Path("photo.picture"), input.file);
      ASSERT_EQ(Run({"--force", "-o", Path("out.bmp"), Path("photo.picture")}), 0) << err_.str();
      EXPECT_TRUE(ReadBytes(Path("out.bmp")) == expected);
    }
    int32_t width = 0, height = 0;
    std::vector<uint8_t> panorama(4 * 80 * 80), again(4 * 80 * 80);
    ASSERT_TRUE(DecodePicture(expected, panorama.data(), 80 * 80, width, height).ok());
    for (const char* name : {"out.png", "out.tif"}) {
      SCOPED_TRACE(name);
      ASSERT_EQ(Run({"--force", "-o", Path(name), Path("photo.bmp")}), 0) << err_.str();
      ASSERT_TRUE(DecodePicture(ReadBytes(Path(name)), again.data(), 80 * 80, width, height).ok());
      EXPECT_TRUE(again == panorama);
    }
  }
}
#endif

}  // namespace
