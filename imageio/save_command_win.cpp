#include "imageio/save_command.h"

#include <iterator>
#include <optional>

#include "app/app_state.h"
#include "app/main_window.h"
#include "imageio/dialog_pause.h"
#include "imageio/file_dialog.h"
#include "imageio/file_replace.h"
#include "imageio/picture_encoding.h"
#include "imageio/write_display.h"
#include "transform/stores.h"

namespace {

// The types the dialog offers, BMP first and the default, and what each adds
// to a name that ends in no picture extension.
const std::string kFilter =
    std::string("Save Image  (*.BMP)\0*.BMP\0", 26) + std::string("JPEG picture (*.jpg)\0*.jpg\0", 27) +
    std::string("PNG picture (*.png)\0*.png\0", 26) + std::string("TIFF picture (*.tif)\0*.tif\0", 27);
struct SaveType {
  const char* extension;
  PictureFormat format;
};
constexpr SaveType kSaveTypes[] = {
    {".bmp", PictureFormat::Bmp}, {".jpg", PictureFormat::Jpeg}, {".png", PictureFormat::Png},
    {".tif", PictureFormat::Tiff}};

}  // namespace

void SaveCommand(HWND owner, std::string& workFolder) {
  std::string name;
  uint32_t flags = OpenFlags;
  // TIFF first for a 16-bit picture, which it holds whole.
  int32_t picked = SourceSamples16 ? 4 : 1;
  if (ChooseFile(owner, " Select name [BMP]", name, workFolder, kFilter, "", flags, SaveDialog, &picked) == 0) return;
  RepaintAfterDialog(MainDialog);
  if (IsBlankName(name)) return;
  workFolder = CurrentFolder();
  BusyFlag = 1;
  // The question has no owner: the main window stays enabled meanwhile.
  // A picture extension in the name decides the format; otherwise the picked
  // type's extension is added.
  const SaveType& type = kSaveTypes[picked >= 1 && picked <= static_cast<int32_t>(std::size(kSaveTypes)) ? picked - 1 : 0];
  const std::optional<PictureFormat> named = FormatFromName(name);
  const std::string written = named ? name : name + type.extension;
  if (FileExists(written)) {
    std::string question = "Replace existing copy of " + written + " ?";
    if (MessageBoxA(nullptr, question.c_str(), "Save File", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) return;
  }
  // The old file is replaced only by a complete new one; a failed save
  // leaves it as it was and says why.
  Result saved = WriteDisplayFile(written, named.value_or(type.format));
  if (!saved.ok()) ReportFailure(owner, "save", written, saved.reason());
}
