#include "app/lens_window.h"

#include <windows.h>

#include <cmath>
#include <cwctype>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/main_window.h"
#include "transform/dual_lens.h"
#include "transform/lens.h"
#include "transform/numbers.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

namespace {

// Controls of the Lens window. OK and Cancel are IDOK and IDCANCEL, which
// Enter and Escape send; every label shares ID_LENS_LABEL.

// A circle's fields: centre X, centre Y, radius. With two lenses the first
// are the front lens's, in the left half's coordinates, the second the back
// lens's, in the right half's.
using CircleFields = int[3];
constexpr CircleFields kCircleFields = {ID_LENS_CENTRE_X, ID_LENS_CENTRE_Y, ID_LENS_RADIUS};
constexpr CircleFields kBackCircleFields = {ID_LENS_BACK_X, ID_LENS_BACK_Y, ID_LENS_BACK_RADIUS};
// What only two lenses use, and only while "Two lenses" is checked is enabled.
constexpr int kBackLensControls[] = {ID_LENS_BACK_YAW, ID_LENS_BACK_PITCH, ID_LENS_BACK_ROLL, ID_LENS_ALIGN};

// What the open window keeps beside its controls. Made anew by each opening.
struct LensWindowState {
  SolidBrush blue{kAboutBlue};
  LensModel model = LensModel::Equidistant;  // the one the list shows
  bool twoLenses = false;                    // as the box shows: which circles the fields hold
  std::wstring shownCircle[3];               // the circle fields as the window opened
  std::wstring shownBackCircle[3];
  ImageCircle backShown;                     // the back circle those showed, to the last bit
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
  row(L"&Field of view:", ID_LENS_FOV, 26, L"degrees");
  AddControl(window, L"BUTTON", L"&Two lenses, side by side", BS_AUTOCHECKBOX | WS_TABSTOP, 0, ID_LENS_TWO_LENSES,
             10, 44, 170, 10);
  row(L"Circle centre &X:", ID_LENS_CENTRE_X, 60, L"pixels");
  row(L"Circle centre &Y:", ID_LENS_CENTRE_Y, 76, L"pixels");
  row(L"Circle &radius:", ID_LENS_RADIUS, 92, L"pixels");
  row(L"&Back centre X:", ID_LENS_BACK_X, 108, L"pixels");
  row(L"Back ce&ntre Y:", ID_LENS_BACK_Y, 124, L"pixels");
  row(L"Back r&adius:", ID_LENS_BACK_RADIUS, 140, L"pixels");
  AddControl(window, L"BUTTON", L"Fin&d", kButton, 0, ID_LENS_FIND, 82, 156, 42, 14);
  AddControl(window, L"BUTTON", L"R&eset", kButton, 0, ID_LENS_RESET, 128, 156, 42, 14);
  row(L"Ya&w:", ID_LENS_YAW, 174, L"degrees");
  row(L"&Pitch:", ID_LENS_PITCH, 190, L"degrees");
  row(L"R&oll:", ID_LENS_ROLL, 206, L"degrees");
  row(L"Bac&k yaw:", ID_LENS_BACK_YAW, 224, L"degrees");
  row(L"Back p&itch:", ID_LENS_BACK_PITCH, 240, L"degrees");
  row(L"Back ro&ll:", ID_LENS_BACK_ROLL, 256, L"degrees");
  AddControl(window, L"BUTTON", L"Ali&gn", kButton, 0, ID_LENS_ALIGN, 82, 272, 42, 14);
  row(L"Panorama &height:", ID_LENS_HEIGHT, 292, L"pixels");
  label(L"0: the picture's height", 82, 306, 98);
  AddControl(window, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, IDOK, 40, 322, 50, 14);
  AddControl(window, L"BUTTON", L"Cancel", kButton, 0, IDCANCEL, 100, 322, 50, 14);
}

// The back lens's circle can be set only for two lenses and a loaded
// picture; its angles and Align for two lenses (Align says why it cannot
// with nothing loaded, as Find does).
void EnableBackLens(HWND window) {
  const bool twoLenses = TwoLensesChecked(window);
  for (int id : kBackCircleFields) EnableWindow(GetDlgItem(window, id), twoLenses && Loaded());
  for (int id : kBackLensControls) EnableWindow(GetDlgItem(window, id), twoLenses);
}

void ShowBackOffset(HWND window, const BackLensOffset& offset, std::optional<int> places = std::nullopt) {
  SetField(window, ID_LENS_BACK_YAW, DecimalText(offset.yawDegrees, places));
  SetField(window, ID_LENS_BACK_PITCH, DecimalText(offset.pitchDegrees, places));
  SetField(window, ID_LENS_BACK_ROLL, DecimalText(offset.rollDegrees, places));
}

// The lens as it holds now. With nothing loaded there is no circle to show:
// its fields and Reset stay empty and disabled, and Find says why it cannot.
// The back circle shows BackCircleChoice, or with none the one two lenses
// would use: the front's, or with one lens chosen (whose circle counts
// across the whole picture) the right half's centred one.
void ShowLensChoice(HWND window) {
  State->model = LensChoice.model;
  State->twoLenses = TwoLensesChoice != 0;
  SendDlgItemMessageW(window, ID_LENS_MODEL, CB_SETCURSEL, static_cast<WPARAM>(LensChoice.model), 0);
  SetField(window, ID_LENS_FOV, DecimalText(LensChoice.fovDegrees));
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
  SetField(window, ID_LENS_HEIGHT, std::to_wstring(PanoramaHeightChoice));
  EnableBackLens(window);
}

// A field of view the user left at the old model's default follows the
// model to the new one's default (198 equidistant, 180 the others); one the
// user typed stays.
void OnModelChanged(HWND window) {
  const LensModel model = ModelShown(window);
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  if (fov && *fov == DefaultFovDegrees(State->model)) SetField(window, ID_LENS_FOV, DecimalText(DefaultFovDegrees(model)));
  State->model = model;
}

// Checked or cleared, the circle fields change meaning: a front circle left
// centred follows to the new arrangement's centred circle; one typed or
// found stays.
void OnTwoLensesClicked(HWND window) {
  const bool twoLenses = TwoLensesChecked(window);
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

void OnReset(HWND window) {
  ShowCircleFields(window, kCircleFields, CentredCircle(State->twoLenses));
  if (State->twoLenses) ShowCircleFields(window, kBackCircleFields, CentredBackCircle());
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
  Lens lens;
  int32_t height = 0;
  bool twoLenses = false;
  std::optional<ImageCircle> backCircle;
  BackLensOffset back;
};

Choice HeldChoice() {
  return {LensChoice, PanoramaHeightChoice, TwoLensesChoice != 0, BackCircleChoice, BackOffsetChoice};
}

void Hold(const Choice& choice) {
  LensChoice = choice.lens;
  PanoramaHeightChoice = choice.height;
  TwoLensesChoice = choice.twoLenses ? 1 : 0;
  BackCircleChoice = choice.backCircle;
  BackOffsetChoice = choice.back;
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

// Every field, in tab order, into `choice`; the first one out of range stops
// it. The ranges are the converter's.
bool ReadFields(HWND window, Choice& choice) {
  Lens& lens = choice.lens;
  lens.model = ModelShown(window);
  choice.twoLenses = TwoLensesChecked(window);
  const double widest = WidestFovDegrees(lens.model);
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  const std::string modelName = LensModelName(lens.model);
  if (choice.twoLenses && (!fov || !(*fov > kNarrowestDualFovDegrees) || *fov > widest)) {
    const std::string narrowest = std::to_string(static_cast<int>(kNarrowestDualFovDegrees));
    return Refuse(window, ID_LENS_FOV,
                  widest > kNarrowestDualFovDegrees
                      ? "With two lenses the field of view must be a number above " + narrowest + ", up to " +
                            std::to_string(static_cast<int>(widest)) + " degrees for the " + modelName + " model."
                      : "With two lenses the field of view must be above " + narrowest + " degrees, which the " +
                            modelName + " model cannot reach.");
  }
  if (!fov || *fov < kNarrowestFovDegrees || *fov > widest) {
    return Refuse(window, ID_LENS_FOV,
                  "The field of view must be a number from " + std::to_string(static_cast<int>(kNarrowestFovDegrees)) +
                      " to " + std::to_string(static_cast<int>(widest)) + " degrees for the " + modelName +
                      " model.");
  }
  lens.fovDegrees = *fov;
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
  return true;
}

void OnOk(HWND window) {
  Choice choice = HeldChoice();
  if (!ReadFields(window, choice)) return;
  Hold(choice);
  EndDialog(window, IDOK);
}

// Align fills the back lens's angles only, as the converter prints them:
// they become the lens's with OK. It aligns the lenses the fields describe,
// starting from the angles they show.
void OnAlign(HWND window) {
  Choice choice = HeldChoice();
  if (!ReadFields(window, choice)) return;
  const Choice kept = HeldChoice();
  Hold(choice);
  SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  const Result aligned = AlignLenses();
  const BackLensOffset offset = BackOffsetChoice;
  Hold(kept);
  if (!aligned.ok()) {
    ReportFailure(window, "align", "the two lenses", aligned.reason());
    return;
  }
  ShowBackOffset(window, offset, 2);
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
    default:
      return;
  }
}

// The labels and the check box in the About window's colours; a disabled
// field, which asks through the same message, keeps its own grey.
INT_PTR StaticColours(HDC dc, HWND control) {
  const int id = GetDlgCtrlID(control);
  if (id != ID_LENS_LABEL && id != ID_LENS_TWO_LENSES) return FALSE;
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
// beside them. The close box, like Escape, sends Cancel.
void ShowLensWindow() {
  LensWindowState state;
  State = &state;
  std::vector<WORD> dialog = DialogTemplate(L"Lens", kDialogStyle, 310, 24, 190, 342);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), MainDialog,
                          LensWindowProc, 0);
  State = nullptr;
}
