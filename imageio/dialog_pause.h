#pragma once
#include <windows.h>

#include <string>

// Once a file dialog has closed: repaint what it covered, then handle one
// pending message (or rest a millisecond), before the long work begins.
inline void RepaintAfterDialog(HWND window) {
  UpdateWindow(window);
  MSG message;
  if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  } else {
    Sleep(1);
  }
}

// True when `name` holds nothing but blanks (or nothing).
inline bool IsBlankName(const std::string& name) { return name.find_first_not_of(' ') == std::string::npos; }
