// The Windows program: a title window, then the main window until Exit.
#include <windows.h>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/title_window.h"
#include "imageio/file_dialog.h"
#include "transform/stores.h"

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
  RunMainWindow();
  return 0;
}
