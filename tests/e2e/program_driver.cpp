#include "program_driver.h"

#include <span>

#include "imageio/bmp_writer.h"
#include "imageio/load_picture.h"
#include "transform/resample.h"
#include "transform/sharpen.h"

#include <algorithm>
#include <cwchar>

DriverPaths Paths;

namespace {

constexpr DWORD kPollMilliseconds = 20;

// Polls `ready` until it holds or `seconds` have passed.
template <typename Ready>
bool PollUntil(DWORD seconds, Ready ready) {
  const ULONGLONG end = GetTickCount64() + 1000ULL * seconds;
  for (;;) {
    if (ready()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(kPollMilliseconds);
  }
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// For a window of another process GetWindowText reads the text the window
// manager keeps; it does not wait for the program.
std::wstring Text(HWND window) {
  wchar_t text[4096] = {};
  GetWindowTextW(window, text, static_cast<int>(std::size(text)));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return name;
}

HWND Child(HWND parent, int id) { return GetDlgItem(parent, id); }

std::wstring ChildText(HWND parent, int id) {
  HWND child = Child(parent, id);
  if (!child) return L"<no control " + std::to_wstring(id) + L">";
  return Text(child);
}

RECT ClientOnScreen(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  MapWindowPoints(window, HWND_DESKTOP, reinterpret_cast<POINT*>(&client), 2);
  return client;
}

// The window manager's rule for a dialog font: the average width of the 52
// Latin letters, rounded, and the font's full height.
BaseUnits DialogFontBaseUnits() {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
  HFONT font = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, PROOF_QUALITY, FF_DONTCARE, L"MS Sans Serif");
  HGDIOBJ previous = SelectObject(screen, font);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(screen, &metrics);
  const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE extent = {};
  GetTextExtentPoint32W(screen, kLetters, 52, &extent);
  SelectObject(screen, previous);
  DeleteObject(font);
  ReleaseDC(nullptr, screen);
  return {static_cast<int>((extent.cx / 26 + 1) / 2), static_cast<int>(metrics.tmHeight)};
}

RECT DialogRect(BaseUnits units, int x, int y, int width, int height) {
  return {MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(x + width, units.x, 4), MulDiv(y + height, units.y, 8)};
}

// --- ProgramRun -------------------------------------------------------------

ProgramRun::ProgramRun(const std::wstring& program, const std::wstring& argument) {
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!argument.empty()) commandLine += L" \"" + argument + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      Paths.work.c_str(), &startup, &process_))
    throw DriverError("cannot start " + Narrow(program) + " (error " + std::to_string(GetLastError()) + ")");
}

ProgramRun::~ProgramRun() {
  if (hook_) UnhookWindowsHookEx(hook_);
  if (shared_) UnmapViewOfFile(shared_);
  if (mapping_) CloseHandle(mapping_);
  if (Running()) {
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, 10000);
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
}

bool ProgramRun::Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

DWORD ProgramRun::WaitForExit(DWORD seconds) {
  if (WaitForSingleObject(process_.hProcess, 1000 * seconds) != WAIT_OBJECT_0)
    throw DriverError("the program did not end within " + std::to_string(seconds) + " s");
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

std::vector<HWND> ProgramRun::Windows() const {
  struct Search {
    DWORD processId;
    std::vector<HWND> found;
  } search{process_.dwProcessId, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* search = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == search->processId && IsWindowVisible(window)) search->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND ProgramRun::WaitForWindow(const std::function<bool(HWND)>& match, const std::string& what, DWORD seconds) {
  HWND found = nullptr;
  bool ended = false;
  PollUntil(seconds, [&] {
    for (HWND window : Windows())
      if (match(window)) {
        found = window;
        return true;
      }
    ended = !Running();
    return ended;
  });
  if (found) return found;
  if (ended) {
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    throw DriverError("the program ended (exit code " + std::to_string(code) + ") while the driver waited for " + what);
  }
  std::string seen;
  for (HWND window : Windows()) seen += " [" + Narrow(ClassOf(window)) + " \"" + Narrow(Text(window)) + "\"]";
  throw DriverError("no " + what + " within " + std::to_string(seconds) + " s; the program shows:" +
                    (seen.empty() ? " nothing" : seen));
}

HWND ProgramRun::WaitForDialog(const std::wstring& caption, DWORD seconds) {
  return WaitForWindow([&](HWND window) { return ClassOf(window) == L"#32770" && Text(window) == caption; },
                       "dialog \"" + Narrow(caption) + "\"", seconds);
}

void ProgramRun::WaitUntilGone(HWND window, const std::string& what, DWORD seconds) {
  if (!PollUntil(seconds, [&] { return !IsWindow(window) || !IsWindowVisible(window); }))
    throw DriverError(what + " still open after " + std::to_string(seconds) + " s");
}

void ProgramRun::WaitForText(HWND window, const std::wstring& text, const std::string& what, DWORD seconds) {
  if (!PollUntil(seconds, [&] { return Text(window) == text || !Running(); }) || Text(window) != text)
    throw DriverError("no " + what + " within " + std::to_string(seconds) + " s; the window shows \"" +
                      Narrow(Text(window)) + "\"");
}

HWND ProgramRun::WaitForTitleWindow() {
  return WaitForWindow(
      [](HWND window) { return ClassOf(window) == L"#32770" && Child(window, 2005) && !GetMenu(window); },
      "title window", kStartSeconds);
}

HWND ProgramRun::WaitForMainWindow() {
  return WaitForWindow([](HWND window) { return ClassOf(window) == L"#32770" && GetMenu(window); }, "main window",
                       kStartSeconds);
}

HWND ProgramRun::PassTitleWindow() {
  HWND title = WaitForTitleWindow();
  Press(Child(title, 2005));
  WaitUntilGone(title, "the title window");
  return WaitForMainWindow();
}

std::wstring ProgramRun::Probe(ProbeRequest request, HWND window, const std::wstring& argument) {
  static const UINT probeMessage = RegisterWindowMessageW(kProbeMessageName);
  if (!shared_) {
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProbeShared),
                                  ProbeMappingName(GetCurrentProcessId()).c_str());
    if (mapping_) shared_ = static_cast<ProbeShared*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    if (!shared_) throw DriverError("cannot make the probe's shared memory");
  }
  if (!hook_) {
    static HMODULE probeDll = LoadLibraryW(Paths.probeDll.c_str());
    auto hookProc = probeDll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(GetProcAddress(probeDll, "ProbeHook"))) : nullptr;
    if (!hookProc) throw DriverError("cannot load the probe " + Narrow(Paths.probeDll));
    hook_ = SetWindowsHookExW(WH_GETMESSAGE, hookProc, probeDll, GetWindowThreadProcessId(window, nullptr));
    if (!hook_) throw DriverError("cannot hook the program (error " + std::to_string(GetLastError()) + ")");
  }
  shared_->request = request;
  shared_->window = reinterpret_cast<intptr_t>(window);
  if (argument.size() >= std::size(shared_->argument)) throw DriverError("a probe's argument is too long");
  std::wmemcpy(shared_->argument, argument.c_str(), argument.size() + 1);
  shared_->reply[0] = 0;
  const LONG serial = ++serial_;
  InterlockedExchange(&shared_->serial, serial);
  PostMessageW(window, probeMessage, GetCurrentProcessId(), 0);
  if (!PollUntil(kWaitSeconds, [&] { return shared_->answered == serial || !Running(); }) || !Running())
    throw DriverError(Running() ? "the program took no message for " + std::to_string(kWaitSeconds) + " s"
                                : std::string("the program ended while the driver waited for it"));
  return shared_->reply;
}

void ProgramRun::Settle(HWND window) {
  Probe(kProbePing, window);
  Probe(kProbePing, window);
}

void ProgramRun::DropFiles(HWND window, const std::vector<std::wstring>& files) {
  std::wstring list;
  for (const std::wstring& file : files) list += file + L'\0';
  const std::wstring reply = Probe(kProbeDrop, window, list);
  if (reply != L"dropped") throw DriverError("cannot drop files: " + Narrow(reply));
}

// --- Acting on windows ------------------------------------------------------

void PostCommand(HWND mainWindow, Command command) { PostMessageW(mainWindow, WM_COMMAND, command, 0); }

void Press(HWND button) {
  if (!button) throw DriverError("no button to press");
  PostMessageW(button, BM_CLICK, 0, 0);
}

void ChooseInFileDialog(HWND dialog, const std::wstring& path) {
  // The name field: cmb13 in the dialogs of today, edt1 in older ones.
  HWND field = Child(dialog, 0x47C);
  if (!field) field = Child(dialog, 0x480);
  if (!field) throw DriverError("the file dialog has no name field");
  DWORD_PTR ignored = 0;
  if (!SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG,
                           1000 * kWaitSeconds, &ignored))
    throw DriverError("cannot type into the file dialog");
  Press(Child(dialog, IDOK));
}

MessageBoxView ReadMessageBox(HWND box) {
  struct Collect {
    MessageBoxView view;
    std::vector<std::pair<LONG, int>> buttons;
  } collect;
  collect.view.caption = Text(box);
  collect.view.owner = GetWindow(box, GW_OWNER);
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        auto* collect = reinterpret_cast<Collect*>(data);
        if (!IsWindowVisible(child)) return TRUE;
        const std::wstring kind = ClassOf(child);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(kind.c_str(), L"Button") == 0) {
          RECT place = {};
          GetWindowRect(child, &place);
          collect->buttons.emplace_back(place.left, GetDlgCtrlID(child));
        } else if (_wcsicmp(kind.c_str(), L"Static") == 0) {
          if ((style & SS_TYPEMASK) == SS_ICON) {
            // The icon control may be there without an icon in it.
            DWORD_PTR icon = 0;
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000 * kWaitSeconds, &icon);
            collect->view.icon = collect->view.icon || icon != 0;
          }
          else if (!Text(child).empty())
            collect->view.text = Text(child);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&collect));
  std::sort(collect.buttons.begin(), collect.buttons.end());
  for (const auto& button : collect.buttons) collect.view.buttons.push_back(button.second);
  return collect.view;
}

void LoadThroughOpenDialog(ProgramRun& run, HWND mainWindow, const std::wstring& path) {
  PostCommand(mainWindow, ID_OPEN);
  HWND dialog = run.WaitForDialog(L"Load one fisheye image");
  ChooseInFileDialog(dialog, path);
  run.WaitUntilGone(dialog, "the open dialog");
  run.Settle(mainWindow);
}

std::vector<uint8_t> ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw DriverError("cannot open " + Narrow(path));
  std::vector<uint8_t> bytes;
  uint8_t piece[65536];
  DWORD got = 0;
  while (ReadFile(file, piece, sizeof piece, &got, nullptr) && got > 0) bytes.insert(bytes.end(), piece, piece + got);
  CloseHandle(file);
  return bytes;
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ControlText(HWND control) {
  wchar_t text[4096] = {};
  DWORD_PTR length = 0;
  if (!control || !SendMessageTimeoutW(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                                       SMTO_ABORTIFHUNG, 1000 * kWaitSeconds, &length))
    throw DriverError("cannot read a control's text");
  return std::wstring(text, length);
}

void TypeInto(HWND control, const std::wstring& text) {
  DWORD_PTR ignored = 0;
  if (!control || !SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                       SMTO_ABORTIFHUNG, 1000 * kWaitSeconds, &ignored))
    throw DriverError("cannot type into a control");
}

// The BMP file the engine makes of `picture` after an optional Transform and
// `sharpenings` uses of Save and Sharpen (each lowers the level by 32 first).
std::vector<uint8_t> EngineBmp(const std::wstring& picture, bool transform, int sharpenings, SaveShape shape) {
  LoadedPicture fisheye;
  Result load = LoadPicture(Narrow(picture), fisheye);
  if (!load.ok()) throw DriverError("the engine cannot load " + Narrow(picture) + ": " + load.reason());
  PixelStore store = AllocatePixels(int64_t{fisheye.width} * fisheye.height);
  PixelBuffer shown = fisheye.View();
  if (transform) {
    shown = {store.get(), fisheye.width, fisheye.height};
    TransformPicture(fisheye.View(), shown, Lens{}, 0);
    ClearSideMargins(shown);
  }
  int32_t level = 127;
  for (int use = 0; use < sharpenings; ++use) {
    level -= 32;
    SharpenPicture(shown, SharpenWeightsFor(level), 0);
  }
  std::vector<uint8_t> bytes;
  EncodeBmp(shown, shape, [&](std::span<const uint8_t> piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  });
  return bytes;
}

::testing::AssertionResult FileHolds(const std::wstring& path, const std::vector<uint8_t>& expected) {
  if (!FileExists(path)) return ::testing::AssertionFailure() << Narrow(path) << " was not written";
  const std::vector<uint8_t> actual = ReadFileBytes(path);
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << Narrow(path) << " holds " << actual.size() << " bytes, the engine makes "
                                       << expected.size() << "; first difference at byte " << at;
}
