#pragma once
#include <windows.h>

#include <string>

// The main window and the hand cursor shown over the links of the title and
// About windows; both are made at start-up.
extern HWND MainDialog;
extern HCURSOR HandCursor;

// Builds the main window, hidden, with its background, icons, menus and
// buttons.
void CreateMainWindow();

// Shows the main window and runs it until Exit or the close box ends it.
void RunMainWindow();

// Tells the user that `action` ("load", "save") failed for the file `name`,
// and why. The only messages beside Help and the question before a file is
// replaced.
void ReportFailure(HWND owner, const char* action, const std::string& name, const std::string& reason);
