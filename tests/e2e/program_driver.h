#pragma once
#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "probe_protocol.h"

// Drives one run of quorvane.exe from outside, as a user would: finds its
// windows, reads them, presses their buttons and fills in its dialogs. Every
// wait is bounded; a wait that runs out, or a program that ends while it is
// awaited, throws DriverError.

struct DriverError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Paths from the command line, as Windows paths.
struct DriverPaths {
  std::wstring program;     // quorvane.exe
  std::wstring work;        // a folder of its own for this run's files
  std::wstring picture;     // a small landscape JPEG
  std::wstring notPicture;  // a file named .jpg that is no picture
  std::wstring sample;      // the sample fisheye picture
  std::wstring probeDll;    // probe_hook's DLL
  std::wstring programWithoutMemory;  // quorvane.exe whose store cannot be reserved
};
extern DriverPaths Paths;

inline constexpr DWORD kStartSeconds = 60;  // the first Wine program of a run starts slowly
inline constexpr DWORD kWaitSeconds = 15;

const wchar_t kProgramTitle[] = L"Quorvane \u00A9";

std::string Narrow(const std::wstring& text);
std::wstring Text(HWND window);
std::wstring ClassOf(HWND window);
HWND Child(HWND parent, int id);
std::wstring ChildText(HWND parent, int id);
// The client rectangle in screen coordinates.
RECT ClientOnScreen(HWND window);

// Pixels of one dialog base unit of "MS Sans Serif" 8 points, worked out here
// the way the window manager does for a dialog with that font.
struct BaseUnits {
  int x;
  int y;
};
BaseUnits DialogFontBaseUnits();
// A rectangle in dialog units mapped to pixels, as MapDialogRect does.
RECT DialogRect(BaseUnits units, int x, int y, int width, int height);

class ProgramRun {
 public:
  // Starts `program` (quorvane.exe unless given) with Paths.work as its
  // current folder.
  explicit ProgramRun(const std::wstring& program = Paths.program);
  ~ProgramRun();  // ends the program if it still runs
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  bool Running() const;
  DWORD WaitForExit(DWORD seconds);  // the exit code

  // Visible top-level windows of the program.
  std::vector<HWND> Windows() const;
  HWND WaitForWindow(const std::function<bool(HWND)>& match, const std::string& what,
                     DWORD seconds = kWaitSeconds);
  HWND WaitForDialog(const std::wstring& caption, DWORD seconds = kWaitSeconds);
  void WaitUntilGone(HWND window, const std::string& what, DWORD seconds = kWaitSeconds);

  HWND WaitForTitleWindow();
  HWND WaitForMainWindow();
  // Presses Start in the title window; returns the main window.
  HWND PassTitleWindow();

  // Asks the hook inside the program (see probe_hook.cpp).
  std::wstring Probe(ProbeRequest request, HWND window);
  // Returns once the program has handled every message posted to it before:
  // two round trips, since a command may take one message off the queue
  // itself before it does its work.
  void Settle(HWND window);

 private:
  PROCESS_INFORMATION process_ = {};
  HHOOK hook_ = nullptr;
  HANDLE mapping_ = nullptr;
  ProbeShared* shared_ = nullptr;
  LONG serial_ = 0;
};

// The program's commands, as the menu sends them.
enum Command : int {
  ID_OPEN = 100,
  ID_SAVE = 101,
  ID_SAVE_SHARPEN = 102,
  ID_ABOUT = 103,
  ID_TRANSFORM = 104,
  ID_EXIT = 105,
  ID_SQUARE = 106,
  ID_RECTANGLE = 107,
  ID_HELP = 108,
};
void PostCommand(HWND mainWindow, Command command);
// Presses a button the way a click does (BM_CLICK).
void Press(HWND button);

// Types `path` into an open or save dialog's name field and presses OK.
void ChooseInFileDialog(HWND dialog, const std::wstring& path);

struct MessageBoxView {
  std::wstring caption;
  std::wstring text;
  HWND owner = nullptr;
  std::vector<int> buttons;  // ids of the visible buttons, left to right
  bool icon = false;         // a visible icon
};
MessageBoxView ReadMessageBox(HWND box);

// Loads `path` through the Open command; returns once the program has done so.
void LoadThroughOpenDialog(ProgramRun& run, HWND mainWindow, const std::wstring& path);

std::vector<uint8_t> ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
