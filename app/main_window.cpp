#include "app/main_window.h"

#include <cctype>

#include "app/about_window.h"
#include "app/app_state.h"
#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/drop_files.h"
#include "app/lens_window.h"
#include "app/painting.h"
#include "app/program_info.h"
#include "imageio/open_command.h"
#include "imageio/save_command.h"
#include "transform/transform_command.h"

HWND MainDialog = nullptr;
HCURSOR HandCursor = nullptr;

namespace {

HMENU MenuBar = nullptr;
HMENU FileMenu = nullptr;
HMENU SaveOptionsMenu = nullptr;
HMENU LensMenu = nullptr;
HMENU HelpMenu = nullptr;
HBRUSH BackgroundBrush = nullptr;
bool MainWindowEnded = false;

// Erase to black, paint the picture and the buttons, all before returning.
constexpr UINT kRedrawNow = RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW;

constexpr char kHelpText[] =
    "1. Load fisheye image\r"
    "2. Press the button [Transform]\r"
    "3. Press the button [Save]";

// Appends an item at the end of `menu`; the caption "-" makes a separator.
void AppendItem(HMENU menu, const wchar_t* caption, UINT id = 0, HMENU submenu = nullptr, bool checked = false) {
  MENUITEMINFOW item = {};
  item.cbSize = sizeof item;
  if (caption[0] == L'-' && caption[1] == L'\0') {
    item.fMask = MIIM_FTYPE;
    item.fType = MFT_SEPARATOR;
  } else {
    item.fMask = MIIM_STRING | MIIM_ID | MIIM_STATE | (submenu != nullptr ? MIIM_SUBMENU : 0);
    item.dwTypeData = const_cast<wchar_t*>(caption);
    item.wID = id;
    item.fState = checked ? MFS_CHECKED : 0;
    item.hSubMenu = submenu;
  }
  InsertMenuItemW(menu, GetMenuItemCount(menu), TRUE, &item);
}

void BuildMenus() {
  MenuBar = CreateMenu();
  FileMenu = CreatePopupMenu();
  AppendItem(FileMenu, L"&Open", ID_OPEN);
  AppendItem(FileMenu, L"-");
  AppendItem(FileMenu, L"&Transform", ID_TRANSFORM);
  AppendItem(FileMenu, L"-");
  AppendItem(FileMenu, L"&Save", ID_SAVE);
  AppendItem(FileMenu, L"S&ave and Sharpen", ID_SAVE_SHARPEN);
  AppendItem(FileMenu, L"-");
  AppendItem(MenuBar, L"  &File  ", 0, FileMenu);
  SaveOptionsMenu = CreatePopupMenu();
  AppendItem(SaveOptionsMenu, L"Save as square", ID_SQUARE, nullptr, true);
  AppendItem(SaveOptionsMenu, L"Save as rectangle", ID_RECTANGLE);
  AppendItem(SaveOptionsMenu, L"Save as sphere", ID_SAVE_SPHERE);
  AppendItem(FileMenu, L"&Save Options", 0, SaveOptionsMenu);
  AppendItem(FileMenu, L"-");
  AppendItem(FileMenu, L"&Exit", ID_EXIT);
  LensMenu = CreatePopupMenu();
  AppendItem(LensMenu, L"&Lens settings...", ID_LENS_SETTINGS);
  AppendItem(LensMenu, L"&Find circle", ID_FIND_CIRCLE);
  AppendItem(LensMenu, L"-");
  AppendItem(LensMenu, L"Show &circle", ID_SHOW_CIRCLE, nullptr, true);
  AppendItem(MenuBar, L"  &Lens  ", 0, LensMenu);
  HelpMenu = CreatePopupMenu();
  AppendItem(HelpMenu, L"&Help", ID_HELP);
  AppendItem(HelpMenu, L"-");
  AppendItem(HelpMenu, L"&About", ID_ABOUT);
  AppendItem(MenuBar, L"  &Help  ", 0, HelpMenu);
}

void AddButtons() {
  constexpr DWORD kStyle = BS_OWNERDRAW;
  AddControl(MainDialog, L"BUTTON", L"Load", kStyle, WS_EX_STATICEDGE, ID_OPEN, 510, 12, 50, 14);
  AddControl(MainDialog, L"BUTTON", L"Transform", kStyle, WS_EX_STATICEDGE, ID_TRANSFORM, 510, 28, 50, 14);
  AddControl(MainDialog, L"BUTTON", L"Save", kStyle, WS_EX_STATICEDGE, ID_SAVE, 510, 44, 50, 14);
}

void SetCheckMark(HMENU menu, UINT position, bool checked) {
  MENUITEMINFOW item = {};
  item.cbSize = sizeof item;
  item.fMask = MIIM_STATE;
  item.fState = checked ? MFS_CHECKED : 0;
  SetMenuItemInfoW(menu, position, TRUE, &item);
}

// The three Save Options items behave as radio choices shown with check
// marks: 0 square, 1 rectangle, 2 sphere.
void CheckSaveOption(int32_t choice) {
  for (int32_t position = 0; position < 3; ++position) SetCheckMark(SaveOptionsMenu, position, position == choice);
  SaveAsRectangle = choice;
}

// Lens, Find circle: the circle found is drawn over the picture at once.
void FindCircleCommand() {
  Result found = FindLensCircle();
  if (!found.ok()) ReportCommandFailure("find the image circle", found.reason());
  RedrawMainWindow();
}

void ShowHourglass() { SetCursor(LoadCursorA(nullptr, IDC_WAIT)); }

void EndMainWindow() {
  MainWindowEnded = true;
  SendMessageW(MainDialog, WM_CLOSE, 0, 0);
  DestroyWindow(MainDialog);
}

// Runs one command to its end. The guard keeps Open and the saves from
// starting again through the messages their dialogs pump.
void RunCommand(int id) {
  switch (id) {
    case ID_OPEN:
      if (CommandGuard != 0) return;
      CommandGuard = 1;
      OpenCommand(MainDialog, WorkFolder);
      BusyFlag = 0;
      CommandGuard = 0;
      return;
    case ID_SAVE:
    case ID_SAVE_SHARPEN:
      if (ImageReady != 1 || CommandGuard != 0) return;
      ShowHourglass();
      CommandGuard = 1;
      if (id == ID_SAVE_SHARPEN) {
        // Sharpened before the dialog: cancelling keeps the sharpened picture.
        SharpenLevel -= 32;
        SharpenDisplay();
      }
      SaveCommand(MainDialog, WorkFolder);
      BusyFlag = 0;
      CommandGuard = 0;
      return;
    case ID_ABOUT:
      ShowAboutWindow();
      return;
    case ID_TRANSFORM:
      CommandGuard = 1;
      RunTransform();
      RedrawMainWindow();
      CommandGuard = 0;
      BusyFlag = 0;
      return;
    case ID_EXIT:
      EndMainWindow();
      return;
    case ID_SQUARE:
      CheckSaveOption(0);
      return;
    case ID_RECTANGLE:
      CheckSaveOption(1);
      return;
    case ID_SAVE_SPHERE:
      CheckSaveOption(2);
      return;
    case ID_LENS_SETTINGS:
      if (CommandGuard != 0) return;
      CommandGuard = 1;
      {
        // Two lenses see the whole sphere: newly chosen, they save it too,
        // as the converter does for --dual; any shape may be chosen after.
        const int32_t hadTwoLenses = TwoLensesChoice;
        ShowLensWindow();
        if (hadTwoLenses == 0 && TwoLensesChoice != 0) CheckSaveOption(2);
      }
      CommandGuard = 0;
      RedrawMainWindow();
      return;
    case ID_FIND_CIRCLE:
      if (CommandGuard != 0) return;
      FindCircleCommand();
      return;
    case ID_SHOW_CIRCLE:
      ShowCircle = ShowCircle != 0 ? 0 : 1;
      SetCheckMark(LensMenu, 3, ShowCircle != 0);
      RedrawMainWindow();
      return;
    case ID_HELP:
      MessageBoxA(MainDialog, kHelpText, "Help", MB_OK);
      RedrawMainWindow();
      return;
    default:
      // Among others 1 and 2, which Enter and Escape send: Escape does not
      // close the window.
      return;
  }
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (BusyFlag == 1) ShowHourglass();
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_PAINT:
      PaintMainWindow(window);
      return TRUE;
    case WM_DRAWITEM:
      DrawButtonFace(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_COMMAND:
      RunCommand(LOWORD(wParam));
      return TRUE;
    case WM_DROPFILES:
      LoadDroppedFiles(reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case WM_CTLCOLORDLG:
      return reinterpret_cast<INT_PTR>(BackgroundBrush);
    case WM_SYSCOMMAND:
      // The close box, Close in the system menu and Alt+F4 end the window as
      // Exit does.
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        EndMainWindow();
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

void CreateMainWindow() {
  std::vector<WORD> dialog = DialogTemplate(kProgramTitleW, kDialogStyle | DS_CENTER, 0, 0, 570, 407);
  MainDialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()),
                                          nullptr, nullptr, 0);
  BackgroundBrush = CreateSolidBrush(RGB(0, 0, 0));
  SetProgramIcons(MainDialog);
  BuildMenus();
  AddButtons();
  SetMenu(MainDialog, MenuBar);
  DragAcceptFiles(MainDialog, TRUE);
}

void RunMainWindow() {
  SetWindowLongPtrW(MainDialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(MainWindowProc));
  SetForegroundWindow(MainDialog);
  SendMessageW(MainDialog, WM_INITDIALOG, 0, 0);
  ShowWindow(MainDialog, SW_SHOWNORMAL);
  MSG message;
  while (!MainWindowEnded && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(MainDialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

namespace {

// "Cannot WHAT", a blank line, then the reason as a sentence.
void ShowCannot(HWND owner, const std::string& what, const std::string& reason) {
  std::string because = reason;
  if (!because.empty()) because[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(because[0])));
  std::string text = "Cannot " + what + "\r\n\r\n" + because + ".";
  MessageBoxA(owner, text.c_str(), "Quorvane", MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

void ReportFailure(HWND owner, const char* action, const std::string& name, const std::string& reason) {
  ShowCannot(owner, std::string(action) + " " + name, reason);
}

void ReportCommandFailure(const std::string& action, const std::string& reason) {
  ShowCannot(MainDialog, action, reason);
}

// The window operations the engine asks for.

void RedrawMainWindow() { RedrawWindow(MainDialog, nullptr, nullptr, kRedrawNow); }

void SetMainWindowTitle(const std::string& title) { SetWindowTextA(MainDialog, title.c_str()); }

// High priority for exactly as long as the pixel loop runs.
void SetTransformPriority(bool raised) {
  SetPriorityClass(GetCurrentProcess(), raised ? HIGH_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
}
