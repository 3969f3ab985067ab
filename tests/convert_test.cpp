#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/app_state.h"
#include "cli/convert.h"
#include "imageio/bmp_writer.h"
#include "imageio/load_picture.h"
#include "test_pictures.h"
#include "transform/parallel_rows.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

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
  ASSERT_EQ(Run({Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(err_.str(), "[1/1] dome.bmp -> dome-panorama.bmp\n");
  EXPECT_EQ(ReadBytes(Path("dome-panorama.bmp")), WindowResult(Path("dome.bmp"), true, 0, 0));

  ASSERT_EQ(Run({"--shape", "rectangle", "--sharpen", "5", "-o", Path("wide"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("wide.bmp")), WindowResult(Path("dome.bmp"), true, 5, 1));

  ASSERT_EQ(Run({"--no-transform", "--output", Path("flat.BMP"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("flat.BMP")), WindowResult(Path("dome.bmp"), false, 0, 0));
}

TEST_F(ConvertTest, TheThreadCountChangesNothingInTheFile) {
  ASSERT_EQ(Run({"--threads", "1", "-o", Path("one.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(TransformThreads, 1);
  ASSERT_EQ(Run({"--threads", "5", "-o", Path("five.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(TransformThreads, 5);
  ASSERT_EQ(Run({"-o", Path("every.bmp"), Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(TransformThreads, 0) << "every core by default";
  EXPECT_EQ(ReadBytes(Path("one.bmp")), ReadBytes(Path("five.bmp")));
  EXPECT_EQ(ReadBytes(Path("one.bmp")), ReadBytes(Path("every.bmp")));
}

TEST_F(ConvertTest, ExistingOutputsNeedForce) {
  WriteBytes(Path("dome-panorama.bmp"), {1, 2, 3});
  EXPECT_EQ(Run({Path("dome.bmp")}), 1);
  EXPECT_NE(err_.str().find("quorvane-convert: " + Path("dome.bmp") + ": "), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("--force"), std::string::npos) << err_.str();
  EXPECT_EQ(ReadBytes(Path("dome-panorama.bmp")), (std::vector<uint8_t>{1, 2, 3}));

  EXPECT_EQ(Run({"--force", Path("dome.bmp")}), 0) << err_.str();
  EXPECT_EQ(ReadBytes(Path("dome-panorama.bmp")).size(), 54u + 4 * 60 * 60);
}

TEST_F(ConvertTest, ABadInputFailsAloneInABatch) {
  fs::copy_file(Path("dome.bmp"), Path("second.bmp"));
  EXPECT_EQ(Run({Path("dome.bmp"), Path("missing.jpg"), Path("second.bmp")}), 1);
  EXPECT_TRUE(fs::exists(Path("dome-panorama.bmp")));
  EXPECT_TRUE(fs::exists(Path("second-panorama.bmp")));
  EXPECT_FALSE(fs::exists(Path("missing-panorama.bmp")));
  const std::string log = err_.str();
  EXPECT_NE(log.find("[2/3] missing.jpg -> missing-panorama.bmp\n"), std::string::npos) << log;
  EXPECT_NE(log.find("quorvane-convert: " + Path("missing.jpg") + ": cannot read the file"), std::string::npos)
      << log;
  EXPECT_NE(log.find("[3/3] second.bmp -> second-panorama.bmp\n"), std::string::npos) << log;
}

TEST_F(ConvertTest, UsageErrorsExitWithTwoAndConvertNothing) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--shape", "circle", Path("dome.bmp")},
      {"--sharpen", "-1", Path("dome.bmp")},
      {"--sharpen", "many", Path("dome.bmp")},
      {"-o", Path("x.bmp"), Path("dome.bmp"), Path("dome.bmp")},
      {"--frobnicate", Path("dome.bmp")},
      {"--threads", "0", Path("dome.bmp")},
      {"--threads", "two", Path("dome.bmp")},
  };
  for (const auto& args : wrong) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "(nothing)" : args[0]);
    EXPECT_FALSE(err_.str().empty());
  }
  EXPECT_FALSE(fs::exists(Path("dome-panorama.bmp")));
  EXPECT_FALSE(fs::exists(Path("x.bmp")));

  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_.str(), "quorvane-convert 2.00\n");
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("--sharpen"), std::string::npos);
}

}  // namespace
