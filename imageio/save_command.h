#pragma once
#include <windows.h>

#include <string>

// The Save command: asks for a BMP file name, asks before replacing a file,
// and writes DisplayStore in the shape the Save Options choose.
void SaveCommand(HWND owner, std::string& workFolder);
