// Calibration files: Hugin projects and camera YAML read field by field, the
// same with Windows line ends, and bad files refused naming the file, the
// line or key, and the reason, with the caller's calibration left alone.
#include "transform/calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Image 0 takes v, r and a from image 1 and c through image 2 from image 1
// again; image 1 comes after it.
constexpr const char* kLinkedProject = R"(# hugin project file
#hugin_ptoversion 2
p f2 w4000 h2000 v360  k0 E0 R0 n"TIFF_m c:LZW"
m i0

#-hugin  cropFactor=1
i w3000 h2000 f2 v=1 Ra0 Rb0 Rc0 Rd0 Re0 Eev0 Er1 Eb1 r=1 p-3.5 y12 TrX0 TrY0 TrZ0 Tpy0 Tpp0 j0 a=1 b0.0125 c=2 d10.5 e-3 g0.25 t-0.125 Va1 Vb=1 Vc0 Vd0 Vx0 Vy0 Vm5 S100,2900,-20,2010 n"file name.jpg"
i w3000 h2000 f2 v186.5 r90 p0 y180 a0.002 b0 c-0.03 Vb0.5 n"back.jpg"
i w3000 h2000 f3 v186.5 c=1 n"third.jpg"
v v0 r0
c n0 N1 x1 y2 X3 Y4 t0
)";

constexpr const char* kRosYaml = R"(image_width: 1920
image_height: 1080
camera_name: narrow_stereo/left
camera_matrix:
  rows: 3
  cols: 3
  data: [600.5, 1.2, 960.25, 0, 601.75, 540.5, 0, 0, 1]
distortion_model: equidistant
distortion_coefficients: {rows: 1, cols: 4, data: [0.01, -0.002, 0.0003, -0.00004]}
rectification_matrix:
  rows: 3
  cols: 3
  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]
projection_matrix:
  rows: 3
  cols: 4
  data: [600, 0, 960, 0, 0, 600, 540, 0, 0, 0, 1, 0]
)";

constexpr const char* kOpenCvYaml = R"(%YAML:1.0
---
# written by calibrate_fisheye
K: !!opencv-matrix
   rows: 3
   cols: 3
   dt: d
   data: [ 8.8434537374496128e+02, 0., 1.0245e+03, 0.,
       8.8501e+02, 7.6825e+02, 0., 0., 1. ]
D: !!opencv-matrix
   rows: 4
   cols: 1
   dt: d
   data: [ -4.2e-02, 1.5e-02, -1.0e-02, 2.5e-03 ]
)";

// As `rostopic echo` prints a camera_info message.
constexpr const char* kCameraInfo = R"(height: 1520
width: 1520
distortion_model: "fisheye"
D:
- 0.1
- -0.2
- 0.3
- -0.4
K: [700.0, 0.0, 760.0, 0.0, 701.0, 759.0, 0.0, 0.0, 1.0]
)";

std::string WithWindowsLineEnds(const std::string& text) {
  std::string windows;
  for (char letter : text) windows += letter == '\n' ? std::string("\r\n") : std::string(1, letter);
  return windows;
}

CalibrationFile Parsed(const std::string& name, const std::string& text, int lensesWanted) {
  CalibrationFile file;
  const Result read = ParseCalibration(name, text, lensesWanted, file);
  EXPECT_TRUE(read.ok()) << read.reason();
  // Windows line ends change nothing.
  CalibrationFile again;
  const Result readAgain = ParseCalibration(name, WithWindowsLineEnds(text), lensesWanted, again);
  EXPECT_TRUE(readAgain.ok()) << readAgain.reason();
  EXPECT_EQ(again.lenses.size(), file.lenses.size());
  for (size_t i = 0; i < std::min(again.lenses.size(), file.lenses.size()); ++i) {
    EXPECT_EQ(again.lenses[i].fovDegrees, file.lenses[i].fovDegrees);
    EXPECT_EQ(again.lenses[i].fx, file.lenses[i].fx);
  }
  return file;
}

TEST(CalibrationFileTest, AHuginProjectFollowsLinksBothWays) {
  const CalibrationFile file = Parsed("cam.pto", kLinkedProject, 1);
  EXPECT_TRUE(file.fromProject);
  ASSERT_EQ(file.lenses.size(), 1u);
  const LensCalibration& lens = file.lenses[0];
  EXPECT_EQ(lens.kind, LensCalibration::Kind::Hugin);
  EXPECT_EQ(lens.width, 3000);
  EXPECT_EQ(lens.height, 2000);
  EXPECT_EQ(lens.projectionCode, 2);
  EXPECT_EQ(lens.model, LensModel::Equidistant);
  EXPECT_EQ(lens.fovDegrees, 186.5);
  EXPECT_EQ(lens.a, 0.002);
  EXPECT_EQ(lens.b, 0.0125);
  EXPECT_EQ(lens.c, -0.03);
  EXPECT_EQ(lens.shiftX, 10.5);
  EXPECT_EQ(lens.shiftY, -3);
  EXPECT_EQ(lens.shearX, 0.25);
  EXPECT_EQ(lens.shearY, -0.125);
  ASSERT_TRUE(lens.crop);
  EXPECT_EQ(lens.crop->left, 100);
  EXPECT_EQ(lens.crop->right, 2900);
  EXPECT_EQ(lens.crop->top, -20);
  EXPECT_EQ(lens.crop->bottom, 2010);
  ASSERT_TRUE(lens.pose);
  EXPECT_EQ(lens.pose->yawDegrees, 12);
  EXPECT_EQ(lens.pose->pitchDegrees, -3.5);
  EXPECT_EQ(lens.pose->rollDegrees, 90);
}

TEST(CalibrationFileTest, ATwoLensProjectGivesFrontThenBack) {
  CalibrationFile file;
  const std::string path = QUORVANE_TEST_DATA "/calibration/two lenses.pto";
  const Result read = ReadCalibrationFile(path, 2, file);
  ASSERT_TRUE(read.ok()) << read.reason();
  EXPECT_TRUE(file.fromProject);
  ASSERT_EQ(file.lenses.size(), 2u);
  const LensCalibration& front = file.lenses[0];
  const LensCalibration& back = file.lenses[1];
  EXPECT_EQ(front.model, LensModel::Equidistant);  // f3, full frame
  EXPECT_EQ(back.projectionCode, 21);
  EXPECT_EQ(back.model, LensModel::Equisolid);
  EXPECT_EQ(back.fovDegrees, 195.5);  // linked
  EXPECT_EQ(back.b, -0.02);
  EXPECT_EQ(front.shiftX, 4.5);
  EXPECT_EQ(back.shiftX, -2);
  EXPECT_EQ(back.shiftY, 3.25);
  EXPECT_FALSE(back.crop);
  ASSERT_TRUE(front.pose && back.pose);
  EXPECT_EQ(front.pose->yawDegrees, -1.25);
  EXPECT_EQ(back.pose->yawDegrees, 180.2);
  EXPECT_EQ(back.pose->pitchDegrees, -0.3);
  EXPECT_EQ(back.pose->rollDegrees, 179.5);

  // One lens wanted: the first line alone.
  CalibrationFile one;
  ASSERT_TRUE(ReadCalibrationFile(path, 1, one).ok());
  ASSERT_EQ(one.lenses.size(), 1u);
  EXPECT_EQ(one.lenses[0].fovDegrees, 195.5);
}

TEST(CalibrationFileTest, EachFisheyeProjectionCodeGivesItsModel) {
  const struct {
    int code;
    LensModel model;
  } codes[] = {{2, LensModel::Equidistant},
               {3, LensModel::Equidistant},
               {8, LensModel::Orthographic},
               {10, LensModel::Stereographic},
               {21, LensModel::Equisolid}};
  for (const auto& [code, model] : codes) {
    const CalibrationFile file = Parsed("cam.pto", "i w10 h10 v180 f" + std::to_string(code) + "\n", 1);
    ASSERT_EQ(file.lenses.size(), 1u) << code;
    EXPECT_EQ(file.lenses[0].model, model) << code;
    EXPECT_EQ(file.lenses[0].projectionCode, code);
  }
}

TEST(CalibrationFileTest, CameraYamlOfEachKindGivesOneLensForEveryHalf) {
  const struct {
    const char* text;
    int32_t width, height;
    double fx, fy, cx, cy, skew;
    double k[4];
  } cases[] = {
      {kRosYaml, 1920, 1080, 600.5, 601.75, 960.25, 540.5, 1.2 / 600.5, {0.01, -0.002, 0.0003, -0.00004}},
      {kOpenCvYaml, 0, 0, 8.8434537374496128e+02, 8.8501e+02, 1.0245e+03, 7.6825e+02, 0, {-4.2e-02, 1.5e-02, -1.0e-02, 2.5e-03}},
      {kCameraInfo, 1520, 1520, 700, 701, 760, 759, 0, {0.1, -0.2, 0.3, -0.4}},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.text);
    for (int lensesWanted : {1, 2}) {
      const CalibrationFile file = Parsed("cam.yaml", expected.text, lensesWanted);
      EXPECT_FALSE(file.fromProject);
      ASSERT_EQ(file.lenses.size(), static_cast<size_t>(lensesWanted));
      for (const LensCalibration& lens : file.lenses) {
        EXPECT_EQ(lens.kind, LensCalibration::Kind::KannalaBrandt);
        EXPECT_EQ(lens.width, expected.width);
        EXPECT_EQ(lens.height, expected.height);
        EXPECT_EQ(lens.fx, expected.fx);
        EXPECT_EQ(lens.fy, expected.fy);
        EXPECT_EQ(lens.cx, expected.cx);
        EXPECT_EQ(lens.cy, expected.cy);
        EXPECT_EQ(lens.skew, expected.skew);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(lens.k[i], expected.k[i]) << i;
      }
    }
  }
}

TEST(CalibrationFileTest, BadFilesAreRefusedNamingWhereAndWhy) {
  const std::string kGoodLine = "i w3000 h2000 f2 v180";
  const std::string kRosHead = "camera_matrix: {rows: 3, cols: 3, data: [600, 0, 960, 0, 600, 540, 0, 0, 1]}\n";
  const std::string kRosTail = "distortion_coefficients: {rows: 1, cols: 4, data: [0, 0, 0, 0]}\n";
  const struct {
    const char* name;
    std::string text;
    int lensesWanted;
    std::vector<std::string> words;
  } cases[] = {
      // Any file.
      {"cam.pto", "", 1, {"cam.pto: ", "empty"}},
      {"cam.jpg", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11), 1, {"cam.jpg: line 1", "zero byte"}},
      {"cam.txt", "hello\nworld\n", 1, {"cam.txt: neither a Hugin project nor a camera calibration YAML"}},
      {"cam.pto", "# x\ni " + std::string(70000, 'x') + "\n", 1, {"cam.pto: line 2", "longer than"}},
      {"cam.pto", std::string(5 << 20, '#'), 1, {"cam.pto: ", "larger than 4 MB"}},
      // Hugin projects.
      {"cam.pto",
       "# hugin project file\np f2 w4000 h2000 v360\nm i0\n\ni w3000 h2000 f0 v60\n",
       1,
       {"cam.pto: line 5: image line of projection 0 (rectilinear): only fisheye projections (2, 3, 8, 10, 21) are "
        "taken"}},
      {"cam.pto", "i w3000 h2000 f2 y0\n", 1, {"cam.pto: line 1", "missing value: v"}},
      {"cam.pto", "i w3000 f2 v180\n", 1, {"line 1", "missing value: h"}},
      {"cam.pto", kGoodLine + " b0.5x\n", 1, {"line 1", "b0.5x", "not a number"}},
      {"cam.pto", kGoodLine + " anan\n", 1, {"line 1", "anan", "not a number"}},
      {"cam.pto", kGoodLine + " Vb0,5\n", 1, {"line 1", "Vb0,5", "not a number"}},
      {"cam.pto", "i w3000.5 h2000 f2 v180\n", 1, {"line 1", "w3000.5", "not a whole number"}},
      {"cam.pto", "i w0 h2000 f2 v180\n", 1, {"line 1", "w 0", "at least 1"}},
      {"cam.pto", "i w3000 h2000 f2 v360.5\n", 1, {"line 1", "v 360.5", "at most 360"}},
      {"cam.pto", kGoodLine + " a=3\n" + kGoodLine + "\n", 1, {"line 1", "a=3", "image 3", "has 2"}},
      {"cam.pto", "i w3000 h2000 f2 v=1\ni w3000 h2000 f2 v=0\n", 1, {"line 1", "v: ", "loop"}},
      {"cam.pto", kGoodLine + " a=-1\n", 1, {"line 1", "a=-1", "link"}},
      {"cam.pto", kGoodLine + " TrX0 TrY-0.5\n", 1, {"line 1", "moves the camera: TrY -0.5"}},
      {"cam.pto", kGoodLine + " S100,50,0,10\n", 1, {"line 1", "S 100,50,0,10", "left"}},
      {"cam.pto", kGoodLine + " S100,200,0\n", 1, {"line 1", "S100,200,0", "four numbers"}},
      {"cam.pto", kGoodLine + " n\"no end.jpg\n", 1, {"line 1", "closing quote"}},
      {"cam.pto", kGoodLine + " v190\n", 1, {"line 1", "v is given twice"}},
      {"cam.pto", kGoodLine + " 12\n", 1, {"line 1", "12", "not a key"}},
      {"cam.pto", "# hugin project file\n" + kGoodLine + "\n", 2, {"cam.pto: ", "1 image line", "two are needed"}},
      {"cam.pto", "p f2 w4000 h2000 v360\n", 1, {"cam.pto: ", "0 image lines", "one is needed"}},
      {"cam.pto", [] {
         std::string lines;
         for (int i = 0; i <= 10000; ++i) lines += "i\n";
         return lines;
       }(),
       1, {"line 10001", "more than 10000 image lines"}},
      // YAML that does not read.
      {"cam.yaml", "%YAML:1.0\n---\nK:\n\t rows: 3\n", 1, {"cam.yaml: line 4", "tab"}},
      {"cam.yaml", "%YAML:1.0\n---\nK: !!opencv-matrix\n   data: [ 1, 2,\n   3, 4\n", 1, {"line 4", "[", "never closed"}},
      {"cam.yaml", "%YAML:1.0\nK: [1]\n", 1, {"line 2", "no ---"}},
      {"cam.yaml", "%YAML 2.0\n---\nK: [1]\n", 1, {"line 1", "version"}},
      {"cam.yaml", "K: &m [1]\nD: *m\n", 1, {"line 1", "anchors"}},
      {"cam.yaml", "K: [1]\n---\nD: [1]\n", 1, {"line 2", "second document"}},
      {"cam.yaml", "K: [1]\nK: [2]\n", 1, {"line 2", "K is given twice"}},
      {"cam.yaml", "K: [1]\n  D: [2]\n", 1, {"line 2", "indented"}},
      {"cam.yaml", "K: a: b\n", 1, {"line 1", "second ':'"}},
      {"cam.yaml", "K: \"open\n", 1, {"line 1", "quoted"}},
      {"cam.yaml", "K: |\n  1\n", 1, {"line 1", "block texts"}},
      {"cam.yaml", "K: [1: 2]\n", 1, {"line 1", "expected ',' or ']'"}},
      {"cam.yaml", "K: " + std::string(40, '[') + "\n", 1, {"line 1", "nested more than"}},
      // YAML that reads but is no fisheye calibration.
      {"cam.yaml", kRosHead + "distortion_model: plumb_bob\n" + kRosTail, 1,
       {"cam.yaml: distortion_model", "plumb_bob", "rectilinear lens's model, not a fisheye's"}},
      {"cam.yaml", "%YAML:1.0\n---\nK: [600, 0, 960, 0, 600, 540, 0, 0, 1]\nD: [0.1, 0.01, 0, 0, 0.001]\n", 1,
       {"cam.yaml: D", "5 values", "rectilinear"}},
      {"cam.yaml", kRosHead + "distortion_model: equidistant\ndistortion_coefficients: [0.1, 0.2, 0.3]\n", 1,
       {"distortion_coefficients", "exactly 4"}},
      {"cam.yaml", kRosHead + "distortion_coefficients: {rows: 2, cols: 2, data: [0, 0, 0, 0]}\n", 1,
       {"distortion_coefficients", "2 x 2"}},
      {"cam.yaml", "camera_matrix: {rows: 2, cols: 3, data: [1, 0, 0, 0, 1, 0]}\n" + kRosTail, 1,
       {"cam.yaml: camera_matrix", "2 x 3", "3 x 3"}},
      {"cam.yaml", "camera_matrix: {rows: 3, cols: 3, data: [1, 0, 0, 0, 1, 0, 0, 0]}\n" + kRosTail, 1,
       {"camera_matrix", "8 values", "3 x 3"}},
      {"cam.yaml", "camera_matrix: {rows: 3, cols: 3, data: [600, 0, 960, 0, 600, 540, 0, 0, 2]}\n" + kRosTail, 1,
       {"camera_matrix", "bottom row"}},
      {"cam.yaml", "camera_matrix: {rows: 3, cols: 3, data: [-600, 0, 960, 0, 600, 540, 0, 0, 1]}\n" + kRosTail, 1,
       {"camera_matrix", "fx -600", "more than 0"}},
      {"cam.yaml", "camera_matrix: {rows: 3, cols: 3, data: [600, 0, .nan, 0, 600, 540, 0, 0, 1]}\n" + kRosTail, 1,
       {"camera_matrix", ".nan", "not a number"}},
      {"cam.yaml", "camera_matrix: {rows: 3, cols: 3, data: [1e-300, 1e300, 0, 0, 1, 0, 0, 0, 1]}\n" + kRosTail, 1,
       {"camera_matrix", "skew"}},
      {"cam.yaml", "image_width: 1920\n" + kRosHead + kRosTail, 1, {"cam.yaml: image_height", "missing"}},
      {"cam.yaml", "image_width: -5\nimage_height: 10\n" + kRosHead + kRosTail, 1, {"image_width", "-5"}},
      {"cam.yaml", kRosTail + "D: [0, 0, 0, 0]\n", 1, {"distortion_coefficients", "together with D"}},
      {"cam.yaml", kRosTail, 1, {"cam.yaml: ", "no camera_matrix"}},
      {"cam.yaml", "%YAML:1.0\n---\n- K\n- D\n", 1, {"cam.yaml: ", "not a mapping"}},
  };
  for (const auto& bad : cases) {
    SCOPED_TRACE(bad.text.substr(0, 200));
    CalibrationFile file;
    file.lenses.resize(3);
    const Result read = ParseCalibration(bad.name, bad.text, bad.lensesWanted, file);
    ASSERT_FALSE(read.ok());
    for (const std::string& word : bad.words) EXPECT_NE(read.reason().find(word), std::string::npos) << read.reason();
    EXPECT_EQ(file.lenses.size(), 3u) << "a refused file changed the calibration";
  }
}

TEST(CalibrationFileTest, AFileThatCannotBeReadIsNamed) {
  CalibrationFile file;
  const std::string path = QUORVANE_TEST_DATA "/calibration/no such file.pto";
  const Result read = ReadCalibrationFile(path, 1, file);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.reason().rfind(path + ": ", 0), 0u) << read.reason();
}

}  // namespace
