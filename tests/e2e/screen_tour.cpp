// The tour for people to look at: runs the program through its windows inside
// a Wine desktop while tests/e2e/screen-test, on the X side, takes the
// screenshots and makes one real mouse click. The two meet in a folder of
// hand-over files: the driver writes NAME.request and waits for NAME.done.
//   - "shot-NAME.request" holds "x y width height" of a window on the screen;
//     the script saves that part of the screen as NAME.png. Each further line,
//     "COLOUR x y" (a place within the shot), is a colour the screenshot must
//     show there; the colours are those the script knows (screen-test).
//   - "click.request" holds "x y"; the script clicks there with the mouse.
#include "screen_tour.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "imageio/jpeg_header.h"
#include "program_driver.h"

namespace {

constexpr DWORD kHandOverSeconds = 60;

void WriteTextFile(const std::wstring& path, const std::string& text) {
  // Written under another name first, so that the script never reads half a file.
  const std::wstring partial = path + L".part";
  {
    std::ofstream out(std::filesystem::path(partial), std::ios::binary);
    out << text << "\n";
  }
  if (!MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
    throw DriverError("cannot write " + Narrow(path));
}

void HandOver(const std::wstring& folder, const std::wstring& name, const std::string& request) {
  const std::wstring done = folder + L"\\" + name + L".done";
  DeleteFileW(done.c_str());
  WriteTextFile(folder + L"\\" + name + L".request", request);
  const ULONGLONG end = GetTickCount64() + 1000ULL * kHandOverSeconds;
  while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() >= end) throw DriverError("the screen script did not answer " + Narrow(name));
    Sleep(50);
  }
  DeleteFileW(done.c_str());
}

// A colour the screenshot must show at a point of the screen.
struct Spot {
  const char* colour;
  POINT onScreen;
};

POINT InClient(HWND window, int x, int y) {
  POINT point = {x, y};
  ClientToScreen(window, &point);
  return point;
}

POINT CentreOf(HWND window) {
  RECT place = {};
  GetWindowRect(window, &place);
  return {(place.left + place.right) / 2, (place.top + place.bottom) / 2};
}

// A screenshot of `place` on the screen, once `window` has drawn.
void ShootArea(ProgramRun& run, const std::wstring& folder, const std::wstring& name, HWND window, RECT place,
               const std::vector<Spot>& spots) {
  run.Settle(window);
  Sleep(300);  // Wine hands the last drawing to the X server
  char line[128];
  std::snprintf(line, sizeof line, "%ld %ld %ld %ld", place.left, place.top, place.right - place.left,
                place.bottom - place.top);
  std::string request = line;
  std::cout << "screenshot " << Narrow(name) << ": " << line << std::endl;
  for (const Spot& spot : spots) {
    std::snprintf(line, sizeof line, "\n%s %ld %ld", spot.colour, spot.onScreen.x - place.left,
                  spot.onScreen.y - place.top);
    request += line;
  }
  HandOver(folder, L"shot-" + name, request);
}

void Shoot(ProgramRun& run, const std::wstring& folder, const std::wstring& name, HWND window,
           const std::vector<Spot>& spots) {
  RECT place = {};
  GetWindowRect(window, &place);
  ShootArea(run, folder, name, window, place, spots);
}

// The Lens window over the fisheye, whose circle (the centred one) is drawn
// in yellow with a cross at its centre, as painting.cpp places it.
void ShootLensWindow(ProgramRun& run, const std::wstring& folder, HWND mainWindow, BaseUnits units) {
  int64_t width = 0;
  int64_t height = 0;
  if (!DeclaredJpegSize(ReadFileBytes(Paths.sample), width, height)) throw DriverError("the sample has no size");
  RECT client = {};
  GetClientRect(mainWindow, &client);
  const double scaleX = static_cast<double>(client.right) / width;
  const double scaleY = static_cast<double>(client.bottom) / height;
  const int centreX = static_cast<int>(std::lround(((width - 1) / 2.0 + 0.5) * scaleX));
  const int centreY = static_cast<int>(std::lround(((height - 1) / 2.0 + 0.5) * scaleY));

  PostCommand(mainWindow, ID_LENS_SETTINGS);
  HWND lens = run.WaitForDialog(L"Lens");
  RECT mainPlace = {};
  RECT lensPlace = {};
  RECT both = {};
  GetWindowRect(mainWindow, &mainPlace);
  GetWindowRect(lens, &lensPlace);
  UnionRect(&both, &mainPlace, &lensPlace);
  // Left of the labels: the window's blue.
  const RECT margin = DialogRect(units, 4, 4, 0, 0);
  ShootArea(run, folder, L"lens", lens, both,
            {{"yellow", InClient(mainWindow, centreX - 4, centreY)},
             {"yellow", InClient(mainWindow, centreX, centreY - 4)},
             {"about-blue", InClient(lens, margin.left, margin.top)}});
  Press(Child(lens, IDCANCEL));
  run.WaitUntilGone(lens, "the Lens window");
}

void Tour(const std::wstring& folder) {
  const BaseUnits units = DialogFontBaseUnits();
  ProgramRun run;
  HWND title = run.WaitForTitleWindow();
  RECT titleClient = {};
  GetClientRect(title, &titleClient);
  // Below the banner, left of the label: the window's own white.
  Shoot(run, folder, L"title", title, {{"white", InClient(title, 3, titleClient.bottom - 3)}});

  HWND mainWindow = run.PassTitleWindow();
  RECT client = {};
  GetClientRect(mainWindow, &client);
  HWND loadButton = Child(mainWindow, ID_OPEN);
  // Nothing loaded: black, with the blue faces of the buttons (at their left
  // end, clear of the caption).
  std::vector<Spot> emptySpots = {{"black", InClient(mainWindow, client.right / 2, client.bottom / 2)},
                                  {"black", InClient(mainWindow, 2, 2)}};
  for (int id : {ID_OPEN, ID_TRANSFORM, ID_SAVE}) {
    RECT face = {};
    GetWindowRect(Child(mainWindow, id), &face);
    emptySpots.push_back({"blue", {face.left + 4, (face.top + face.bottom) / 2}});
  }
  Shoot(run, folder, L"main-empty", mainWindow, emptySpots);

  // A real click on Load, through the X server, opens the open dialog.
  const POINT loadCentre = CentreOf(loadButton);
  char click[64];
  std::snprintf(click, sizeof click, "%ld %ld", loadCentre.x, loadCentre.y);
  std::cout << "clicking Load at " << click << std::endl;
  HandOver(folder, L"click", click);
  HWND dialog = run.WaitForDialog(L"Load one fisheye image");
  std::cout << "the click on Load opened the open dialog" << std::endl;
  ChooseInFileDialog(dialog, Paths.sample);
  run.WaitUntilGone(dialog, "the open dialog");
  run.Settle(mainWindow);
  if (Text(mainWindow) != L"  " + Paths.sample) throw DriverError("the sample did not load");
  // The fisheye picture fills the whole client area, corners included.
  Shoot(run, folder, L"fisheye", mainWindow,
        {{"lit", InClient(mainWindow, client.right / 4, client.bottom / 4)},
         {"lit", InClient(mainWindow, 1, 1)},
         {"lit", InClient(mainWindow, client.right - 2, client.bottom - 2)}});
  ShootLensWindow(run, folder, mainWindow, units);

  // The panorama: black margins left and right of the middle square.
  PostCommand(mainWindow, ID_TRANSFORM);
  Shoot(run, folder, L"panorama", mainWindow,
        {{"black", InClient(mainWindow, 2, client.bottom / 2)},
         {"black", InClient(mainWindow, client.right - 2, client.bottom / 2)},
         {"lit", InClient(mainWindow, client.right / 2, client.bottom / 4)}});

  // The whole sphere, stretched over the window: lit in the middle, where
  // the lens looked, black at the far left and right, behind the camera.
  PostCommand(mainWindow, ID_SAVE_SPHERE);
  PostCommand(mainWindow, ID_TRANSFORM);
  Shoot(run, folder, L"sphere", mainWindow,
        {{"black", InClient(mainWindow, 2, client.bottom / 2)},
         {"black", InClient(mainWindow, client.right - 2, client.bottom / 2)},
         {"lit", InClient(mainWindow, client.right / 2, client.bottom / 4)}});
  PostCommand(mainWindow, ID_SQUARE);

  PostCommand(mainWindow, ID_ABOUT);
  HWND about = run.WaitForDialog(L"Talvenor Inc.");
  // Left of the certificates, above the links: the window's strong blue.
  const RECT spot = DialogRect(units, 4, 150, 0, 0);
  Shoot(run, folder, L"about", about, {{"about-blue", InClient(about, spot.left, spot.top)}});
  PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0);
  run.WaitUntilGone(about, "the About window");

  PostCommand(mainWindow, ID_EXIT);
  const DWORD code = run.WaitForExit(kWaitSeconds);
  if (code != 0) throw DriverError("the program ended with code " + std::to_string(code));
}

}  // namespace

// Wine's desktop does not hand on the driver's exit code, so the outcome is
// also written to tour.result: "passed", or "failed: why".
int RunScreenTour(const std::wstring& folder) {
  std::string outcome = "passed";
  try {
    Tour(folder);
  } catch (const std::exception& error) {
    outcome = std::string("failed: ") + error.what();
  }
  std::cout << "screen tour " << outcome << std::endl;
  WriteTextFile(folder + L"\\tour.result", outcome);
  return outcome == "passed" ? 0 : 1;
}
