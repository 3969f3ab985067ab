#pragma once
#include <windows.h>

// The WM_PAINT of the main window: DisplayStore stretched over the whole
// client area.
void PaintMainWindow(HWND window);

// The WM_DRAWITEM of the main window: the faces of the three buttons.
void DrawButtonFace(const DRAWITEMSTRUCT& item);

// Fills the client area of the window that owns `dc` with 200 horizontal
// bands of the gradient that `base` selects (blue or green).
void PaintButtonBands(HDC dc, COLORREF base);
