// End-to-end tests of the Lens window: what it is given reaches Transform as
// the converter's options do (the saved file and quorvane-convert's, run in
// this process on the same picture, agree byte for byte), it refuses what the
// converter refuses, and Find circle and Align fill it with what the
// converter prints; for one lens and for two side by side, ideal or read
// from a calibration file.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string_view>

#include "cli/convert.h"
#include "imageio/bmp_writer.h"
#include "program_driver.h"
#include "tests/lens_model.h"
#include "transform/dual_lens.h"

namespace {

// The Lens window's controls; OK and Cancel are IDOK and IDCANCEL.
// The driver knows the program's ids as a user's tool would, on its own
// (program_driver.h's Command).
enum LensControl : int {
  kModel = 3001,
  kFov,
  kCentreX,
  kCentreY,
  kRadius,
  kFind,
  kReset,
  kYaw,
  kPitch,
  kRoll,
  kHeight,
  kTwoLenses = 3013,
  kBackX,
  kBackY,
  kBackRadius,
  kBackYaw,
  kBackPitch,
  kBackRoll,
  kAlign,
  kCalibration,
  kCalibrationName,
  kBackFov,
  kFitLenses,
};
// Positions in the model list; the last there only with a calibration.
enum ModelItem : int { kEquidistant, kEquisolid, kStereographic, kOrthographic, kFromCalibration };

// The full path of a work file, as a file dialog gives it back (the
// converter's messages quote the path they are given).
std::wstring WorkFile(const std::wstring& name) {
  wchar_t full[MAX_PATH] = {};
  if (GetFullPathNameW((Paths.work + L"\\" + name).c_str(), MAX_PATH, full, nullptr) == 0)
    throw DriverError("no full path for " + Narrow(name));
  return full;
}

// Writes `bytes` as the file `name` in the work folder; returns its path.
std::wstring WriteWorkFile(const std::wstring& name, std::string_view bytes) {
  const std::wstring path = WorkFile(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) throw DriverError("cannot write " + Narrow(path));
  return path;
}

// Writes `picture` whole (its square, or for a 2:1 picture its sphere) as the
// BMP file `name` in the work folder.
std::wstring WriteBmp(const PixelBuffer& picture, SaveShape shape, const std::wstring& name) {
  std::string bytes;
  EncodeBmp(picture, shape, [&](std::span<const uint8_t> piece) {
    bytes.append(piece.begin(), piece.end());
    return true;
  });
  return WriteWorkFile(name, bytes);
}

// The circle of the picture WriteOffCentreFisheye makes.
constexpr double kCircleX = 112.3;
constexpr double kCircleY = 91.6;
constexpr double kCircleRadius = 71.2;

// A 200 x 200 fisheye picture whose lit circle lies off the centre: colour
// ramps inside (no symmetry), black around, the rim anti-aliased over 4 x 4
// samples a pixel. Written as BMP, whose square of a square picture is all
// of it.
std::wstring WriteOffCentreFisheye() {
  constexpr int32_t kSide = 200;
  std::vector<uint8_t> pixels(4 * kSide * kSide);
  const PixelBuffer picture{pixels.data(), kSide, kSide};
  for (int32_t row = 0; row < kSide; ++row) {
    const int32_t y = kSide - 1 - row;  // y down, as the circle's coordinates count
    for (int32_t x = 0; x < kSide; ++x) {
      int inside = 0;
      for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx) {
          const double dx = x - 0.375 + 0.25 * sx - kCircleX;
          const double dy = y - 0.375 + 0.25 * sy - kCircleY;
          inside += dx * dx + dy * dy <= kCircleRadius * kCircleRadius ? 1 : 0;
        }
      uint8_t* p = picture.Pixel(x, row);
      p[0] = static_cast<uint8_t>(inside * (90 + x / 2) / 16);
      p[1] = static_cast<uint8_t>(inside * (120 + y / 2) / 16);
      p[2] = static_cast<uint8_t>(inside * (230 - x / 2) / 16);
    }
  }
  return WriteBmp(picture, SaveShape::Square, L"off-centre.bmp");
}

// The two-lens picture WriteTwoLensPicture makes: each lens's circle in its
// own half, the back lens this far off straight behind and darker.
constexpr ImageCircle kFrontCircle = {101.3, 97.6, 93.4};
constexpr ImageCircle kBackCircle = {97.2, 101.8, 95.1};
constexpr BackLensOffset kBackOffset = {0.9, -0.6, 0.4};

// A 400 x 200 picture of two equidistant 200-degree lenses back to back, as
// our own forward model photographs a textured world; black around.
std::wstring WriteTwoLensPicture() {
  using namespace lens_model;
  constexpr int32_t kHeight = 200;
  std::vector<uint8_t> pixels(8 * kHeight * kHeight);
  const PixelBuffer picture{pixels.data(), 2 * kHeight, kHeight};
  const auto world = [](int channel, Vector3 d) {
    return 0.75 * PatternAt(channel, d) + 28 + 30 * std::sin(23 * d.x + 5 * d.z) * std::cos(19 * d.y - 11 * d.z);
  };
  Lens lens;
  lens.fovDegrees = 200;
  RenderFisheyeInto(picture, 0, kHeight, lens, CameraOf(lens), kFrontCircle, world);
  Lens back = lens;
  back.yawDegrees = 180 + kBackOffset.yawDegrees;
  back.pitchDegrees = kBackOffset.pitchDegrees;
  back.rollDegrees = kBackOffset.rollDegrees;
  RenderFisheyeInto(picture, kHeight, kHeight, lens, CameraOf(back), kBackCircle, world, 0.9);
  return WriteBmp(picture, SaveShape::Sphere, L"two-lenses.bmp");
}

// quorvane-convert run in this process with `arguments`: its exit status,
// what it prints on `out` and what it says beside on `err`.
int RunConverterHere(const std::vector<std::string>& arguments, std::ostringstream& out, std::ostringstream& err) {
  std::vector<const char*> argv = {"quorvane-convert"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return RunConverter(static_cast<int>(argv.size()), argv.data(), out, err);
}

// What quorvane-convert prints, and in `errors` what it says beside.
std::string Converter(const std::vector<std::string>& arguments, std::string* errors = nullptr) {
  std::ostringstream out;
  std::ostringstream err;
  if (RunConverterHere(arguments, out, err) != 0) throw DriverError("quorvane-convert failed: " + err.str());
  if (errors) *errors = err.str();
  return out.str();
}

// Why quorvane-convert refuses its --calibration: the rest of its line.
std::wstring CalibrationRefusal(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  if (RunConverterHere(arguments, out, err) == 0) throw DriverError("quorvane-convert took what it should refuse");
  const std::string said = err.str();
  const size_t at = said.find("--calibration: ");
  if (at == std::string::npos) throw DriverError("quorvane-convert said: " + said);
  const std::string reason = said.substr(at + 15, said.find('\n', at) - at - 15);
  return std::wstring(reason.begin(), reason.end());
}

std::vector<std::wstring> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::wstring> words;
  for (std::string word; in >> word;) words.emplace_back(word.begin(), word.end());
  return words;
}

// The words of the line of `said` that starts with `start`, after it:
// "back lens: fov 197.12 yaw 1.20 ..." gives fov, 197.12, yaw, 1.20, ...
std::vector<std::wstring> PrintedAfter(const std::string& said, const std::string& start) {
  const size_t at = said.find(start);
  if (at == std::string::npos) throw DriverError("quorvane-convert did not print \"" + start + "\": " + said);
  return Words(said.substr(at + start.size(), said.find('\n', at) - at - start.size()));
}

// The BMP file quorvane-convert makes of `input` with `options`.
std::vector<uint8_t> ConverterBmp(const std::wstring& input, std::vector<std::string> options) {
  const std::wstring output = WorkFile(L"converter.bmp");
  options.insert(options.end(), {"--force", "-o", Narrow(output), Narrow(input)});
  Converter(options);
  return ReadFileBytes(output);
}


// Saves through the Save dialog as the BMP file `name` in the work folder.
std::wstring SaveAs(ProgramRun& run, HWND mainWindow, const std::wstring& name) {
  const std::wstring path = WorkFile(name);
  DeleteFileW(path.c_str());
  PostCommand(mainWindow, ID_SAVE);
  HWND dialog = run.WaitForDialog(L" Select name [BMP]");
  ChooseInFileDialog(dialog, path);
  run.WaitUntilGone(dialog, "the save dialog");
  run.Settle(mainWindow);
  return path;
}

void Transform(ProgramRun& run, HWND mainWindow) {
  PostCommand(mainWindow, ID_TRANSFORM);
  run.Settle(mainWindow);
}

HWND OpenLensWindow(ProgramRun& run, HWND mainWindow) {
  PostCommand(mainWindow, ID_LENS_SETTINGS);
  HWND lens = run.WaitForDialog(L"Lens");
  run.Settle(lens);
  return lens;
}

std::wstring Field(HWND lens, int id) { return ControlText(Child(lens, id)); }

std::vector<std::wstring> CircleFields(HWND lens) {
  return {Field(lens, kCentreX), Field(lens, kCentreY), Field(lens, kRadius)};
}

std::vector<std::wstring> BackCircleFields(HWND lens) {
  return {Field(lens, kBackX), Field(lens, kBackY), Field(lens, kBackRadius)};
}

std::vector<std::wstring> BackAngleFields(HWND lens) {
  return {Field(lens, kBackYaw), Field(lens, kBackPitch), Field(lens, kBackRoll)};
}

bool TwoLensesChecked(HWND lens) { return SendMessageW(Child(lens, kTwoLenses), BM_GETCHECK, 0, 0) == BST_CHECKED; }

// Clicks "Two lenses, side by side" when it does not show `checked`.
void CheckTwoLenses(ProgramRun& run, HWND lens, bool checked) {
  if (TwoLensesChecked(lens) == checked) return;
  Press(Child(lens, kTwoLenses));
  run.Settle(lens);
}

void Type(HWND lens, int id, const std::wstring& text) { TypeInto(Child(lens, id), text); }

// As a pick in the list tells the window.
void PickModel(ProgramRun& run, HWND lens, ModelItem item) {
  HWND list = Child(lens, kModel);
  SendMessageW(list, CB_SETCURSEL, item, 0);
  SendMessageW(lens, WM_COMMAND, MAKEWPARAM(kModel, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
  run.Settle(lens);
}

LRESULT ModelShown(HWND lens) { return SendMessageW(Child(lens, kModel), CB_GETCURSEL, 0, 0); }

// Presses OK or Cancel; returns once the window is gone.
void Close(ProgramRun& run, HWND mainWindow, HWND lens, int button) {
  Press(Child(lens, button));
  run.WaitUntilGone(lens, button == IDOK ? "the Lens window after OK" : "the Lens window after Cancel");
  run.Settle(mainWindow);
}

// Picks `path` through the Lens window's Calibration... button.
void PickCalibration(ProgramRun& run, HWND lens, const std::wstring& path) {
  Press(Child(lens, kCalibration));
  HWND dialog = run.WaitForDialog(L"Choose a lens calibration");
  ChooseInFileDialog(dialog, path);
  run.WaitUntilGone(dialog, "the calibration dialog");
  run.Settle(lens);
}

// What the model list shows, and the file name beneath it.
std::vector<std::wstring> ModelAndFile(HWND lens) {
  return {ControlText(Child(lens, kModel)), Text(Child(lens, kCalibrationName))};
}

// Waits for the program's message and closes it.
MessageBoxView TakeMessage(ProgramRun& run) {
  HWND box = run.WaitForDialog(L"Quorvane");
  const MessageBoxView view = ReadMessageBox(box);
  Press(Child(box, IDOK));
  run.WaitUntilGone(box, "the message box");
  return view;
}

TEST(LensWindow, ItsSettingsGiveTheConvertersBytes) {
  const std::wstring fisheye = WriteOffCentreFisheye();
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, fisheye);

  // Equisolid: the field of view left at the old model's default follows to
  // the new one's.
  HWND lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(GetWindow(lens, GW_OWNER), mainWindow);
  EXPECT_FALSE(IsWindowEnabled(mainWindow)) << "the Lens window is modal";
  const RECT size = DialogRect(DialogFontBaseUnits(), 0, 0, 190, 356);
  RECT client = {};
  GetClientRect(lens, &client);
  EXPECT_TRUE(client.right == size.right && client.bottom == size.bottom) << "190 x 356 dialog units";
  // Caption and all, inside the main window, left of its buttons.
  RECT place = {};
  RECT buttons = {};
  GetWindowRect(lens, &place);
  GetWindowRect(Child(mainWindow, ID_OPEN), &buttons);
  const RECT mainClient = ClientOnScreen(mainWindow);
  EXPECT_TRUE(place.left >= mainClient.left && place.top >= mainClient.top && place.right <= buttons.left &&
              place.bottom <= mainClient.bottom)
      << "the Lens window at " << place.left << "," << place.top << " to " << place.right << "," << place.bottom;
  std::vector<int> tabOrder;
  for (HWND child = GetWindow(lens, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) tabOrder.push_back(GetDlgCtrlID(child));
  EXPECT_EQ(tabOrder, (std::vector<int>{kModel, kCalibration, kFov, kBackFov, kTwoLenses, kCentreX, kCentreY, kRadius,
                                        kBackX, kBackY, kBackRadius, kFind, kReset, kYaw, kPitch, kRoll, kBackYaw,
                                        kBackPitch, kBackRoll, kFitLenses, kAlign, kHeight, IDOK, IDCANCEL}));
  // One lens: the back lens's controls wait for "Two lenses".
  EXPECT_FALSE(TwoLensesChecked(lens));
  for (int id : {kBackFov, kBackX, kBackY, kBackRadius, kBackYaw, kBackPitch, kBackRoll, kFitLenses, kAlign})
    EXPECT_FALSE(IsWindowEnabled(Child(lens, id))) << "control " << id;
  EXPECT_EQ(ModelShown(lens), kEquidistant);
  EXPECT_EQ(Field(lens, kFov), L"198");
  EXPECT_EQ(CircleFields(lens), (std::vector<std::wstring>{L"99.50", L"99.50", L"100.00"}));
  EXPECT_EQ(Field(lens, kHeight), L"0");
  PickModel(run, lens, kEquisolid);
  EXPECT_EQ(Field(lens, kFov), L"180");
  Type(lens, kCentreX, L"104.5");
  Type(lens, kCentreY, L" 96.25");
  Type(lens, kRadius, L"+80");
  Close(run, mainWindow, lens, IDOK);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"equisolid.bmp"),
                    ConverterBmp(fisheye, {"--lens", "equisolid", "--fov", "180", "--circle", "104.5,96.25,80"})));

  // A picture of another size: the model stays, the circle is its centred one.
  LoadThroughOpenDialog(run, mainWindow, Paths.picture);
  lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(ModelShown(lens), kEquisolid);
  EXPECT_EQ(CircleFields(lens), (std::vector<std::wstring>{L"31.50", L"23.50", L"24.00"}));
  PickModel(run, lens, kEquidistant);
  EXPECT_EQ(Field(lens, kFov), L"198");
  Type(lens, kPitch, L"90");
  Close(run, mainWindow, lens, IDOK);
  PostCommand(mainWindow, ID_SAVE_SPHERE);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"zenith-sphere.bmp"),
                    ConverterBmp(Paths.picture, {"--pitch", "90", "--shape", "sphere"})));
}

TEST(LensWindow, RefusesWhatTheConverterRefusesAndCancelChangesNothing) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, Paths.picture);
  HWND lens = OpenLensWindow(run, mainWindow);

  // Each value alone in its field; the message names the field and its range.
  struct Case {
    ModelItem model;
    bool twoLenses;
    int field;
    const wchar_t* typed;
    const wchar_t* named;
    const wchar_t* range;
  };
  const Case kCases[] = {
      {kEquidistant, false, kFov, L"360.01", L"field of view", L"from 10 to 360 degrees for the equidistant"},
      {kEquidistant, false, kFov, L"9,5", L"field of view", L"from 10 to 360 degrees"},
      {kOrthographic, false, kFov, L"180.01", L"field of view", L"from 10 to 180 degrees for the orthographic"},
      {kEquidistant, false, kCentreY, L"nan", L"centre Y", L"number"},
      // No number: NaN, infinities and values beyond a double's range.
      {kEquidistant, false, kFov, L"inf", L"field of view", L"from 10 to 360 degrees"},
      {kEquidistant, false, kYaw, L"nan", L"yaw", L"from -360 to 360 degrees"},
      {kEquidistant, false, kRoll, L"-1e400", L"roll", L"from -360 to 360 degrees"},
      {kEquidistant, false, kCentreX, L"1e300", L"circle", L"no pixel inside its picture"},
      {kEquidistant, false, kRadius, L"0", L"radius", L"above 0"},
      {kEquidistant, false, kPitch, L"90.01", L"pitch", L"from -90 to 90 degrees"},
      {kEquidistant, false, kRoll, L"-360.5", L"roll", L"from -360 to 360 degrees"},
      {kEquidistant, false, kHeight, L"7072", L"height", L"from 1 to 7071 for Save as square"},
      {kEquidistant, false, kHeight, L"100.5", L"height", L"whole number"},
      // Two lenses: wide enough to overlap, the sphere's height.
      {kEquidistant, true, kFov, L"185", L"field of view", L"above 185, up to 360 degrees"},
      {kOrthographic, true, kFov, L"180", L"field of view", L"above 185 degrees"},
      {kEquidistant, true, kBackYaw, L"180.5", L"back yaw", L"from -180 to 180 degrees"},
      {kEquidistant, true, kBackPitch, L"nan", L"back pitch", L"from -90 to 90 degrees"},
      {kEquidistant, true, kBackRoll, L"1e400", L"back roll", L"from -180 to 180 degrees"},
      {kEquidistant, true, kBackFov, L"185", L"back field of view", L"above 185, up to 360 degrees"},
      {kEquidistant, true, kHeight, L"5001", L"height", L"from 1 to 5000 for the sphere two lenses make"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(Narrow(c.typed));
    CheckTwoLenses(run, lens, c.twoLenses);
    PickModel(run, lens, c.model);
    const std::wstring shown = Field(lens, c.field);
    Type(lens, c.field, c.typed);
    Press(Child(lens, IDOK));
    const MessageBoxView view = TakeMessage(run);
    EXPECT_EQ(view.owner, lens);
    EXPECT_NE(view.text.find(c.named), std::wstring::npos) << Narrow(view.text);
    EXPECT_NE(view.text.find(c.range), std::wstring::npos) << Narrow(view.text);
    run.Settle(lens);
    EXPECT_TRUE(IsWindowVisible(lens)) << "the window stays open";
    Type(lens, c.field, shown);
  }

  // Cancel after all that: the program's own lens still transforms.
  Type(lens, kPitch, L"45");
  CheckTwoLenses(run, lens, true);
  Close(run, mainWindow, lens, IDCANCEL);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"cancelled.bmp"), ConverterBmp(Paths.picture, {})));

  // The height's limit is that of the shape Save Options holds; every limit
  // itself is taken.
  PostCommand(mainWindow, ID_SAVE_SPHERE);
  lens = OpenLensWindow(run, mainWindow);
  Type(lens, kHeight, L"5001");
  Press(Child(lens, IDOK));
  const std::wstring text = TakeMessage(run).text;
  EXPECT_NE(text.find(L"from 1 to 5000 for Save as sphere"), std::wstring::npos) << Narrow(text);
  const std::pair<int, const wchar_t*> kLimits[] = {
      {kFov, L"360"}, {kYaw, L"-360"}, {kPitch, L"90"}, {kRoll, L"360"}, {kHeight, L"5000"}};
  for (const auto& [field, typed] : kLimits) Type(lens, field, typed);
  Close(run, mainWindow, lens, IDOK);
  lens = OpenLensWindow(run, mainWindow);
  for (const auto& [field, typed] : kLimits) EXPECT_EQ(Field(lens, field), typed) << "field " << field;
  Close(run, mainWindow, lens, IDCANCEL);
}

TEST(LensWindow, FindCircleTakesTheCircleTheConverterPrints) {
  const std::wstring fisheye = WriteOffCentreFisheye();
  // "FILE X Y R"
  std::istringstream printed(Converter({"--find-circle", Narrow(fisheye)}).substr(Narrow(fisheye).size()));
  std::string x, y, radius;
  printed >> x >> y >> radius;
  ASSERT_NEAR(std::stod(x), kCircleX, 0.2);
  ASSERT_NEAR(std::stod(y), kCircleY, 0.2);
  ASSERT_NEAR(std::stod(radius), kCircleRadius, 0.2);
  const std::vector<std::wstring> found = {std::wstring(x.begin(), x.end()), std::wstring(y.begin(), y.end()),
                                           std::wstring(radius.begin(), radius.end())};

  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  // Nothing loaded: the menu item and the window's button say so; the rest
  // of the window works.
  auto expectNothingLoaded = [](const MessageBoxView& view) {
    EXPECT_EQ(view.text.rfind(L"Cannot find the image circle", 0), 0u) << Narrow(view.text);
    EXPECT_NE(view.text.find(L"fisheye picture is loaded"), std::wstring::npos) << Narrow(view.text);
  };
  PostCommand(mainWindow, ID_FIND_CIRCLE);
  MessageBoxView view = TakeMessage(run);
  EXPECT_EQ(view.owner, mainWindow);
  expectNothingLoaded(view);
  HWND lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(CircleFields(lens), (std::vector<std::wstring>{L"", L"", L""}));
  EXPECT_FALSE(IsWindowEnabled(Child(lens, kCentreX)));
  Press(Child(lens, kFind));
  view = TakeMessage(run);
  EXPECT_EQ(view.owner, lens);
  expectNothingLoaded(view);
  run.Settle(lens);
  EXPECT_TRUE(IsWindowVisible(lens));
  Type(lens, kRoll, L"-12.5");
  Close(run, mainWindow, lens, IDOK);
  lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(Field(lens, kRoll), L"-12.5");
  Type(lens, kRoll, L"0");
  Close(run, mainWindow, lens, IDOK);

  LoadThroughOpenDialog(run, mainWindow, fisheye);
  PostCommand(mainWindow, ID_FIND_CIRCLE);
  run.Settle(mainWindow);
  EXPECT_EQ(run.Windows().size(), 1u) << "Find circle found it without a word";
  lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(CircleFields(lens), found);
  // Reset, then the window's own Find.
  Press(Child(lens, kReset));
  run.Settle(lens);
  EXPECT_EQ(CircleFields(lens), (std::vector<std::wstring>{L"99.50", L"99.50", L"100.00"}));
  Press(Child(lens, kFind));
  run.Settle(lens);
  EXPECT_EQ(CircleFields(lens), found);
  Close(run, mainWindow, lens, IDCANCEL);

  // The circle is drawn over the picture on the screen only: saved now, the
  // file is the picture as loaded, the very bytes it was loaded from.
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"found.bmp"), ReadFileBytes(fisheye)));
}

// A message of the program's that says it cannot `what`, because of `why`.
void ExpectCannot(const MessageBoxView& view, const wchar_t* what, const wchar_t* why) {
  EXPECT_EQ(view.text.rfind(std::wstring(L"Cannot ") + what, 0), 0u) << Narrow(view.text);
  EXPECT_NE(view.text.find(why), std::wstring::npos) << Narrow(view.text);
}

TEST(LensWindow, TwoLensesGiveTheConvertersSphere) {
  const std::wstring picture = WriteTwoLensPicture();
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, picture);

  // Checked, the circle fields hold each half's centred circle and the back
  // lens's controls open.
  HWND lens = OpenLensWindow(run, mainWindow);
  EXPECT_EQ(CircleFields(lens), (std::vector<std::wstring>{L"199.50", L"99.50", L"100.00"}));
  CheckTwoLenses(run, lens, true);
  const std::vector<std::wstring> centred = {L"99.50", L"99.50", L"100.00"};
  EXPECT_EQ(CircleFields(lens), centred);
  EXPECT_EQ(BackCircleFields(lens), centred);
  for (int id : {kBackX, kBackY, kBackRadius, kBackYaw, kBackPitch, kBackRoll, kAlign})
    EXPECT_TRUE(IsWindowEnabled(Child(lens, id))) << "control " << id;
  const std::pair<int, const wchar_t*> kTyped[] = {
      {kFov, L"200"},        {kCentreX, L"101.3"}, {kCentreY, L"97.6"},    {kRadius, L"93.4"},
      {kBackX, L"97.2"},     {kBackY, L"101.8"},   {kBackRadius, L"95.1"}, {kYaw, L"30"},
      {kBackYaw, L"1.2"},    {kBackPitch, L"-0.8"}, {kBackRoll, L"0.6"},
  };
  for (const auto& [field, typed] : kTyped) Type(lens, field, typed);
  Close(run, mainWindow, lens, IDOK);
  PostCommand(mainWindow, ID_SAVE_SPHERE);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"two-lenses-sphere.bmp"),
                        ConverterBmp(picture, {"--dual", "--fov", "200", "--circle", "101.3,97.6,93.4,97.2,101.8,95.1",
                                               "--yaw", "30", "--back-yaw", "1.2", "--back-pitch", "-0.8",
                                               "--back-roll", "0.6"})));
  lens = OpenLensWindow(run, mainWindow);
  EXPECT_TRUE(TwoLensesChecked(lens));
  for (const auto& [field, typed] : kTyped)
    EXPECT_EQ(std::stod(Field(lens, field)), std::stod(typed)) << "field " << field;
  Close(run, mainWindow, lens, IDCANCEL);

  // A picture that is not two lenses side by side: Transform says why, and
  // keeps the sphere on the screen.
  LoadThroughOpenDialog(run, mainWindow, Paths.picture);
  Transform(run, mainWindow);
  const MessageBoxView view = TakeMessage(run);
  EXPECT_EQ(view.owner, mainWindow);
  ExpectCannot(view, L"transform", L"64 x 48 pixels");
}

TEST(LensWindow, WithTwoLensesFindAndAlignTakeWhatTheConverterPrints) {
  const std::wstring picture = WriteTwoLensPicture();
  const std::string name = Narrow(picture);
  // "FILE X Y R X2 Y2 R2"
  const std::vector<std::wstring> found = Words(Converter({"--find-circle", "--dual", name}).substr(name.size()));
  ASSERT_EQ(found.size(), 6u);
  const ImageCircle truth[] = {kFrontCircle, kBackCircle};
  for (int lens = 0; lens < 2; ++lens) {
    ASSERT_NEAR(std::stod(found[3 * lens]), truth[lens].x, 0.5);
    ASSERT_NEAR(std::stod(found[3 * lens + 1]), truth[lens].y, 0.5);
    ASSERT_NEAR(std::stod(found[3 * lens + 2]), truth[lens].radius, 0.5);
  }
  std::string circles;
  for (const std::wstring& number : found) {
    if (!circles.empty()) circles += ',';
    circles += Narrow(number);
  }
  // "back lens: yaw 1.20 pitch -0.80 roll 0.60"
  std::string said;
  const std::string output = Narrow(WorkFile(L"aligned.bmp"));
  Converter({"--dual", "--fov", "200", "--circle", circles, "--align", "--force", "-o", output, name}, &said);
  const std::vector<std::wstring> words = PrintedAfter(said, "back lens:");
  ASSERT_EQ(words.size(), 6u) << said;
  ASSERT_EQ((std::vector<std::wstring>{words[0], words[2], words[4]}),
            (std::vector<std::wstring>{L"yaw", L"pitch", L"roll"}))
      << said;
  const std::vector<std::wstring> aligned = {words[1], words[3], words[5]};

  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  // Nothing loaded, then a picture that is not 2:1: Align says why it cannot.
  HWND lens = OpenLensWindow(run, mainWindow);
  CheckTwoLenses(run, lens, true);
  Press(Child(lens, kAlign));
  MessageBoxView view = TakeMessage(run);
  EXPECT_EQ(view.owner, lens);
  ExpectCannot(view, L"align the two lenses", L"fisheye picture is loaded");
  run.Settle(lens);
  Close(run, mainWindow, lens, IDOK);
  LoadThroughOpenDialog(run, mainWindow, Paths.picture);
  lens = OpenLensWindow(run, mainWindow);
  Press(Child(lens, kAlign));
  ExpectCannot(TakeMessage(run), L"align the two lenses", L"64 x 48 pixels");
  run.Settle(lens);
  Close(run, mainWindow, lens, IDCANCEL);

  // Find circle from the menu takes both circles; Reset and the window's own
  // Find do both.
  LoadThroughOpenDialog(run, mainWindow, picture);
  PostCommand(mainWindow, ID_FIND_CIRCLE);
  run.Settle(mainWindow);
  EXPECT_EQ(run.Windows().size(), 1u) << "Find circle found them without a word";
  lens = OpenLensWindow(run, mainWindow);
  const std::vector<std::wstring> front(found.begin(), found.begin() + 3);
  const std::vector<std::wstring> back(found.begin() + 3, found.end());
  EXPECT_EQ(CircleFields(lens), front);
  EXPECT_EQ(BackCircleFields(lens), back);
  Press(Child(lens, kReset));
  run.Settle(lens);
  const std::vector<std::wstring> centred = {L"99.50", L"99.50", L"100.00"};
  EXPECT_EQ(CircleFields(lens), centred);
  EXPECT_EQ(BackCircleFields(lens), centred);
  Press(Child(lens, kFind));
  run.Settle(lens);
  EXPECT_EQ(CircleFields(lens), front);
  EXPECT_EQ(BackCircleFields(lens), back);

  // Align with the circles found and the field of view typed; what it fills
  // in is what Transform then uses.
  Type(lens, kFov, L"200");
  Press(Child(lens, kAlign));
  run.Settle(lens);
  EXPECT_EQ(BackAngleFields(lens), aligned);
  Close(run, mainWindow, lens, IDOK);
  PostCommand(mainWindow, ID_SAVE_SPHERE);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"aligned-sphere.bmp"),
                        ConverterBmp(picture, {"--dual", "--fov", "200", "--circle", circles, "--back-yaw",
                                               Narrow(aligned[0]), "--back-pitch", Narrow(aligned[1]), "--back-roll",
                                               Narrow(aligned[2])})));
}

// A Hugin project for the picture WriteOffCentreFisheye makes: an
// equidistant lens with a little distortion, shifted onto the circle and
// cropped to it, and the camera's turn.
constexpr char kOffCentreProject[] =
    "# hugin project file\n"
    "p f2 w400 h200 v360\n"
    "i w200 h200 f3 v270 a0.002 b-0.01 c0.004 d12.8 e-7.9 y-20 p10 r5 S41,184,20,164 n\"off-centre.bmp\"\n";

// A camera YAML of a 1920 x 1080 camera, which no 200 x 200 picture fits.
constexpr char kOtherCamera[] =
    "image_width: 1920\n"
    "image_height: 1080\n"
    "camera_matrix: {rows: 3, cols: 3, data: [600.5, 0, 960.25, 0, 601.75, 540.5, 0, 0, 1]}\n"
    "distortion_model: equidistant\n"
    "distortion_coefficients: {rows: 1, cols: 4, data: [0.01, -0.002, 0.0003, -0.00004]}\n";

TEST(LensWindow, ACalibrationPickedGivesTheConvertersBytes) {
  const std::wstring fisheye = WriteOffCentreFisheye();
  const std::wstring project = WriteWorkFile(L"lens.pto", kOffCentreProject);
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, fisheye);
  HWND lens = OpenLensWindow(run, mainWindow);
  PickModel(run, lens, kEquisolid);
  PickCalibration(run, lens, project);
  // The file sets the lens and the camera's turn; its field of view is
  // limited by nothing until one is typed.
  EXPECT_EQ(ModelShown(lens), kFromCalibration);
  EXPECT_EQ(ModelAndFile(lens), (std::vector<std::wstring>{L"From calibration", L"lens.pto"}));
  EXPECT_EQ(Field(lens, kFov), L"360");
  EXPECT_EQ((std::vector{Field(lens, kYaw), Field(lens, kPitch), Field(lens, kRoll)}),
            (std::vector<std::wstring>{L"-20", L"10", L"5"}));
  // A field of view limits the field; a yaw replaces the project's.
  Type(lens, kFov, L"150");
  Type(lens, kYaw, L"30");
  Close(run, mainWindow, lens, IDOK);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"calibrated.bmp"),
                        ConverterBmp(fisheye, {"--calibration", Narrow(project), "--fov", "150", "--yaw", "30"})));

  // A file that cannot be used, unreadable or made for another camera, is
  // refused with the converter's reason and changes nothing.
  const std::pair<const wchar_t*, const char*> kUnusable[] = {
      {L"bad.pto", "p f2 w400 h200 v360\ni w200 h200 f3 v400\n"},
      {L"other-camera.yaml", kOtherCamera},
  };
  lens = OpenLensWindow(run, mainWindow);
  for (const auto& [name, text] : kUnusable) {
    SCOPED_TRACE(Narrow(name));
    const std::wstring path = WriteWorkFile(name, text);
    const std::wstring reason = CalibrationRefusal(
        {"--calibration", Narrow(path), "--force", "-o", Narrow(WorkFile(L"refused.bmp")), Narrow(fisheye)});
    PickCalibration(run, lens, path);
    const MessageBoxView view = TakeMessage(run);
    EXPECT_EQ(view.owner, lens);
    // The message begins the reason with a capital.
    EXPECT_NE(view.text.find(reason.substr(1)), std::wstring::npos) << Narrow(view.text) << "\nnot " << Narrow(reason);
    run.Settle(lens);
    EXPECT_EQ(ModelAndFile(lens), (std::vector<std::wstring>{L"From calibration", L"lens.pto"}));
    EXPECT_EQ(Field(lens, kFov), L"150");
  }

  // Another model ends "From calibration": the ideal lens, the angles kept.
  PickModel(run, lens, kEquisolid);
  EXPECT_EQ(ModelAndFile(lens), (std::vector<std::wstring>{L"Equisolid", L""}));
  EXPECT_EQ(SendMessageW(Child(lens, kModel), CB_GETCOUNT, 0, 0), 4);
  Close(run, mainWindow, lens, IDOK);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(
      SaveAs(run, mainWindow, L"ended.bmp"),
      ConverterBmp(fisheye, {"--lens", "equisolid", "--fov", "150", "--yaw", "30", "--pitch", "10", "--roll", "5"})));

  // So does Reset, the field of view left unlimited becoming the model's.
  lens = OpenLensWindow(run, mainWindow);
  PickCalibration(run, lens, project);
  Press(Child(lens, kReset));
  run.Settle(lens);
  EXPECT_EQ(ModelAndFile(lens), (std::vector<std::wstring>{L"Equisolid", L""}));
  EXPECT_EQ(Field(lens, kFov), L"180");
  Close(run, mainWindow, lens, IDCANCEL);
}

// A Hugin project for the picture WriteTwoLensPicture makes, a line for each
// lens made for its half: equidistant 200-degree lenses shifted onto their
// circles and cropped to them, the back one turned by kBackOffset.
constexpr char kTwoLensProject[] =
    "# hugin project file\n"
    "p f2 w800 h400 v360\n"
    "i w200 h200 f3 v214.13 y0 p0 r0 d1.8 e-1.9 S8.4,195.2,4.7,191.5 n\"front.jpg\"\n"
    "i w200 h200 f3 v210.31 y180.9 p-0.6 r0.4 d-2.3 e2.3 S2.6,192.8,7.2,197.4 n\"back.jpg\"\n";

TEST(LensWindow, WithTwoLensesEachLensTakesTheFieldOfViewOrFactorTheConverterFits) {
  const std::wstring picture = WriteTwoLensPicture();
  const std::string name = Narrow(picture);
  const std::string circles = "101.3,97.6,93.4,97.2,101.8,95.1";
  // "front lens: fov 200.12", "back lens: fov 197.34 yaw 1.20 pitch -0.80 roll 0.60"
  std::string said;
  Converter({"--dual", "--fov", "200,197", "--circle", circles, "--align-lens", "--force", "-o",
             Narrow(WorkFile(L"fitted.bmp")), name},
            &said);
  const std::vector<std::wstring> front = PrintedAfter(said, "front lens:");
  const std::vector<std::wstring> back = PrintedAfter(said, "back lens:");
  ASSERT_EQ(front.size(), 2u) << said;
  ASSERT_EQ(back.size(), 8u) << said;
  ASSERT_EQ((std::vector{front[0], back[0], back[2], back[4], back[6]}),
            (std::vector<std::wstring>{L"fov", L"fov", L"yaw", L"pitch", L"roll"}))
      << said;

  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, picture);
  HWND lens = OpenLensWindow(run, mainWindow);
  CheckTwoLenses(run, lens, true);
  const std::pair<int, const wchar_t*> kTyped[] = {
      {kFov, L"200"},        {kBackFov, L"197"}, {kCentreX, L"101.3"}, {kCentreY, L"97.6"},
      {kRadius, L"93.4"},    {kBackX, L"97.2"},  {kBackY, L"101.8"},   {kBackRadius, L"95.1"},
  };
  for (const auto& [field, typed] : kTyped) Type(lens, field, typed);
  Press(Child(lens, kFitLenses));
  Press(Child(lens, kAlign));
  run.Settle(lens);
  EXPECT_EQ((std::vector{Field(lens, kFov), Field(lens, kBackFov)}), (std::vector{front[1], back[1]}));
  EXPECT_EQ(BackAngleFields(lens), (std::vector{back[3], back[5], back[7]}));
  Close(run, mainWindow, lens, IDOK);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"fitted-sphere.bmp"),
                        ConverterBmp(picture, {"--dual", "--fov", Narrow(front[1]) + "," + Narrow(back[1]), "--circle",
                                               circles, "--back-yaw", Narrow(back[3]), "--back-pitch", Narrow(back[5]),
                                               "--back-roll", Narrow(back[7])})));

  // A project of both lenses sets the back lens's turn; Align searches
  // around it and fits each lens's radius factor, which Transform uses.
  const std::wstring project = WriteWorkFile(L"two lenses.pto", kTwoLensProject);
  const std::wstring converted = WorkFile(L"calibrated-fitted.bmp");
  Converter({"--dual", "--calibration", Narrow(project), "--align-lens", "--force", "-o", Narrow(converted), name},
            &said);
  const std::vector<std::wstring> scaled = PrintedAfter(said, "back lens:");
  ASSERT_EQ(scaled.size(), 8u) << said;
  ASSERT_EQ(scaled[0], L"scale") << said;
  lens = OpenLensWindow(run, mainWindow);
  // The centred circles limit nothing.
  Press(Child(lens, kReset));
  PickCalibration(run, lens, project);
  EXPECT_EQ(ModelAndFile(lens), (std::vector<std::wstring>{L"From calibration", L"two lenses.pto"}));
  for (int id : {kBackYaw, kBackPitch, kBackRoll}) EXPECT_FALSE(IsWindowEnabled(Child(lens, id))) << "control " << id;
  Press(Child(lens, kAlign));
  run.Settle(lens);
  EXPECT_EQ(BackAngleFields(lens), (std::vector{scaled[3], scaled[5], scaled[7]}));
  Close(run, mainWindow, lens, IDOK);
  Transform(run, mainWindow);
  EXPECT_TRUE(FileHolds(SaveAs(run, mainWindow, L"calibrated-sphere.bmp"), ReadFileBytes(converted)));
}

}  // namespace
