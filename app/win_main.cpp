// The Windows program: a title window, then the main window until Exit.
#include <windows.h>

#include <cstdlib>

#include "app/app_state.h"
#include "app/drop_files.h"
#include "app/main_window.h"
#include "app/title_window.h"
#include "imageio/file_dialog.h"
#include "transform/stores.h"

namespace {

// "quorvane.exe FILE", as the shell's Open with starts the program: FILE loads
// once the main window shows. The C runtime splits the command line in the
// process's code page, UTF-8 (resources/quorvane.manifest).
void LoadCommandLineFile() {
  if (__argc >= 2) LoadOnceShown(__argv[1]);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The store every picture is decoded into, reserved once for the whole run.
  if (!ReserveSourceStore()) {
    MessageBoxA(nullptr, "There is not enough memory to start Quorvane.", "Quorvane", MB_OK | MB_ICONERROR);
    return 1;
  }
  HandCursor = LoadCursorA(instance, "h_point");
  ShowTitleWindow();
  WorkFolder = CurrentFolder();
  CreateMainWindow();
  LoadCommandLineFile();
  RunMainWindow();
  return 0;
}
