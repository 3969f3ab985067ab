#pragma once
#include <windows.h>

#include <string>

// The Open command: asks for a fisheye picture and loads it. `workFolder` is
// where the dialog opens, and becomes the chosen file's folder.
void OpenCommand(HWND owner, std::string& workFolder);
