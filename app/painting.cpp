#include "app/painting.h"

#include <algorithm>
#include <cmath>

#include "app/app_state.h"
#include "app/command_ids.h"
#include "transform/dual_lens.h"
#include "transform/stores.h"
#include "transform/transform_command.h"

namespace {

constexpr COLORREF kBlueBase = 0xFF0000;
constexpr COLORREF kGreenBase = 0x00FF00;
constexpr COLORREF kWhite = 0xFFFFFF;
constexpr int kBands = 200;

// Centred horizontally and vertically on one line.
constexpr UINT kCaptionFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

const char* CaptionOf(UINT id) {
  switch (id) {
    case ID_OPEN: return "Load";
    case ID_SAVE: return "Save";
    default: return "Transform";
  }
}

BYTE Level(int value) { return static_cast<BYTE>(std::clamp(value, 0, 255)); }

constexpr COLORREF kCircleColour = RGB(255, 255, 0);
constexpr int kCrossArm = 6;  // client pixels either side of the circle's centre

// An image circle and a small cross at its centre, in one-pixel yellow over
// the fisheye picture stretched across `client`; `left` is the first column
// of the picture that the circle's coordinates count from. Drawn at paint
// time only: the stored picture never holds it.
void DrawCircle(HDC dc, const RECT& client, const ImageCircle& circle, int32_t left) {
  // Picture coordinates count from the top-left pixel's centre.
  const double scaleX = static_cast<double>(client.right) / SourceWidth;
  const double scaleY = static_cast<double>(client.bottom) / SourceHeight;
  const int centreX = static_cast<int>(std::lround((left + circle.x + 0.5) * scaleX));
  const int centreY = static_cast<int>(std::lround((circle.y + 0.5) * scaleY));
  const int radiusX = static_cast<int>(std::lround(circle.radius * scaleX));
  const int radiusY = static_cast<int>(std::lround(circle.radius * scaleY));
  HPEN pen = CreatePen(PS_SOLID, 1, kCircleColour);
  HGDIOBJ oldPen = SelectObject(dc, pen);
  HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  Ellipse(dc, centreX - radiusX, centreY - radiusY, centreX + radiusX + 1, centreY + radiusY + 1);
  MoveToEx(dc, centreX - kCrossArm, centreY, nullptr);
  LineTo(dc, centreX + kCrossArm + 1, centreY);
  MoveToEx(dc, centreX, centreY - kCrossArm, nullptr);
  LineTo(dc, centreX, centreY + kCrossArm + 1);
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
  DeleteObject(pen);
}

// The lens's circle; with two lenses both, the back one in the right half.
void DrawLensCircles(HDC dc, const RECT& client) {
  if (TwoLensesChoice == 0) {
    DrawCircle(dc, client, CircleOf(LensChoice, SourceWidth, SourceHeight), 0);
    return;
  }
  const DualLens lens = TransformDualLens();
  DrawCircle(dc, client, FrontCircleOf(lens, SourceWidth, SourceHeight), 0);
  DrawCircle(dc, client, BackCircleOf(lens, SourceWidth, SourceHeight), FrontHalfWidth(SourceWidth));
}

}  // namespace

// DisplayInfo has the layout of BITMAPINFOHEADER and a positive height, so the
// first stored row lands at the bottom of the window. Width and height are
// scaled each on its own: the picture fills the client area exactly.
void PaintMainWindow(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  SetStretchBltMode(dc, HALFTONE);
  // Nothing loaded: there is nothing to draw and the black background stays.
  if (DisplayPixels != nullptr && DisplayWidth > 0 && DisplayHeight > 0) {
    StretchDIBits(dc, 0, 0, client.right, client.bottom, 0, 0, DisplayWidth, DisplayHeight, DisplayPixels,
                  reinterpret_cast<const BITMAPINFO*>(&DisplayInfo), DIB_RGB_COLORS, SRCCOPY);
    // While the loaded fisheye picture is shown, whether the circle fits it.
    if (ShowCircle != 0 && PanoramaShown == 0 && SourceWidth > 0 && SourceHeight > 0) DrawLensCircles(dc, client);
  }
  EndPaint(window, &paint);
}

void DrawButtonFace(const DRAWITEMSTRUCT& item) {
  if (item.CtlID != ID_OPEN && item.CtlID != ID_SAVE && item.CtlID != ID_TRANSFORM) return;
  RECT textPlace = item.rcItem;
  textPlace.left = 0;
  HDC dc = item.hDC;
  if ((item.itemState & ODS_SELECTED) != 0) {
    // Held down: every button says "Process" in green on green.
    PaintButtonBands(dc, kGreenBase);
    RECT edge = item.rcItem;
    DrawEdge(dc, &edge, EDGE_SUNKEN, BF_RECT);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kGreenBase);
    DrawTextA(dc, "Process", -1, &textPlace, kCaptionFormat);
  } else {
    PaintButtonBands(dc, kBlueBase);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kWhite);
    DrawTextA(dc, CaptionOf(item.CtlID), -1, &textPlace, kCaptionFormat);
  }
}

// Band edges are spread over the full height: the step is kept in single
// precision and multiplied in double, then rounded with ties to even, so a
// face lower than 200 pixels still shows the whole gradient.
void PaintButtonBands(HDC dc, COLORREF base) {
  RECT client;
  GetClientRect(WindowFromDC(dc), &client);
  const float step = 0.005f * static_cast<float>(client.bottom);
  const bool green = base == kGreenBase;
  for (int i = 0; i < kBands; ++i) {
    RECT band;
    SetRect(&band, 0, static_cast<int>(std::nearbyint(static_cast<double>(step) * i)), client.right + 1,
            static_cast<int>(std::nearbyint(static_cast<double>(step) * (i + 1))));
    COLORREF colour = green ? RGB(0, Level(255 - i), 0) : RGB(0, Level(199 - i), Level(255 - i));
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &band, brush);
    DeleteObject(brush);
  }
}
