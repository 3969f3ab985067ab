#include "imageio/save_command.h"

#include "app/app_state.h"
#include "app/main_window.h"
#include "imageio/bmp_writer.h"
#include "imageio/dialog_pause.h"
#include "imageio/file_dialog.h"
#include "imageio/file_replace.h"
#include "imageio/write_display.h"

void SaveCommand(HWND owner, std::string& workFolder) {
  static const std::string kFilter("Save Image  (*.BMP)\0*.BMP\0", 26);
  std::string name;
  uint32_t flags = OpenFlags;
  if (ChooseFile(owner, " Select name [BMP]", name, workFolder, kFilter, "", flags, SaveDialog) == 0) return;
  RepaintAfterDialog(MainDialog);
  if (IsBlankName(name)) return;
  workFolder = CurrentFolder();
  BusyFlag = 1;
  // The question has no owner: the main window stays enabled meanwhile.
  std::string written = BmpFileName(name);
  if (FileExists(written)) {
    std::string question = "Replace existing copy of " + written + " ?";
    if (MessageBoxA(nullptr, question.c_str(), "Save File", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) return;
  }
  // The old file is replaced only by a complete new one; a failed save
  // leaves it as it was and says why.
  Result saved = WriteBmpFile(written);
  if (!saved.ok()) ReportFailure(owner, "save", written, saved.reason());
}
