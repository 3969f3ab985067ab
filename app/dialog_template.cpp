#include "app/dialog_template.h"

#include <cwchar>

#include "app/main_window.h"

namespace {

void PushDword(std::vector<WORD>& words, DWORD value) {
  words.push_back(LOWORD(value));
  words.push_back(HIWORD(value));
}

void PushText(std::vector<WORD>& words, const wchar_t* text) {
  for (const wchar_t* c = text; *c != L'\0'; ++c) words.push_back(static_cast<WORD>(*c));
  words.push_back(0);
}

}  // namespace

// The layout is DLGTEMPLATEEX's: version 1, signature 0xFFFF, help id,
// extended style, style, item count, position and size, then menu, class and
// title as texts, then (for DS_SETFONT) size, weight, italic and character
// set of the font and its face name.
std::vector<WORD> DialogTemplate(const wchar_t* title, DWORD style, short x, short y, short width, short height) {
  std::vector<WORD> words;
  words.push_back(1);
  words.push_back(0xFFFF);
  PushDword(words, 0);  // help id
  PushDword(words, 0);  // no extended style
  PushDword(words, style);
  words.push_back(0);  // no controls: each window adds its own
  words.push_back(static_cast<WORD>(x));
  words.push_back(static_cast<WORD>(y));
  words.push_back(static_cast<WORD>(width));
  words.push_back(static_cast<WORD>(height));
  words.push_back(0);  // no menu in the template
  words.push_back(0);  // the standard dialog class
  PushText(words, title);
  words.push_back(8);  // points
  words.push_back(FW_NORMAL);
  words.push_back(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, character set
  PushText(words, L"MS Sans Serif");
  return words;
}

HWND AddControl(HWND dialog, const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int id,
                int x, int y, int width, int height) {
  RECT place = {x, y, x + width, y + height};
  MapDialogRect(dialog, &place);
  HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, place.left, place.top,
                                 place.right - place.left, place.bottom - place.top, dialog,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
  return control;
}

void SetProgramIcons(HWND window) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HANDLE bigIcon = LoadImageW(instance, L"VIDEO", IMAGE_ICON, 32, 32, LR_SHARED);
  HANDLE smallIcon = LoadImageW(instance, L"VIDEO", IMAGE_ICON, 16, 16, LR_SHARED);
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

BOOL ShowHandOver(HWND dialog, HWND under, int firstId, int secondId) {
  if (under != GetDlgItem(dialog, firstId) && under != GetDlgItem(dialog, secondId)) return FALSE;
  SetCursor(HandCursor);
  SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
  return TRUE;
}

BOOL EndOnClose(HWND dialog, WPARAM command) {
  if ((command & 0xFFF0) != SC_CLOSE) return FALSE;
  EndDialog(dialog, 0);
  return TRUE;
}
