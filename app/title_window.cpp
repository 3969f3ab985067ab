#include "app/title_window.h"

#include <windows.h>
#include <shellapi.h>

#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/main_window.h"
#include "app/program_info.h"

namespace {

// "Times New Roman", 12 points, bold italic: the label, the link and Start.
HFONT TitleFont = nullptr;
HBRUSH WhiteBrush = nullptr;

HFONT MakeTitleFont() {
  LOGFONTW font = {};
  HDC screen = GetDC(nullptr);
  font.lfHeight = -MulDiv(12, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  font.lfWeight = FW_BOLD;
  font.lfItalic = TRUE;
  font.lfCharSet = DEFAULT_CHARSET;
  lstrcpyW(font.lfFaceName, L"Times New Roman");
  return CreateFontIndirectW(&font);
}

void AddTitleControls(HWND window) {
  HWND banner = AddControl(window, L"STATIC", nullptr, SS_BITMAP, 0, -1, 5, 5, 0, 0);
  HANDLE bitmap = LoadImageW(GetModuleHandleW(nullptr), L"TITLE", IMAGE_BITMAP, 0, 0, LR_SHARED);
  SendMessageW(banner, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));

  wchar_t address[64];
  MultiByteToWideChar(CP_ACP, 0, kMakerAddress, -1, address, 64);
  HWND controls[] = {
      AddControl(window, L"STATIC", L"See a more of free Apps at:", SS_LEFT, 0, ID_TITLE_LABEL, 15, 102, 120, 12),
      AddControl(window, L"STATIC", address, SS_LEFT | SS_NOTIFY, 0, ID_TITLE_LINK, 138, 102, 200, 12),
      AddControl(window, L"BUTTON", L"Start", BS_PUSHBUTTON | BS_FLAT, 0, ID_TITLE_START, 360, 102, 70, 14),
  };
  for (HWND control : controls) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(TitleFont), FALSE);
}

// The label and the link are drawn without a background of their own, so the
// window's white shows through.
INT_PTR StaticColours(HDC dc, HWND control) {
  int id = GetDlgCtrlID(control);
  if (id != ID_TITLE_LABEL && id != ID_TITLE_LINK) return reinterpret_cast<INT_PTR>(WhiteBrush);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, id == ID_TITLE_LINK ? RGB(0, 0, 255) : RGB(0, 0, 0));
  return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
}

void OnCommand(HWND window, WPARAM wParam) {
  if (HIWORD(wParam) != 0) return;
  if (LOWORD(wParam) == ID_TITLE_LINK) {
    ShellExecuteA(nullptr, nullptr, kMakerAddress, nullptr, nullptr, SW_SHOWNORMAL);
  } else if (LOWORD(wParam) == ID_TITLE_START) {
    EndDialog(window, 0);
  }
}

INT_PTR CALLBACK TitleWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetProgramIcons(window);
      AddTitleControls(window);
      return TRUE;
    case WM_SETCURSOR:
      return ShowHandOver(window, reinterpret_cast<HWND>(wParam), ID_TITLE_LINK, ID_TITLE_START);
    case WM_SYSCOMMAND:
      return EndOnClose(window, wParam);
    case WM_COMMAND:
      OnCommand(window, wParam);
      return TRUE;
    case WM_CTLCOLORDLG:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(255, 0, 0));
      return reinterpret_cast<INT_PTR>(WhiteBrush);
    case WM_CTLCOLORSTATIC:
      return StaticColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default:
      return FALSE;
  }
}

}  // namespace

// Enter and Escape do nothing here: the window has no default button and
// ignores the commands those keys send.
void ShowTitleWindow() {
  TitleFont = MakeTitleFont();
  WhiteBrush = CreateSolidBrush(RGB(255, 255, 255));
  std::vector<WORD> dialog = DialogTemplate(kProgramTitleW, kDialogStyle | DS_CENTER, 0, 0, 437, 120);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), nullptr,
                          TitleWindowProc, 0);
  DeleteObject(WhiteBrush);
  DeleteObject(TitleFont);
  WhiteBrush = nullptr;
  TitleFont = nullptr;
}
