#pragma once
#include <windows.h>
#include <shellapi.h>

#include <string>

// Files the shell hands to the main window: dropped on it, or named on the
// command line ("Open with"). Either loads as Open does, under its guard, and
// a file that cannot be loaded is reported as Open reports it.

// Loads the first of the dropped files and releases the drop.
void LoadDroppedFiles(HDROP drop);

// Loads `name` (in the program's code page) once the main window shows.
void LoadOnceShown(const std::string& name);
