#include "app/drop_files.h"

#include "app/app_state.h"
#include "app/main_window.h"
#include "imageio/load_fisheye.h"

namespace {

constexpr UINT_PTR kStartFileTimer = 1;

// The file named on the command line, until the main window shows.
std::string StartFile;

// `name` as the full path that the Open dialog would give, for the title;
// `name` itself when it cannot be made one (the load then says why).
std::string FullPath(const std::string& name) {
  const DWORD size = GetFullPathNameA(name.c_str(), 0, nullptr, nullptr);
  if (size == 0) return name;
  std::string path(size, '\0');
  const DWORD length = GetFullPathNameA(name.c_str(), size, path.data(), nullptr);
  if (length == 0 || length >= size) return name;
  path.resize(length);
  return path;
}

// The folder of a full path, as the Open dialog leaves the current folder:
// "C:\Photos", and "C:\" for a file at a drive's root.
std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return WorkFolder;
  return path.substr(0, separator == 2 && path[1] == ':' ? 3 : separator);
}

// The first dropped file in the program's code page, as the Open dialog's
// narrow call gives a name; empty when the drop holds none.
std::string FirstDroppedFile(HDROP drop) {
  const UINT length = DragQueryFileA(drop, 0, nullptr, 0);
  if (length == 0) return {};
  std::string name(length + 1, '\0');
  if (DragQueryFileA(drop, 0, name.data(), length + 1) != length) return {};
  name.resize(length);
  return name;
}

// Loads `name` as Open does once its dialog has closed. The guard is Open's:
// a file handed over while a command runs (a dialog of it open) is ignored.
// Only a loaded file's folder becomes the one the dialogs open in: a failure
// changes nothing.
void LoadHandedFile(const std::string& name) {
  if (CommandGuard != 0) return;
  CommandGuard = 1;
  BusyFlag = 1;
  RedrawMainWindow();
  const std::string path = FullPath(name);
  Result loaded = LoadFisheyeImage(path);
  if (loaded.ok())
    WorkFolder = FolderOf(path);
  else
    ReportFailure(MainDialog, "load", path, loaded.reason());
  BusyFlag = 0;
  CommandGuard = 0;
}

// A timer's call comes once the main window's loop has shown and painted it
// and found nothing else to do. Stopped first: the failure message's own loop
// must not call it again.
void CALLBACK LoadStartFile(HWND window, UINT, UINT_PTR timer, DWORD) {
  KillTimer(window, timer);
  LoadHandedFile(StartFile);
}

}  // namespace

void LoadDroppedFiles(HDROP drop) {
  const std::string name = FirstDroppedFile(drop);
  DragFinish(drop);
  if (!name.empty()) LoadHandedFile(name);
}

void LoadOnceShown(const std::string& name) {
  StartFile = name;
  SetTimer(MainDialog, kStartFileTimer, 0, LoadStartFile);
}
