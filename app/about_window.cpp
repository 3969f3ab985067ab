#include "app/about_window.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/command_ids.h"
#include "app/dialog_template.h"
#include "app/main_window.h"
#include "app/program_info.h"

namespace {

constexpr COLORREF kLinkNavy = RGB(0, 0, 127);

constexpr wchar_t kNotice[] =
    L"Free to use and to share.\r\n"
    L"No patent is claimed.";

// The window's brushes live as long as the window; each opening makes them anew.
struct AboutBrushes {
  SolidBrush blue{kAboutBlue};
  SolidBrush navy{kLinkNavy};
};
AboutBrushes* Brushes = nullptr;

std::wstring Wide(const char* text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

void AddAboutControls(HWND window) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND icon = AddControl(window, L"STATIC", nullptr, SS_ICON | SS_SUNKEN, 0, -1, 10, 5, 0, 0);
  SendMessageW(icon, STM_SETIMAGE, IMAGE_ICON,
               reinterpret_cast<LPARAM>(LoadImageW(instance, L"VIDEO", IMAGE_ICON, 32, 32, LR_SHARED)));
  std::wstring version = std::wstring(kProgramTitleW) + L" ver." + Wide(kProgramVersion);
  AddControl(window, L"STATIC", version.c_str(), SS_CENTER, 0, ID_ABOUT_VERSION, 60, 5, 120, 30);
  AddControl(window, L"STATIC", nullptr, SS_ETCHEDFRAME, 0, -1, 10, 35, 190, 2);
  HWND picture = AddControl(window, L"STATIC", nullptr, SS_BITMAP, 0, -1, 20, 40, 0, 0);
  SendMessageW(picture, STM_SETIMAGE, IMAGE_BITMAP,
               reinterpret_cast<LPARAM>(LoadImageW(instance, L"PATENT", IMAGE_BITMAP, 0, 0, LR_SHARED)));
  constexpr DWORD kLink = SS_CENTER | SS_NOTIFY | SS_SUNKEN;
  AddControl(window, L"STATIC", Wide(kMakerAddress).c_str(), kLink, 0, ID_ABOUT_WEB, 70, 159, 141, 11);
  AddControl(window, L"STATIC", kNotice, SS_LEFT, 0, ID_ABOUT_NOTICE, 93, 44, 98, 28);
  AddControl(window, L"STATIC", L"email: Talvenor support", kLink, 0, ID_ABOUT_MAIL, 1, 159, 69, 11);
}

INT_PTR StaticColours(HDC dc, HWND control) {
  COLORREF text = RGB(255, 0, 0);
  COLORREF background = kAboutBlue;
  HBRUSH brush = Brushes->blue.handle;
  switch (GetDlgCtrlID(control)) {
    case ID_ABOUT_VERSION: text = RGB(180, 170, 95); break;
    case ID_ABOUT_NOTICE: text = kNoticeColour; break;
    case ID_ABOUT_WEB:
    case ID_ABOUT_MAIL:
      text = RGB(220, 210, 120);
      background = kLinkNavy;
      brush = Brushes->navy.handle;
      break;
    default: break;
  }
  SetTextColor(dc, text);
  SetBkColor(dc, background);
  return reinterpret_cast<INT_PTR>(brush);
}

void OnCommand(WPARAM wParam) {
  if (HIWORD(wParam) != 0) return;
  if (LOWORD(wParam) == ID_ABOUT_MAIL) {
    ShellExecuteA(nullptr, "Open", kSupportMailLink, nullptr, nullptr, SW_SHOWNORMAL);
  } else if (LOWORD(wParam) == ID_ABOUT_WEB) {
    ShellExecuteA(nullptr, nullptr, kMakerAddress, nullptr, nullptr, SW_SHOWNORMAL);
  }
}

INT_PTR CALLBACK AboutWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetProgramIcons(window);
      AddAboutControls(window);
      return TRUE;
    case WM_SETCURSOR:
      return ShowHandOver(window, reinterpret_cast<HWND>(wParam), ID_ABOUT_MAIL, ID_ABOUT_WEB);
    case WM_SYSCOMMAND:
      return EndOnClose(window, wParam);
    case WM_COMMAND:
      OnCommand(wParam);
      return TRUE;
    case WM_CTLCOLORDLG:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(255, 0, 0));
      return reinterpret_cast<INT_PTR>(Brushes->blue.handle);
    case WM_CTLCOLORSTATIC:
      return StaticColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    default:
      return FALSE;
  }
}

}  // namespace

// Placed 100 dialog units right of and below the main window's client corner
// (a popup's template position counts from its owner's client area).
void ShowAboutWindow() {
  // A posted About command can reach the main window while this one is open;
  // the inner window gets brushes of its own.
  AboutBrushes brushes;
  AboutBrushes* outer = Brushes;
  Brushes = &brushes;
  std::vector<WORD> dialog = DialogTemplate(L"Talvenor Inc.", kDialogStyle, 100, 100, 210, 170);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), MainDialog,
                          AboutWindowProc, 0);
  Brushes = outer;
}
