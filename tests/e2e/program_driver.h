#pragma once
#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "probe_protocol.h"
#include "transform/lens.h"

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
  // current folder and `argument`, when given, as its one argument.
  explicit ProgramRun(const std::wstring& program = Paths.program, const std::wstring& argument = {});
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
  // Waits until `window`'s text is `text`.
  void WaitForText(HWND window, const std::wstring& text, const std::string& what, DWORD seconds = kWaitSeconds);

  HWND WaitForTitleWindow();
  HWND WaitForMainWindow();
  // Presses Start in the title window; returns the main window.
  HWND PassTitleWindow();

  // Asks the hook inside the program (see probe_hook.cpp); `argument` as the
  // request needs it.
  std::wstring Probe(ProbeRequest request, HWND window, const std::wstring& argument = {});
  // Returns once the program has handled every message posted to it before:
  // two round trips, since a command may take one message off the queue
  // itself before it does its work.
  void Settle(HWND window);
  // Drops `files` on `window` as the shell does; returns once the program
  // has the drop in its queue.
  void DropFiles(HWND window, const std::vector<std::wstring>& files);

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
  ID_LENS_SETTINGS = 109,
  ID_FIND_CIRCLE = 110,
  ID_SHOW_CIRCLE = 111,
  ID_SAVE_SPHERE = 112,
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

// The text of a control as the control itself holds it (an edit field keeps
// its text to itself), and replacing it as typing would.
std::wstring ControlText(HWND control);
void TypeInto(HWND control, const std::wstring& text);

// The BMP file the engine makes of `picture` after an optional Transform and
// `sharpenings` uses of Save and Sharpen (each lowers the level by 32 first),
// saved in `shape` (a SaveShape).
std::vector<uint8_t> EngineBmp(const std::wstring& picture, bool transform, int sharpenings, SaveShape shape);

// Whether the file `path` holds exactly `expected`; where it first differs when not.
::testing::AssertionResult FileHolds(const std::wstring& path, const std::vector<uint8_t>& expected);
