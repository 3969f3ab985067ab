#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// The dialog flags both Open and Save pass: no read-only box, several files
// may be selected, an opened file must exist, explorer style, shortcuts
// returned as themselves, resizable. Deliberately without
// OFN_OVERWRITEPROMPT (Save asks its own question) and OFN_NOCHANGEDIR (the
// chosen file's folder becomes the current directory, and so WorkFolder).
constexpr uint32_t OpenFlags = 0x00981204;

enum DialogMode : int32_t { OpenDialog = 0, SaveDialog = 1 };

// Asks for one file in the standard open or save dialog. `name` is the
// proposal on entry and the chosen full path on return; `filter` holds
// description and pattern pairs, each followed by a NUL. Nonzero when the
// user confirmed a name; `pickedType`, when given, names the pair offered
// first (counted from 1; 0: the first) and receives the pair the user had
// picked.
int32_t ChooseFile(HWND owner, const std::string& title, std::string& name, const std::string& initialFolder,
                   const std::string& filter, const std::string& defaultExtension, uint32_t& flags,
                   int32_t dialogMode, int32_t* pickedType = nullptr);

// The process's current directory.
std::string CurrentFolder();
