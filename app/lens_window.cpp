#include "app/lens_window.h"

#include <windows.h>
#include <commdlg.h>

#include <cmath>
#include <cwctype>
#include <optional>
#include <string>
#include <utility>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/main_window.h"
#include "imageio/dialog_pause.h"
#include "imageio/file_dialog.h"
#include "transform/calibration.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/numbers.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

namespace {

// Controls of the Lens window. OK and Cancel are IDOK and IDCANCEL, which
// Enter and Escape send; every label but the calibration's file name shares
// ID_LENS_LABEL.

// A circle's fields: centre X, centre Y, radius. With two lenses the first
// are the front lens's, in the left half's coordinates, the second the back
// lens's, in the right half's.
using CircleFields = int[3];
constexpr CircleFields kCircleFields = {ID_LENS_CENTRE_X, ID_LENS_CENTRE_Y, ID_LENS_RADIUS};
constexpr CircleFields kBackCircleFields = {ID_LENS_BACK_X, ID_LENS_BACK_Y, ID_LENS_BACK_RADIUS};
// What only two lenses use, and only while "Two lenses" is checked is enabled;
// the back lens's angles not while a project sets them.
constexpr int kBackLensControls[] = {ID_LENS_BACK_FOV, ID_LENS_FIT_LENSES, ID_LENS_ALIGN};
constexpr int kBackAngleFields[] = {ID_LENS_BACK_YAW, ID_LENS_BACK_PITCH, ID_LENS_BACK_ROLL};
// The model list's item after the four models, there while a calibration is
// chosen.
constexpr WPARAM kFromCalibration = 4;
// With a calibration a field of view only limits its field; 360 limits
// nothing, as no --fov does.
constexpr double kNoFovLimit = 360.0;

// What the open window keeps beside its controls. Made anew by each opening.
struct LensWindowState {
  SolidBrush blue{kAboutBlue};
  LensModel model = LensModel::Equidistant;  // the model the list shows, or showed before "From calibration"
  bool twoLenses = false;                    // as the box shows: which circles the fields hold
  std::wstring shownCircle[3];               // the circle fields as the window opened
  std::wstring shownBackCircle[3];
  ImageCircle backShown;                     // the back circle those showed, to the last bit
  // The calibration "From calibration" stands for, read for as many lenses as
  // the box shows, and the file it came from; none: the ideal lenses.
  std::optional<CalibrationFile> calibration;
  std::string calibrationPath;
  // Each lens's radius factor as Align last fitted it for the calibration.
  double frontScale = 1.0;
  double backScale = 1.0;
};
LensWindowState* State = nullptr;

// --- Numbers as text ---------------------------------------------------------

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring DecimalText(double value, std::optional<int> places = std::nullopt) {
  return Wide(::DecimalText(value, places));
}

// The field's text as ASCII, or nullopt when it holds anything else (no
// number does).
std::optional<std::string> AsciiOf(const std::wstring& text) {
  std::string ascii;
  for (wchar_t c : text) {
    if (c > 0x7F) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  return ascii;
}

// Read as the converter reads its options.
std::optional<double> NumberIn(const std::wstring& text) {
  const std::optional<std::string> ascii = AsciiOf(text);
  return ascii ? ParseDecimal(*ascii) : std::nullopt;
}

std::optional<int64_t> WholeNumberIn(const std::wstring& text) {
  const std::optional<std::string> ascii = AsciiOf(text);
  return ascii ? ParseWholeNumber(*ascii) : std::nullopt;
}

// --- Fields --------------------------------------------------------------------

std::wstring FieldText(HWND window, int id) {
  HWND field = GetDlgItem(window, id);
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
  return text;
}

void SetField(HWND window, int id, const std::wstring& text) { SetDlgItemTextW(window, id, text.c_str()); }

LensModel ModelShown(HWND window) {
  const LRESULT picked = SendDlgItemMessageW(window, ID_LENS_MODEL, CB_GETCURSEL, 0, 0);
  return static_cast<LensModel>(picked >= 0 && picked < 4 ? picked : 0);
}

// To 0.01 px, as --find-circle prints a circle.
void ShowCircleFields(HWND window, const CircleFields& fields, const ImageCircle& circle) {
  SetField(window, fields[0], DecimalText(circle.x, 2));
  SetField(window, fields[1], DecimalText(circle.y, 2));
  SetField(window, fields[2], DecimalText(circle.radius, 2));
}

bool CircleFieldsShow(HWND window, const CircleFields& fields, const ImageCircle& circle) {
  return FieldText(window, fields[0]) == DecimalText(circle.x, 2) &&
         FieldText(window, fields[1]) == DecimalText(circle.y, 2) &&
         FieldText(window, fields[2]) == DecimalText(circle.radius, 2);
}

bool SameCircle(const ImageCircle& a, const ImageCircle& b) {
  return a.x == b.x && a.y == b.y && a.radius == b.radius;
}

bool Loaded() { return SourceWidth > 0 && SourceHeight > 0; }

// The centred circle: of one lens across the picture, or of the front lens
// in the left half.
ImageCircle CentredCircle(bool twoLenses) {
  return twoLenses ? FrontCircleOf(DualLens{}, SourceWidth, SourceHeight) : DefaultCircle(SourceWidth, SourceHeight);
}

ImageCircle CentredBackCircle() { return BackCircleOf(DualLens{}, SourceWidth, SourceHeight); }

bool TwoLensesChecked(HWND window) { return IsDlgButtonChecked(window, ID_LENS_TWO_LENSES) == BST_CHECKED; }

std::string BaseName(const std::string& path) {
  const size_t folderEnd = path.find_last_of("/\\");
  return folderEnd == std::string::npos ? path : path.substr(folderEnd + 1);
}

// The largest height whose saved picture in `shape` stays within
// kMostPanoramaPixels: 7071 for the square, 5000 for the others.
int64_t TallestPanorama(SaveShape shape) {
  int64_t height = static_cast<int64_t>(std::sqrt(static_cast<double>(kMostPanoramaPixels)));
  while (SavedPixels(shape, height) > kMostPanoramaPixels) --height;
  return height;
}

const char* ShapeName(SaveShape shape) {
  return shape == SaveShape::Sphere ? "sphere" : shape == SaveShape::Rectangle ? "rectangle" : "square";
}

// --- The window ------------------------------------------------------------------

// Rows 15 dialog units apart, a little more between groups: the window fits
// inside the main window below its menu (see ShowLensWindow).
void AddLensControls(HWND window) {
  constexpr DWORD kField = ES_AUTOHSCROLL | WS_TABSTOP;
  constexpr DWORD kButton = BS_PUSHBUTTON | WS_TABSTOP;
  auto label = [&](const wchar_t* text, int x, int y, int width) {
    AddControl(window, L"STATIC", text, SS_LEFT, 0, ID_LENS_LABEL, x, y, width, 8);
  };
  // A row: its label, its field, and the unit after the field.
  auto row = [&](const wchar_t* caption, int id, int y, const wchar_t* unit) {
    label(caption, 10, y + 2, 70);
    AddControl(window, L"EDIT", nullptr, kField, WS_EX_CLIENTEDGE, id, 82, y, 58, 12);
    label(unit, 144, y + 2, 36);
  };
  label(L"&Model:", 10, 10, 70);
  HWND models = AddControl(window, L"COMBOBOX", nullptr, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0,
                           ID_LENS_MODEL, 82, 8, 98, 80);
  for (int32_t model = 0; model < 4; ++model) {
    std::wstring name = Wide(LensModelName(static_cast<LensModel>(model)));
    name[0] = static_cast<wchar_t>(std::towupper(name[0]));
    SendMessageW(models, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  AddControl(window, L"BUTTON", L"&Calibration...", kButton, 0, ID_LENS_CALIBRATION, 10, 24, 62, 13);
  // The calibration's file name, beneath the list that says "From calibration".
  AddControl(window, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, ID_LENS_CALIBRATION_NAME, 82, 27,
             98, 8);
  row(L"&Field of view:", ID_LENS_FOV, 41, L"degrees");
  row(L"Back field of &view:", ID_LENS_BACK_FOV, 56, L"degrees");
  AddControl(window, L"BUTTON", L"&Two lenses, side by side", BS_AUTOCHECKBOX | WS_TABSTOP, 0, ID_LENS_TWO_LENSES,
             10, 72, 170, 10);
  row(L"Circle centre &X:", ID_LENS_CENTRE_X, 86, L"pixels");
  row(L"Circle centre &Y:", ID_LENS_CENTRE_Y, 101, L"pixels");
  row(L"Circle &radius:", ID_LENS_RADIUS, 116, L"pixels");
  row(L"&Back centre X:", ID_LENS_BACK_X, 131, L"pixels");
  row(L"Back ce&ntre Y:", ID_LENS_BACK_Y, 146, L"pixels");
  row(L"Back r&adius:", ID_LENS_BACK_RADIUS, 161, L"pixels");
  AddControl(window, L"BUTTON", L"Fin&d", kButton, 0, ID_LENS_FIND, 82, 176, 42, 14);
  AddControl(window, L"BUTTON", L"R&eset", kButton, 0, ID_LENS_RESET, 128, 176, 42, 14);
  row(L"Ya&w:", ID_LENS_YAW, 194, L"degrees");
  row(L"&Pitch:", ID_LENS_PITCH, 209, L"degrees");
  row(L"R&oll:", ID_LENS_ROLL, 224, L"degrees");
  row(L"Bac&k yaw:", ID_LENS_BACK_YAW, 241, L"degrees");
  row(L"Back p&itch:", ID_LENS_BACK_PITCH, 256, L"degrees");
  row(L"Back ro&ll:", ID_LENS_BACK_ROLL, 271, L"degrees");
  // Two lines, left of the Align it changes.
  AddControl(window, L"BUTTON", L"Fit each len&s's field of view", BS_AUTOCHECKBOX | BS_MULTILINE | WS_TABSTOP, 0,
             ID_LENS_FIT_LENSES, 10, 286, 70, 18);
  AddControl(window, L"BUTTON", L"Ali&gn", kButton, 0, ID_LENS_ALIGN, 82, 288, 42, 14);
  row(L"Panorama &height:", ID_LENS_HEIGHT, 308, L"pixels");
  label(L"0: the picture's height", 82, 322, 98);
  AddControl(window, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, IDOK, 40, 336, 50, 14);
  AddControl(window, L"BUTTON", L"Cancel", kButton, 0, IDCANCEL, 100, 336, 50, 14);
}

// The back lens's circle can be set only for two lenses and a loaded
// picture; the rest of it for two lenses (Align says why it cannot with
// nothing loaded, as Find does), its angles only where no project sets them.
void EnableBackLens(HWND window) {
  const bool twoLenses = TwoLensesChecked(window);
  const bool anglesFromFile = State->calibration && ProjectBackOffset(*State->calibration);
  for (int id : kBackCircleFields) EnableWindow(GetDlgItem(window, id), twoLenses && Loaded());
  for (int id : kBackLensControls) EnableWindow(GetDlgItem(window, id), twoLenses);
  for (int id : kBackAngleFields) EnableWindow(GetDlgItem(window, id), twoLenses && !anglesFromFile);
}

void ShowBackOffset(HWND window, const BackLensOffset& offset, std::optional<int> places = std::nullopt) {
  SetField(window, ID_LENS_BACK_YAW, DecimalText(offset.yawDegrees, places));
  SetField(window, ID_LENS_BACK_PITCH, DecimalText(offset.pitchDegrees, places));
  SetField(window, ID_LENS_BACK_ROLL, DecimalText(offset.rollDegrees, places));
}

// "From calibration" in the list with the file's name beneath it while a
// calibration is chosen; else the model, and no name.
void ShowModel(HWND window) {
  HWND models = GetDlgItem(window, ID_LENS_MODEL);
  const bool listed = SendMessageW(models, CB_GETCOUNT, 0, 0) > static_cast<LRESULT>(kFromCalibration);
  if (State->calibration && !listed) {
    SendMessageW(models, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"From calibration"));
  } else if (!State->calibration && listed) {
    SendMessageW(models, CB_DELETESTRING, kFromCalibration, 0);
  }
  SendMessageW(models, CB_SETCURSEL, State->calibration ? kFromCalibration : static_cast<WPARAM>(State->model), 0);
  // File names are UTF-8, the program's code page.
  SetDlgItemTextA(window, ID_LENS_CALIBRATION_NAME,
                  State->calibration ? BaseName(State->calibrationPath).c_str() : "");
  EnableBackLens(window);
}

// The lens as it holds now. With nothing loaded there is no circle to show:
// its fields and Reset stay empty and disabled, and Find says why it cannot.
// The back circle shows BackCircleChoice, or with none the one two lenses
// would use: the front's, or with one lens chosen (whose circle counts
// across the whole picture) the right half's centred one.
void ShowLensChoice(HWND window) {
  State->model = LensChoice.model;
  State->twoLenses = TwoLensesChoice != 0;
  State->calibration = CalibrationChoice;
  State->calibrationPath = CalibrationPathChoice;
  State->frontScale = LensChoice.radiusScale;
  State->backScale = BackRadiusScaleChoice;
  SetField(window, ID_LENS_FOV, DecimalText(LensChoice.fovDegrees));
  SetField(window, ID_LENS_BACK_FOV, BackFovChoice ? DecimalText(*BackFovChoice) : std::wstring());
  CheckDlgButton(window, ID_LENS_TWO_LENSES, State->twoLenses ? BST_CHECKED : BST_UNCHECKED);
  if (Loaded()) {
    ShowCircleFields(window, kCircleFields,
                     LensChoice.circle ? *LensChoice.circle : CentredCircle(State->twoLenses));
    DualLens lens;
    lens.front = LensChoice;
    lens.backCircle = BackCircleChoice;
    State->backShown = BackCircleChoice  ? *BackCircleChoice
                       : State->twoLenses ? BackCircleOf(lens, SourceWidth, SourceHeight)
                                          : CentredBackCircle();
    ShowCircleFields(window, kBackCircleFields, State->backShown);
  } else {
    for (int id : kCircleFields) EnableWindow(GetDlgItem(window, id), FALSE);
    EnableWindow(GetDlgItem(window, ID_LENS_RESET), FALSE);
  }
  for (int i = 0; i < 3; ++i) {
    State->shownCircle[i] = FieldText(window, kCircleFields[i]);
    State->shownBackCircle[i] = FieldText(window, kBackCircleFields[i]);
  }
  SetField(window, ID_LENS_YAW, DecimalText(LensChoice.yawDegrees));
  SetField(window, ID_LENS_PITCH, DecimalText(LensChoice.pitchDegrees));
  SetField(window, ID_LENS_ROLL, DecimalText(LensChoice.rollDegrees));
  ShowBackOffset(window, BackOffsetChoice);
  CheckDlgButton(window, ID_LENS_FIT_LENSES, FitLensesChoice != 0 ? BST_CHECKED : BST_UNCHECKED);
  SetField(window, ID_LENS_HEIGHT, std::to_wstring(PanoramaHeightChoice));
  ShowModel(window);
}

// The ideal lenses again: the field of view left at the calibration's "no
// limit" follows to the model's default, and the factors Align fitted go.
void EndCalibration(HWND window) {
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  if (fov && *fov == kNoFovLimit) SetField(window, ID_LENS_FOV, DecimalText(DefaultFovDegrees(State->model)));
  State->calibration.reset();
  State->calibrationPath.clear();
  State->frontScale = State->backScale = 1.0;
  ShowModel(window);
}

// A field of view the user left at the old model's default follows the
// model to the new one's default (198 equidistant, 180 the others); one the
// user typed stays. Another model ends "From calibration".
void OnModelChanged(HWND window) {
  const LRESULT picked = SendDlgItemMessageW(window, ID_LENS_MODEL, CB_GETCURSEL, 0, 0);
  if (picked < 0 || picked >= static_cast<LRESULT>(kFromCalibration)) return;
  const LensModel model = static_cast<LensModel>(picked);
  if (State->calibration) {
    State->model = model;
    EndCalibration(window);
    return;
  }
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  if (fov && *fov == DefaultFovDegrees(State->model)) SetField(window, ID_LENS_FOV, DecimalText(DefaultFovDegrees(model)));
  State->model = model;
}

// The file at `path` read for the lenses the box shows (a project's first
// line, or its first two), and placed on the loaded picture to see that it
// fits: the converter's reason when it cannot be used.
Result ReadCalibrationFor(HWND window, const std::string& path, CalibrationFile& file) {
  const bool twoLenses = TwoLensesChecked(window);
  Result read = ReadCalibrationFile(path, twoLenses ? 2 : 1, file);
  if (!read.ok()) return read;
  DualLens unlimited;
  unlimited.front.fovDegrees = kNoFovLimit;
  return PlaceCalibrationOnPicture(file, twoLenses, unlimited);
}

void RefuseCalibration(HWND window, const std::string& path, const Result& refused) {
  ReportFailure(window, "use the calibration", BaseName(path), refused.reason());
}

// Calibration...: a file that cannot be used is refused and changes nothing.
// Read, it replaces the model; its field of view and circle are then only
// limits, none to begin with (the circle left centred limits nothing); a
// project's turn fills the camera's yaw, pitch and roll, which may then be
// changed, and with two lenses the back lens's angles.
void OnCalibration(HWND window) {
  static const std::string kFilter = [] {
    constexpr char kPairs[] = "Lens calibration (*.pto, *.yaml, *.yml)\0*.pto;*.yaml;*.yml\0";
    return std::string(kPairs, sizeof kPairs - 1);
  }();
  std::string path;
  uint32_t flags = OpenFlags & ~static_cast<uint32_t>(OFN_ALLOWMULTISELECT);
  if (ChooseFile(window, "Choose a lens calibration", path, WorkFolder, kFilter, "", flags, OpenDialog) == 0 ||
      IsBlankName(path))
    return;
  CalibrationFile file;
  const Result usable = ReadCalibrationFor(window, path, file);
  if (!usable.ok()) {
    RefuseCalibration(window, path, usable);
    return;
  }
  if (const std::optional<LensPose>& pose = file.lenses.front().pose) {
    SetField(window, ID_LENS_YAW, DecimalText(pose->yawDegrees));
    SetField(window, ID_LENS_PITCH, DecimalText(pose->pitchDegrees));
    SetField(window, ID_LENS_ROLL, DecimalText(pose->rollDegrees));
  }
  if (const std::optional<BackLensOffset> offset = ProjectBackOffset(file)) ShowBackOffset(window, *offset);
  State->calibration = std::move(file);
  State->calibrationPath = path;
  State->frontScale = State->backScale = 1.0;
  SetField(window, ID_LENS_FOV, DecimalText(kNoFovLimit));
  SetField(window, ID_LENS_BACK_FOV, L"");
  ShowModel(window);
}

// Checked or cleared, the circle fields change meaning: a front circle left
// centred follows to the new arrangement's centred circle; one typed or
// found stays. A calibration is read again for the new number of lenses;
// one that cannot serve it keeps the box as it was.
void OnTwoLensesClicked(HWND window) {
  const bool twoLenses = TwoLensesChecked(window);
  if (State->calibration) {
    CalibrationFile file;
    const Result usable = ReadCalibrationFor(window, State->calibrationPath, file);
    if (!usable.ok()) {
      CheckDlgButton(window, ID_LENS_TWO_LENSES, twoLenses ? BST_UNCHECKED : BST_CHECKED);
      RefuseCalibration(window, State->calibrationPath, usable);
      return;
    }
    if (const std::optional<BackLensOffset> offset = ProjectBackOffset(file)) ShowBackOffset(window, *offset);
    State->calibration = std::move(file);
  }
  if (Loaded() && CircleFieldsShow(window, kCircleFields, CentredCircle(State->twoLenses)))
    ShowCircleFields(window, kCircleFields, CentredCircle(twoLenses));
  State->twoLenses = twoLenses;
  EnableBackLens(window);
}

// Find fills the fields only, both circles for two lenses: they become the
// lens's with OK.
void OnFind(HWND window) {
  const std::optional<ImageCircle> kept = LensChoice.circle;
  const std::optional<ImageCircle> keptBack = BackCircleChoice;
  const int32_t keptTwoLenses = TwoLensesChoice;
  TwoLensesChoice = State->twoLenses ? 1 : 0;
  SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  const Result found = FindLensCircle();
  const std::optional<ImageCircle> front = LensChoice.circle;
  const std::optional<ImageCircle> back = BackCircleChoice;
  LensChoice.circle = kept;
  BackCircleChoice = keptBack;
  TwoLensesChoice = keptTwoLenses;
  if (!found.ok()) {
    ReportFailure(window, "find", State->twoLenses ? "the image circles" : "the image circle", found.reason());
    return;
  }
  ShowCircleFields(window, kCircleFields, *front);
  if (State->twoLenses) ShowCircleFields(window, kBackCircleFields, *back);
}

// The centred circles, and the ideal lenses of the model last shown.
void OnReset(HWND window) {
  ShowCircleFields(window, kCircleFields, CentredCircle(State->twoLenses));
  if (State->twoLenses) ShowCircleFields(window, kBackCircleFields, CentredBackCircle());
  if (State->calibration) EndCalibration(window);
}

// Tells the user which field is wrong and what it takes, and puts the caret
// there with its text selected. Always false: OK goes no further.
bool Refuse(HWND window, int id, const std::string& text) {
  MessageBoxA(window, text.c_str(), "Quorvane", MB_OK | MB_ICONEXCLAMATION);
  SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, id)), TRUE);
  return false;
}

// What the fields choose; OK makes it the program's.
struct Choice {
  Lens lens;  // its radiusScale the front lens's factor
  int32_t height = 0;
  bool twoLenses = false;
  std::optional<ImageCircle> backCircle;
  BackLensOffset back;
  std::optional<double> backFov;
  bool fitLenses = false;
  std::optional<CalibrationFile> calibration;
  std::string calibrationPath;
  double backScale = 1.0;
};

Choice HeldChoice() {
  return {LensChoice,    PanoramaHeightChoice, TwoLensesChoice != 0, BackCircleChoice,     BackOffsetChoice,
          BackFovChoice, FitLensesChoice != 0, CalibrationChoice,    CalibrationPathChoice, BackRadiusScaleChoice};
}

void Hold(const Choice& choice) {
  LensChoice = choice.lens;
  PanoramaHeightChoice = choice.height;
  TwoLensesChoice = choice.twoLenses ? 1 : 0;
  BackCircleChoice = choice.backCircle;
  BackOffsetChoice = choice.back;
  BackFovChoice = choice.backFov;
  FitLensesChoice = choice.fitLenses ? 1 : 0;
  CalibrationChoice = choice.calibration;
  CalibrationPathChoice = choice.calibrationPath;
  BackRadiusScaleChoice = choice.backScale;
}

// One circle's fields, `which` ("circle", "back circle") naming it.
// The circle must reach into its picture, `width` x `height` (one half's with
// two lenses).
bool CircleIn(HWND window, const CircleFields& fields, const std::string& which, int32_t width, int32_t height,
              ImageCircle& circle) {
  const std::optional<double> x = NumberIn(FieldText(window, fields[0]));
  if (!x) return Refuse(window, fields[0], "The " + which + "'s centre X must be a number of pixels.");
  const std::optional<double> y = NumberIn(FieldText(window, fields[1]));
  if (!y) return Refuse(window, fields[1], "The " + which + "'s centre Y must be a number of pixels.");
  const std::optional<double> radius = NumberIn(FieldText(window, fields[2]));
  if (!radius || !(*radius > 0))
    return Refuse(window, fields[2], "The " + which + "'s radius must be a number of pixels above 0.");
  circle = {*x, *y, *radius};
  if (!CircleMeetsPicture(circle, width, height)) {
    return Refuse(window, fields[0],
                  "The " + which + " has no pixel inside its picture (" + std::to_string(width) + " x " +
                      std::to_string(height) + "); a circle clipped by the frame must still reach into it.");
  }
  return true;
}

// The circle fields into `circle`. Fields left as the window showed them
// keep the circle as it was (the fields show only two decimals); the
// centred circle is kept as none, so that the program's own lens stays the
// program's own.
bool ReadCircle(HWND window, bool twoLenses, std::optional<ImageCircle>& circle) {
  ImageCircle typed;
  const int32_t width = twoLenses ? FrontHalfWidth(SourceWidth) : SourceWidth;
  if (!CircleIn(window, kCircleFields, "circle", width, SourceHeight, typed)) return false;
  bool unchanged = true;
  for (int i = 0; i < 3; ++i) unchanged = unchanged && FieldText(window, kCircleFields[i]) == State->shownCircle[i];
  if (unchanged) return true;
  if (SameCircle(typed, CentredCircle(twoLenses))) {
    circle.reset();
  } else {
    circle = typed;
  }
  return true;
}

// The back circle's fields into `choice`, once the front's are read. The back
// lens uses what the fields show: kept as none only where that is the
// front's, which none stands for.
bool ReadBackCircle(HWND window, Choice& choice) {
  ImageCircle typed;
  const int32_t width = SourceWidth - FrontHalfWidth(SourceWidth);
  if (!CircleIn(window, kBackCircleFields, "back circle", width, SourceHeight, typed)) return false;
  bool unchanged = true;
  for (int i = 0; i < 3; ++i)
    unchanged = unchanged && FieldText(window, kBackCircleFields[i]) == State->shownBackCircle[i];
  if (unchanged && choice.backCircle) return true;
  const ImageCircle shown = unchanged ? State->backShown : typed;
  DualLens lens;
  lens.front = choice.lens;
  if (SameCircle(shown, BackCircleOf(lens, SourceWidth, SourceHeight))) {
    choice.backCircle.reset();
  } else {
    choice.backCircle = shown;
  }
  return true;
}

struct Angle {
  int id;
  const char* name;
  NumberRange range;
};

bool ReadAngle(HWND window, const Angle& angle, double& degrees) {
  const std::optional<double> typed = NumberIn(FieldText(window, angle.id));
  if (!typed || !InRange(angle.range, *typed)) {
    return Refuse(window, angle.id,
                  std::string("The ") + angle.name + " must be a number " + RangeText(angle.range) + " degrees.");
  }
  degrees = *typed;
  return true;
}

// What a field of view `fov` typed in the field `which` names ("field of
// view", "back field of view") must be, or nullopt when it is that: the
// converter's ranges. With a calibration only a limit; for two ideal lenses
// wide enough to overlap.
std::optional<std::string> FovRefusal(const std::optional<double>& fov, const std::string& which,
                                      const Choice& choice) {
  if (choice.calibration) {
    const NumberRange limits{kNarrowestFovDegrees, kNoFovLimit};
    if (fov && InRange(limits, *fov)) return std::nullopt;
    return "With a calibration the " + which + " only limits the lens's field: it must be a number " +
           RangeText(limits) + " degrees (360: no limit).";
  }
  const LensModel model = choice.lens.model;
  const double widest = WidestFovDegrees(model);
  const std::string modelName = LensModelName(model);
  if (choice.twoLenses && (!fov || !(*fov > kNarrowestDualFovDegrees) || *fov > widest)) {
    const std::string narrowest = std::to_string(static_cast<int>(kNarrowestDualFovDegrees));
    return widest > kNarrowestDualFovDegrees
               ? "With two lenses the " + which + " must be a number above " + narrowest + ", up to " +
                     std::to_string(static_cast<int>(widest)) + " degrees for the " + modelName + " model."
               : "With two lenses the " + which + " must be above " + narrowest + " degrees, which the " +
                     modelName + " model cannot reach.";
  }
  if (!fov || *fov < kNarrowestFovDegrees || *fov > widest) {
    return "The " + which + " must be a number from " + std::to_string(static_cast<int>(kNarrowestFovDegrees)) +
           " to " + std::to_string(static_cast<int>(widest)) + " degrees for the " + modelName + " model.";
  }
  return std::nullopt;
}

// The back lens's own field of view: empty, or the front's, is none (the
// front's, whichever that becomes).
bool ReadBackFov(HWND window, Choice& choice) {
  const std::wstring text = FieldText(window, ID_LENS_BACK_FOV);
  choice.backFov.reset();
  if (text.find_first_not_of(L' ') == std::wstring::npos) return true;
  const std::optional<double> fov = NumberIn(text);
  if (const std::optional<std::string> refusal = FovRefusal(fov, "back field of view", choice))
    return Refuse(window, ID_LENS_BACK_FOV, *refusal);
  if (*fov != choice.lens.fovDegrees) choice.backFov = fov;
  return true;
}

// The two lenses, or the one, as Transform will see `choice`.
DualLens DualLensOf(const Choice& choice) {
  DualLens lens;
  lens.front = choice.lens;
  lens.backCircle = choice.backCircle;
  lens.back = choice.back;
  lens.backFovDegrees = choice.backFov;
  return lens;
}

// The calibration placed on the loaded picture within the limits the fields
// give, as Transform will place it: the fields of view first, then the
// circles too, so that the caret goes where the limit that does not fit is.
bool CalibrationFits(HWND window, const Choice& choice) {
  DualLens fovLimits = DualLensOf(choice);
  fovLimits.front.circle.reset();
  fovLimits.backCircle.reset();
  const std::pair<DualLens, int> kSteps[] = {{fovLimits, ID_LENS_FOV}, {DualLensOf(choice), ID_LENS_CENTRE_X}};
  for (auto [lens, field] : kSteps) {
    const Result placed = PlaceCalibrationOnPicture(*choice.calibration, choice.twoLenses, lens);
    if (!placed.ok()) {
      RefuseCalibration(window, choice.calibrationPath, placed);
      SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, field)), TRUE);
      return false;
    }
  }
  return true;
}

// Every field, in tab order, into `choice`; the first one out of range stops
// it. The ranges are the converter's.
bool ReadFields(HWND window, Choice& choice) {
  Lens& lens = choice.lens;
  choice.calibration = State->calibration;
  choice.calibrationPath = State->calibrationPath;
  // With a calibration the model is unused: the one shown before stays.
  lens.model = State->calibration ? State->model : ModelShown(window);
  lens.radiusScale = State->frontScale;
  choice.backScale = State->backScale;
  choice.twoLenses = TwoLensesChecked(window);
  choice.fitLenses = IsDlgButtonChecked(window, ID_LENS_FIT_LENSES) == BST_CHECKED;
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  if (const std::optional<std::string> refusal = FovRefusal(fov, "field of view", choice))
    return Refuse(window, ID_LENS_FOV, *refusal);
  lens.fovDegrees = *fov;
  if (choice.twoLenses && !ReadBackFov(window, choice)) return false;
  if (Loaded()) {
    if (!ReadCircle(window, choice.twoLenses, lens.circle)) return false;
    if (choice.twoLenses && !ReadBackCircle(window, choice)) return false;
  }
  if (!ReadAngle(window, {ID_LENS_YAW, "yaw", kYawRange}, lens.yawDegrees) ||
      !ReadAngle(window, {ID_LENS_PITCH, "pitch", kPitchRange}, lens.pitchDegrees) ||
      !ReadAngle(window, {ID_LENS_ROLL, "roll", kRollRange}, lens.rollDegrees))
    return false;
  if (choice.twoLenses && (!ReadAngle(window, {ID_LENS_BACK_YAW, "back yaw", kBackYawRange}, choice.back.yawDegrees) ||
                           !ReadAngle(window, {ID_LENS_BACK_PITCH, "back pitch", kBackPitchRange}, choice.back.pitchDegrees) ||
                           !ReadAngle(window, {ID_LENS_BACK_ROLL, "back roll", kBackRollRange}, choice.back.rollDegrees)))
    return false;
  // The saved picture's limit depends on the shape Save Options holds now;
  // two lenses always make the sphere.
  const SaveShape shape = choice.twoLenses ? SaveShape::Sphere : ChosenSaveShape();
  const int64_t tallest = TallestPanorama(shape);
  const std::optional<int64_t> rows = WholeNumberIn(FieldText(window, ID_LENS_HEIGHT));
  if (!rows || *rows < 0 || *rows > tallest) {
    return Refuse(window, ID_LENS_HEIGHT,
                  "The panorama height must be 0 (the picture's height) or a whole number of pixels from 1 to " +
                      std::to_string(tallest) +
                      (choice.twoLenses ? std::string(" for the sphere two lenses make.")
                                        : std::string(" for Save as ") + ShapeName(shape) + "."));
  }
  choice.height = static_cast<int32_t>(*rows);
  return !choice.calibration || !Loaded() || CalibrationFits(window, choice);
}

void OnOk(HWND window) {
  Choice choice = HeldChoice();
  if (!ReadFields(window, choice)) return;
  Hold(choice);
  EndDialog(window, IDOK);
}

// Align fills the back lens's angles only, as the converter prints them, and
// with "Fit each lens's field of view" both fields of view, or with a
// calibration keeps each lens's radius factor: they become the lens's with
// OK. It aligns the lenses the fields describe, starting from the angles
// they show.
void OnAlign(HWND window) {
  Choice choice = HeldChoice();
  if (!ReadFields(window, choice)) return;
  const Choice kept = HeldChoice();
  Hold(choice);
  SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  const Result aligned = AlignLenses();
  const Choice found = HeldChoice();
  Hold(kept);
  if (!aligned.ok()) {
    ReportFailure(window, "align", "the two lenses", aligned.reason());
    return;
  }
  ShowBackOffset(window, found.back, 2);
  if (!choice.fitLenses) return;
  if (choice.calibration) {
    State->frontScale = found.lens.radiusScale;
    State->backScale = found.backScale;
  } else {
    SetField(window, ID_LENS_FOV, DecimalText(found.lens.fovDegrees, 2));
    SetField(window, ID_LENS_BACK_FOV, DecimalText(found.backFov.value_or(found.lens.fovDegrees), 2));
  }
}

void OnCommand(HWND window, WPARAM wParam) {
  const int id = LOWORD(wParam);
  const int notification = HIWORD(wParam);
  if (id == ID_LENS_MODEL && notification == CBN_SELCHANGE) {
    OnModelChanged(window);
    return;
  }
  if (notification != BN_CLICKED) return;
  switch (id) {
    case IDOK:
      OnOk(window);
      return;
    case IDCANCEL:
      EndDialog(window, IDCANCEL);
      return;
    case ID_LENS_FIND:
      OnFind(window);
      return;
    case ID_LENS_RESET:
      OnReset(window);
      return;
    case ID_LENS_TWO_LENSES:
      OnTwoLensesClicked(window);
      return;
    case ID_LENS_ALIGN:
      OnAlign(window);
      return;
    case ID_LENS_CALIBRATION:
      OnCalibration(window);
      return;
    default:
      return;
  }
}

// The labels and the check boxes in the About window's colours; a disabled
// field, which asks through the same message, keeps its own grey.
INT_PTR StaticColours(HDC dc, HWND control) {
  const int id = GetDlgCtrlID(control);
  if (id != ID_LENS_LABEL && id != ID_LENS_CALIBRATION_NAME && id != ID_LENS_TWO_LENSES && id != ID_LENS_FIT_LENSES)
    return FALSE;
  SetTextColor(dc, kNoticeColour);
  SetBkColor(dc, kAboutBlue);
  return reinterpret_cast<INT_PTR>(State->blue.handle);
}

INT_PTR CALLBACK LensWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetProgramIcons(window);
      AddLensControls(window);
      ShowLensChoice(window);
      // The controls came after the dialog looked for one to focus.
      SetFocus(GetDlgItem(window, ID_LENS_MODEL));
      return FALSE;
    case WM_COMMAND:
      OnCommand(window, wParam);
      return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN:
      return reinterpret_cast<INT_PTR>(State->blue.handle);
    case WM_CTLCOLORSTATIC:
      return StaticColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default:
      return FALSE;
  }
}

}  // namespace

// Placed 310, 24 dialog units from the main window's client corner: right of
// the middle, so that the centre of a centred circle stays in sight, and left
// of the Load, Transform and Save buttons, so that the whole window fits
// beside them, its 356 units with the caption within the main window's 407.
// The close box, like Escape, sends Cancel.
void ShowLensWindow() {
  LensWindowState state;
  State = &state;
  std::vector<WORD> dialog = DialogTemplate(L"Lens", kDialogStyle, 310, 24, 190, 356);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), MainDialog,
                          LensWindowProc, 0);
  State = nullptr;
}
