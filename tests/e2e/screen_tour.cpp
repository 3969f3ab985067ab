// The tour for people to look at: runs the program through its windows inside
// a Wine desktop while tests/e2e/screen-test, on the X side, takes the
// screenshots and makes one real mouse click. The two meet in a folder of
// hand-over files: the driver writes NAME.request and waits for NAME.done.
//   - "shot-NAME.request" holds "x y width height" of a window on the screen;
//     the script saves that part of the screen as NAME.png.
//   - "click.request" holds "x y"; the script clicks there with the mouse.
#include "screen_tour.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

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

void Shoot(ProgramRun& run, const std::wstring& folder, const std::wstring& name, HWND window) {
  run.Settle(window);
  Sleep(300);  // Wine hands the last drawing to the X server
  RECT place = {};
  GetWindowRect(window, &place);
  char request[128];
  std::snprintf(request, sizeof request, "%ld %ld %ld %ld", place.left, place.top, place.right - place.left,
                place.bottom - place.top);
  std::cout << "screenshot " << Narrow(name) << ": " << request << std::endl;
  HandOver(folder, L"shot-" + name, request);
}

void Tour(const std::wstring& folder) {
  ProgramRun run;
  HWND title = run.WaitForTitleWindow();
  Shoot(run, folder, L"title", title);
  HWND mainWindow = run.PassTitleWindow();
  Shoot(run, folder, L"main-empty", mainWindow);

  // A real click on Load, through the X server, opens the open dialog.
  RECT load = {};
  GetWindowRect(Child(mainWindow, 100), &load);
  char click[64];
  std::snprintf(click, sizeof click, "%ld %ld", (load.left + load.right) / 2, (load.top + load.bottom) / 2);
  std::cout << "clicking Load at " << click << std::endl;
  HandOver(folder, L"click", click);
  HWND dialog = run.WaitForDialog(L"Load one fisheye image");
  std::cout << "the click on Load opened the open dialog" << std::endl;
  ChooseInFileDialog(dialog, Paths.sample);
  run.WaitUntilGone(dialog, "the open dialog");
  run.Settle(mainWindow);
  if (Text(mainWindow) != L"  " + Paths.sample) throw DriverError("the sample did not load");
  Shoot(run, folder, L"fisheye", mainWindow);

  PostCommand(mainWindow, ID_TRANSFORM);
  Shoot(run, folder, L"panorama", mainWindow);

  PostCommand(mainWindow, ID_ABOUT);
  HWND about = run.WaitForDialog(L"Talvenor Inc.");
  Shoot(run, folder, L"about", about);
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
