#include "imageio/open_command.h"

#include "app/app_state.h"
#include "app/main_window.h"
#include "imageio/dialog_pause.h"
#include "imageio/file_dialog.h"
#include "imageio/load_fisheye.h"

namespace {

// Every picture the program reads first, then each kind alone; the content
// decides how a file is read, whatever its name.
std::string OpenFilter() {
  const char* const kTypes[][2] = {
      {"Pictures (*.jpg;*.jpeg;*.png;*.tif;*.tiff;*.bmp)", "*.jpg;*.jpeg;*.png;*.tif;*.tiff;*.bmp"},
      {"JPEG picture (*.jpg;*.jpeg)", "*.jpg;*.jpeg"},
      {"PNG picture (*.png)", "*.png"},
      {"TIFF picture (*.tif;*.tiff)", "*.tif;*.tiff"},
      {"BMP picture (*.bmp)", "*.bmp"},
  };
  std::string filter;
  for (const auto& type : kTypes) {
    filter += type[0];
    filter += '\0';
    filter += type[1];
    filter += '\0';
  }
  return filter;
}

}  // namespace

void OpenCommand(HWND owner, std::string& workFolder) {
  static const std::string kFilter = OpenFilter();
  std::string name;
  uint32_t flags = OpenFlags;
  if (ChooseFile(owner, "Load one fisheye image", name, workFolder, kFilter, "", flags, OpenDialog) == 0) return;
  RepaintAfterDialog(MainDialog);
  if (IsBlankName(name)) return;
  workFolder = CurrentFolder();
  BusyFlag = 1;
  RedrawWindow(owner, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  // A picture that cannot be loaded leaves everything as it was, the title
  // included; the user is told which file and why.
  Result loaded = LoadFisheyeImage(name);
  if (!loaded.ok()) ReportFailure(owner, "load", name, loaded.reason());
}
