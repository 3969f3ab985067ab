#include "app/lens_window.h"

#include <windows.h>

#include <charconv>
#include <cmath>
#include <cwctype>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/main_window.h"
#include "transform/lens.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

namespace {

// Controls of the Lens window. OK and Cancel are IDOK and IDCANCEL, which
// Enter and Escape send; every label shares ID_LENS_LABEL.

constexpr int kCircleFields[] = {ID_LENS_CENTRE_X, ID_LENS_CENTRE_Y, ID_LENS_RADIUS};

// The About window's blue, and the colour of its notice for the labels.

// What the open window keeps beside its controls. Made anew by each opening.
struct LensWindowState {
  SolidBrush blue{kAboutBlue};
  LensModel model = LensModel::Equidistant;  // the one the list shows
  std::wstring shownCircle[3];               // the circle fields as the window opened
};
LensWindowState* State = nullptr;

// --- Numbers as text ---------------------------------------------------------

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// With `places` decimals, or else the fewest that give `value` back exactly
// (198, 12.5), never with an exponent. The same in every language setting.
std::wstring DecimalText(double value, std::optional<int> places = std::nullopt) {
  char text[400];  // the largest double has 309 digits before the point
  const std::to_chars_result written =
      places ? std::to_chars(text, std::end(text), value, std::chars_format::fixed, *places)
             : std::to_chars(text, std::end(text), value, std::chars_format::fixed);
  return Wide(std::string(text, written.ptr));
}

// The text of a field without blanks around it and without a leading "+",
// or nullopt when it holds anything but ASCII.
std::optional<std::string> NumberLetters(const std::wstring& text) {
  std::string ascii;
  for (wchar_t c : text) {
    if (c > 0x7F) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  const size_t first = ascii.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  ascii = ascii.substr(first, ascii.find_last_not_of(" \t") - first + 1);
  if (ascii.size() > 1 && ascii[0] == '+' && ascii[1] != '-' && ascii[1] != '+') ascii.erase(0, 1);
  return ascii;
}

// A finite number with an optional sign, point and exponent. A comma is no
// decimal point, whatever the system's language.
std::optional<double> NumberIn(const std::wstring& text) {
  const std::optional<std::string> letters = NumberLetters(text);
  if (!letters || letters->empty()) return std::nullopt;
  double value = 0;
  const char* end = letters->data() + letters->size();
  const std::from_chars_result read = std::from_chars(letters->data(), end, value);
  if (read.ec != std::errc() || read.ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int64_t> WholeNumberIn(const std::wstring& text) {
  const std::optional<std::string> letters = NumberLetters(text);
  if (!letters || letters->empty()) return std::nullopt;
  int64_t value = 0;
  const char* end = letters->data() + letters->size();
  const std::from_chars_result read = std::from_chars(letters->data(), end, value);
  if (read.ec != std::errc() || read.ptr != end) return std::nullopt;
  return value;
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
void ShowCircleFields(HWND window, const ImageCircle& circle) {
  SetField(window, ID_LENS_CENTRE_X, DecimalText(circle.x, 2));
  SetField(window, ID_LENS_CENTRE_Y, DecimalText(circle.y, 2));
  SetField(window, ID_LENS_RADIUS, DecimalText(circle.radius, 2));
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
  row(L"Circle centre &X:", ID_LENS_CENTRE_X, 46, L"pixels");
  row(L"Circle centre &Y:", ID_LENS_CENTRE_Y, 62, L"pixels");
  row(L"Circle &radius:", ID_LENS_RADIUS, 78, L"pixels");
  AddControl(window, L"BUTTON", L"Fin&d", kButton, 0, ID_LENS_FIND, 82, 94, 42, 14);
  AddControl(window, L"BUTTON", L"R&eset", kButton, 0, ID_LENS_RESET, 128, 94, 42, 14);
  row(L"Ya&w:", ID_LENS_YAW, 118, L"degrees");
  row(L"&Pitch:", ID_LENS_PITCH, 134, L"degrees");
  row(L"R&oll:", ID_LENS_ROLL, 150, L"degrees");
  row(L"Panorama &height:", ID_LENS_HEIGHT, 170, L"pixels");
  label(L"0: the picture's height", 82, 184, 98);
  AddControl(window, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, IDOK, 40, 200, 50, 14);
  AddControl(window, L"BUTTON", L"Cancel", kButton, 0, IDCANCEL, 100, 200, 50, 14);
}

// The lens as it holds now. With nothing loaded there is no circle to show:
// its fields and Reset stay empty and disabled, and Find says why it cannot.
void ShowLensChoice(HWND window) {
  State->model = LensChoice.model;
  SendDlgItemMessageW(window, ID_LENS_MODEL, CB_SETCURSEL, static_cast<WPARAM>(LensChoice.model), 0);
  SetField(window, ID_LENS_FOV, DecimalText(LensChoice.fovDegrees));
  if (SourceWidth > 0 && SourceHeight > 0) {
    ShowCircleFields(window, CircleOf(LensChoice, SourceWidth, SourceHeight));
  } else {
    for (int id : kCircleFields) EnableWindow(GetDlgItem(window, id), FALSE);
    EnableWindow(GetDlgItem(window, ID_LENS_RESET), FALSE);
  }
  for (int i = 0; i < 3; ++i) State->shownCircle[i] = FieldText(window, kCircleFields[i]);
  SetField(window, ID_LENS_YAW, DecimalText(LensChoice.yawDegrees));
  SetField(window, ID_LENS_PITCH, DecimalText(LensChoice.pitchDegrees));
  SetField(window, ID_LENS_ROLL, DecimalText(LensChoice.rollDegrees));
  SetField(window, ID_LENS_HEIGHT, std::to_wstring(PanoramaHeightChoice));
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

// Find fills the fields only: the circle becomes the lens's with OK.
void OnFind(HWND window) {
  const std::optional<ImageCircle> kept = LensChoice.circle;
  SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  const Result found = FindLensCircle();
  const ImageCircle circle = CircleOf(LensChoice, SourceWidth, SourceHeight);
  LensChoice.circle = kept;
  if (!found.ok()) {
    ReportFailure(window, "find", "the image circle", found.reason());
    return;
  }
  ShowCircleFields(window, circle);
}

// Tells the user which field is wrong and what it takes, and puts the caret
// there with its text selected. Always false: OK goes no further.
bool Refuse(HWND window, int id, const std::string& text) {
  MessageBoxA(window, text.c_str(), "Quorvane", MB_OK | MB_ICONEXCLAMATION);
  SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, id)), TRUE);
  return false;
}

// The circle fields into `circle`. Fields left as the window showed them
// keep the circle as it was (the fields show only two decimals); the
// centred circle is kept as none, so that the program's own lens stays the
// program's own.
bool ReadCircle(HWND window, std::optional<ImageCircle>& circle) {
  const std::optional<double> x = NumberIn(FieldText(window, ID_LENS_CENTRE_X));
  if (!x) return Refuse(window, ID_LENS_CENTRE_X, "The circle's centre X must be a number of pixels.");
  const std::optional<double> y = NumberIn(FieldText(window, ID_LENS_CENTRE_Y));
  if (!y) return Refuse(window, ID_LENS_CENTRE_Y, "The circle's centre Y must be a number of pixels.");
  const std::optional<double> radius = NumberIn(FieldText(window, ID_LENS_RADIUS));
  if (!radius || !(*radius > 0))
    return Refuse(window, ID_LENS_RADIUS, "The circle's radius must be a number of pixels above 0.");
  bool unchanged = true;
  for (int i = 0; i < 3; ++i) unchanged = unchanged && FieldText(window, kCircleFields[i]) == State->shownCircle[i];
  if (unchanged) return true;
  const ImageCircle centred = DefaultCircle(SourceWidth, SourceHeight);
  if (*x == centred.x && *y == centred.y && *radius == centred.radius) {
    circle.reset();
  } else {
    circle = ImageCircle{*x, *y, *radius};
  }
  return true;
}

// Every field, in tab order, into `lens` and `height`; the first one out of
// range stops it. The ranges are the converter's.
bool ReadFields(HWND window, Lens& lens, int32_t& height) {
  lens.model = ModelShown(window);
  const double widest = WidestFovDegrees(lens.model);
  const std::optional<double> fov = NumberIn(FieldText(window, ID_LENS_FOV));
  if (!fov || *fov < kNarrowestFovDegrees || *fov > widest) {
    return Refuse(window, ID_LENS_FOV,
                  "The field of view must be a number from " + std::to_string(static_cast<int>(kNarrowestFovDegrees)) +
                      " to " + std::to_string(static_cast<int>(widest)) + " degrees for the " +
                      LensModelName(lens.model) + " model.");
  }
  lens.fovDegrees = *fov;
  if (SourceWidth > 0 && SourceHeight > 0 && !ReadCircle(window, lens.circle)) return false;
  struct Angle {
    int id;
    const char* name;
    double limit;
    double Lens::*degrees;
  };
  constexpr Angle kAngles[] = {{ID_LENS_YAW, "yaw", 360.0, &Lens::yawDegrees},
                               {ID_LENS_PITCH, "pitch", 90.0, &Lens::pitchDegrees},
                               {ID_LENS_ROLL, "roll", 360.0, &Lens::rollDegrees}};
  for (const Angle& angle : kAngles) {
    const std::optional<double> degrees = NumberIn(FieldText(window, angle.id));
    if (!degrees || std::fabs(*degrees) > angle.limit) {
      const std::string limit = std::to_string(static_cast<int>(angle.limit));
      return Refuse(window, angle.id,
                    std::string("The ") + angle.name + " must be a number from -" + limit + " to " + limit + " degrees.");
    }
    lens.*angle.degrees = *degrees;
  }
  // The saved picture's limit depends on the shape Save Options holds now.
  const SaveShape shape = ChosenSaveShape();
  const int64_t tallest = TallestPanorama(shape);
  const std::optional<int64_t> rows = WholeNumberIn(FieldText(window, ID_LENS_HEIGHT));
  if (!rows || *rows < 0 || *rows > tallest) {
    return Refuse(window, ID_LENS_HEIGHT,
                  "The panorama height must be 0 (the picture's height) or a whole number of pixels from 1 to " +
                      std::to_string(tallest) + " for Save as " + ShapeName(shape) + ".");
  }
  height = static_cast<int32_t>(*rows);
  return true;
}

void OnOk(HWND window) {
  Lens lens = LensChoice;
  int32_t height = PanoramaHeightChoice;
  if (!ReadFields(window, lens, height)) return;
  LensChoice = lens;
  PanoramaHeightChoice = height;
  EndDialog(window, IDOK);
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
      ShowCircleFields(window, DefaultCircle(SourceWidth, SourceHeight));
      return;
    default:
      return;
  }
}

// The labels in the About window's colours; a disabled field, which asks
// through the same message, keeps its own grey.
INT_PTR StaticColours(HDC dc, HWND control) {
  if (GetDlgCtrlID(control) != ID_LENS_LABEL) return FALSE;
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

// Placed 376, 72 dialog units from the main window's client corner: right of
// the middle, so that the centre of a centred circle stays in sight, and
// below the Load, Transform and Save buttons. The close box, like Escape,
// sends Cancel.
void ShowLensWindow() {
  LensWindowState state;
  State = &state;
  std::vector<WORD> dialog = DialogTemplate(L"Lens", kDialogStyle, 376, 72, 190, 222);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), MainDialog,
                          LensWindowProc, 0);
  State = nullptr;
}
