#include "imageio/file_dialog.h"

#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Room for a long multi-selection: the folder and every chosen name.
constexpr size_t FileBufferSize = 30583;
constexpr size_t kTextBufferSize = 512;
constexpr size_t kExtensionBufferSize = 10;

// A zero-filled buffer holding `text` cut to one byte less than its size.
std::vector<char> TextBuffer(const std::string& text, size_t size) {
  std::vector<char> buffer(size, '\0');
  std::memcpy(buffer.data(), text.data(), std::min(text.size(), size - 1));
  return buffer;
}

// Switches the dialog's file list to the details view. Not enabled: both
// dialogs open in the platform's usual view.
UINT_PTR CALLBACK FileDialogHook(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_NOTIFY) return 0;
  HWND parent = GetParent(dialog);
  HWND view = nullptr;
  while ((view = FindWindowExA(parent, view, "SHELLDLL_DefView", nullptr)) != nullptr) {
    if (GetWindowTextLengthA(view) == 0) {
      SendMessageA(view, WM_COMMAND, 0x702C, 0);
      break;
    }
  }
  return 0;
}

}  // namespace

std::string CurrentFolder() {
  // In UTF-8 a folder of MAX_PATH characters takes up to three times as many
  // bytes: asked for the length first.
  const DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return {};
  std::vector<char> folder(needed + 1, '\0');
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(folder.size()), folder.data());
  return length > 0 && length < folder.size() ? std::string(folder.data(), length) : std::string();
}

int32_t ChooseFile(HWND owner, const std::string& title, std::string& name, const std::string& initialFolder,
                   const std::string& filter, const std::string& defaultExtension, uint32_t& flags,
                   int32_t dialogMode, int32_t* pickedType) {
  // Room for the whole folder, however deep; at least the usual 512 bytes.
  const std::string folder = initialFolder.empty() ? CurrentFolder() : initialFolder;
  std::vector<char> folderBuffer = TextBuffer(folder, std::max(kTextBufferSize, folder.size() + 1));
  std::vector<char> titleBuffer = TextBuffer(title, kTextBufferSize);
  std::vector<char> extensionBuffer = TextBuffer(defaultExtension, kExtensionBufferSize);
  std::vector<char> nameBuffer(FileBufferSize, '\0');
  std::memcpy(nameBuffer.data(), name.data(), std::min(name.size(), FileBufferSize));
  std::vector<char> fileTitleBuffer(kTextBufferSize, '\0');
  // The list ends with one more NUL than the caller's pairs.
  std::string filterList = filter + '\0';

  // lStructSize is the whole structure, the three trailing fields included.
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filterList.c_str();
  // The type offered first: the caller's, else the first.
  dialog.nFilterIndex = pickedType != nullptr && *pickedType > 0 ? static_cast<DWORD>(*pickedType) : 1;
  dialog.lpstrFile = nameBuffer.data();
  dialog.nMaxFile = static_cast<DWORD>(FileBufferSize);
  dialog.lpstrFileTitle = fileTitleBuffer.data();
  dialog.nMaxFileTitle = static_cast<DWORD>(kTextBufferSize);
  dialog.lpstrInitialDir = folderBuffer.data();
  dialog.lpstrTitle = titleBuffer[0] != '\0' ? titleBuffer.data() : nullptr;
  dialog.Flags = flags;
  dialog.lpstrDefExt = extensionBuffer.data();
  dialog.lpfnHook = FileDialogHook;

  BOOL chosen = dialogMode == OpenDialog ? GetOpenFileNameA(&dialog) : GetSaveFileNameA(&dialog);
  // Several files chosen: the buffer holds the folder, NUL, the names; the
  // part before the first NUL is the folder.
  name.assign(nameBuffer.data(), strnlen(nameBuffer.data(), FileBufferSize));
  flags = dialog.Flags;
  if (pickedType != nullptr) *pickedType = static_cast<int32_t>(dialog.nFilterIndex);
  return chosen ? 1 : 0;
}
