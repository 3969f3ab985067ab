#pragma once
#include <windows.h>

#include <vector>

// The colours of the About and Lens windows: their blue ground and the
// notice's yellowish text.
constexpr COLORREF kAboutBlue = RGB(20, 50, 195);
constexpr COLORREF kNoticeColour = RGB(200, 210, 95);

// An in-memory extended dialog template without controls, in the program's
// dialog font ("MS Sans Serif", 8 points). Sizes in dialog units.
std::vector<WORD> DialogTemplate(const wchar_t* title, DWORD style, short x, short y, short width, short height);

// The window styles every window of the program shares.
constexpr DWORD kDialogStyle = WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_3DLOOK | DS_NOFAILCREATE;

// Creates a control of `dialog` at a place given in dialog units, in the
// dialog's font. A width and height of 0 leave the size to the control
// (pictures take their bitmap's or icon's own size).
HWND AddControl(HWND dialog, const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int id,
                int x, int y, int width, int height);

// Gives `window` the program icon, 32 x 32 as the big and 16 x 16 as the
// small one.
void SetProgramIcons(HWND window);

// The WM_SETCURSOR answer of the title and About windows: the hand cursor
// over their two clickable controls, the normal cursor elsewhere.
BOOL ShowHandOver(HWND dialog, HWND under, int firstId, int secondId);

// The WM_SYSCOMMAND answer of the title and About windows: the close box,
// Close in the system menu and Alt+F4 end the window.
BOOL EndOnClose(HWND dialog, WPARAM command);

// A solid brush that deletes itself.
struct SolidBrush {
  explicit SolidBrush(COLORREF colour) : handle(CreateSolidBrush(colour)) {}
  ~SolidBrush() { DeleteObject(handle); }
  SolidBrush(const SolidBrush&) = delete;
  SolidBrush& operator=(const SolidBrush&) = delete;
  HBRUSH handle;
};
