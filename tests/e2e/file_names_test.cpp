// End-to-end tests of how files reach the programs: names beyond any ANSI code
// page through the window's dialogs and through quorvane-convert.exe, a file
// named on the command line (Open with), files dropped on the main window, and
// what else the manifest brings.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <sstream>

#include "cli/convert.h"
#include "imageio/bmp_writer.h"
#include "imageio/load_picture.h"
#include "program_driver.h"

namespace {

// Greek, Chinese and a character beyond 16 bits: no ANSI code page holds
// them all. The folder is Ελληνικά\鱼眼, the picture "φωτο 🐟.jpg", the
// saved file "全景.bmp".
const wchar_t kFolder[] = L"\u0395\u03BB\u03BB\u03B7\u03BD\u03B9\u03BA\u03AC\\\u9C7C\u773C";
const wchar_t kPictureStem[] = L"\u03C6\u03C9\u03C4\u03BF \U0001F41F";
const wchar_t kSavedName[] = L"\u5168\u666F.bmp";

const wchar_t kOpenTitle[] = L"Load one fisheye image";
const wchar_t kSaveTitle[] = L" Select name [BMP]";

std::wstring WorkFile(const std::wstring& name) { return Paths.work + L"\\" + name; }

// The folder under Paths.work, holding a copy of the test picture; returns the
// copy's path.
std::wstring PictureInForeignFolder() {
  const std::wstring folder = WorkFile(kFolder);
  CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring picture = folder + L"\\" + kPictureStem + L".jpg";
  if (!CopyFileW(Paths.picture.c_str(), picture.c_str(), FALSE)) throw DriverError("cannot copy the test picture");
  return picture;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = towlower(c);
  return text;
}

// The message a failed load of `path` shows: "Cannot load PATH", then the
// engine's reason for it.
void ExpectLoadMessage(ProgramRun& run, HWND mainWindow, const std::wstring& path) {
  LoadedPicture ignored;
  const Result engine = LoadPicture(Narrow(path), ignored);
  ASSERT_FALSE(engine.ok());
  const std::wstring reason(engine.reason().begin(), engine.reason().end());
  HWND box = run.WaitForDialog(L"Quorvane");
  const MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.owner, mainWindow);
  EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
  EXPECT_EQ(view.text.rfind(L"Cannot load " + path, 0), 0u) << Narrow(view.text);
  EXPECT_NE(Lower(view.text).find(Lower(reason)), std::wstring::npos) << Narrow(view.text);
  Press(Child(box, IDOK));
  run.WaitUntilGone(box, "the load message");
  run.Settle(mainWindow);
}

void ExpectOnlyMainWindow(ProgramRun& run, HWND mainWindow) {
  for (HWND window : run.Windows())
    EXPECT_EQ(window, mainWindow) << "unexpected window " << Narrow(ClassOf(window)) << " \"" << Narrow(Text(window))
                                  << "\"";
}

// --- Names beyond the code page --------------------------------------------

TEST(FileNames, OpenShowAndSaveInAGreekAndChineseFolder) {
  const std::wstring picture = PictureInForeignFolder();
  const std::wstring saved = FolderOf(picture) + L"\\" + kSavedName;
  DeleteFileW(saved.c_str());
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  LoadThroughOpenDialog(run, mainWindow, picture);
  EXPECT_EQ(Text(mainWindow), L"  " + picture) << "the title after the load";

  // Saved twice under the name: the second time the program sees the file
  // and asks first.
  for (bool again : {false, true}) {
    PostCommand(mainWindow, ID_SAVE);
    HWND dialog = run.WaitForDialog(kSaveTitle);
    ChooseInFileDialog(dialog, saved);
    run.WaitUntilGone(dialog, "the save dialog");
    if (again) {
      HWND question = run.WaitForDialog(L"Save File");
      EXPECT_EQ(ReadMessageBox(question).text, L"Replace existing copy of " + saved + L" ?");
      Press(Child(question, IDCANCEL));
      run.WaitUntilGone(question, "the question");
    }
    run.Settle(mainWindow);
    ExpectOnlyMainWindow(run, mainWindow);
    EXPECT_TRUE(FileHolds(saved, EngineBmp(Paths.picture, false, 0, SaveShape::Square)));
  }
}

// The converter's path, from the driver's own --converter= argument.
std::wstring ConverterPath() {
  const std::wstring prefix = L"--converter=";
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring path;
  for (int i = 1; i < count; ++i)
    if (std::wstring(arguments[i]).rfind(prefix, 0) == 0) path = arguments[i] + prefix.size();
  LocalFree(arguments);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

// Runs quorvane-convert.exe with `arguments`; returns its exit status, and
// what it wrote in `output`.
DWORD RunConverterProgram(const std::vector<std::wstring>& arguments, std::string& output) {
  const std::wstring converter = ConverterPath();
  if (converter.empty()) throw DriverError("--converter is needed");
  std::wstring commandLine = L"\"" + converter + L"\"";
  for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
  const std::wstring outputFile = WorkFile(L"converter-output.txt");
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE outputHandle =
      CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
  if (outputHandle == INVALID_HANDLE_VALUE) throw DriverError("cannot make " + Narrow(outputFile));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outputHandle;
  startup.hStdError = outputHandle;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(converter.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      Paths.work.c_str(), &startup, &process);
  CloseHandle(outputHandle);
  if (!started) throw DriverError("cannot start " + Narrow(converter));
  const bool ended = WaitForSingleObject(process.hProcess, 1000 * kStartSeconds) == WAIT_OBJECT_0;
  DWORD status = 0;
  if (ended) GetExitCodeProcess(process.hProcess, &status);
  else TerminateProcess(process.hProcess, 99);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!ended) throw DriverError("the converter did not end within " + std::to_string(kStartSeconds) + " s");
  const std::vector<uint8_t> bytes = ReadFileBytes(outputFile);
  output.assign(bytes.begin(), bytes.end());
  return status;
}

// Converted without -o, the panorama lands beside the picture under the
// picture's own name; it equals what the converter's code makes of the same
// picture under a plain name.
TEST(FileNames, ConverterTakesAGreekAndChineseFolder) {
  const std::wstring picture = PictureInForeignFolder();
  const std::wstring panorama = FolderOf(picture) + L"\\" + kPictureStem + L"-panorama.jpg";
  DeleteFileW(panorama.c_str());
  std::string output;
  EXPECT_EQ(RunConverterProgram({picture}, output), 0u) << output;

  const std::wstring expected = WorkFile(L"plain-panorama.jpg");
  const std::string expectedName = Narrow(expected);
  const std::string input = Narrow(Paths.picture);
  const char* arguments[] = {"quorvane-convert", "--force", "-o", expectedName.c_str(), input.c_str()};
  std::ostringstream messages;
  ASSERT_EQ(RunConverter(5, arguments, messages, messages), 0) << messages.str();
  EXPECT_TRUE(FileHolds(panorama, ReadFileBytes(expected)));
}

// --- Open with ----------------------------------------------------------------

// "quorvane.exe FILE": the title window as always, then FILE in the main
// window. The name is relative to the folder the program starts in (the work
// folder); the title shows it in full. The file's folder is where the Save
// dialog then opens, as after Open.
TEST(OpenWith, LoadsTheFileNamedOnTheCommandLine) {
  const std::wstring picture = PictureInForeignFolder();
  const std::wstring saved = FolderOf(picture) + L"\\" + kSavedName;
  DeleteFileW(saved.c_str());
  ProgramRun run(Paths.program, picture.substr(Paths.work.size() + 1));
  HWND mainWindow = run.PassTitleWindow();
  run.WaitForText(mainWindow, L"  " + picture, "title of the loaded file");
  run.Settle(mainWindow);
  ExpectOnlyMainWindow(run, mainWindow);

  PostCommand(mainWindow, ID_SAVE);
  HWND dialog = run.WaitForDialog(kSaveTitle);
  ChooseInFileDialog(dialog, kSavedName);
  run.WaitUntilGone(dialog, "the save dialog");
  run.Settle(mainWindow);
  EXPECT_TRUE(FileHolds(saved, EngineBmp(Paths.picture, false, 0, SaveShape::Square)))
      << "a bare name saves in the loaded file's folder";
}

TEST(OpenWith, AFileThatCannotBeLoadedLeavesAnEmptyWindow) {
  ProgramRun run(Paths.program, Paths.notPicture);
  HWND mainWindow = run.PassTitleWindow();
  ExpectLoadMessage(run, mainWindow, Paths.notPicture);
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
  ExpectOnlyMainWindow(run, mainWindow);
}

// --- Drag and drop ------------------------------------------------------------

TEST(Drop, LoadsTheFirstDroppedFileAsOpenDoes) {
  const std::wstring picture = PictureInForeignFolder();
  // The test's text file under a text file's name.
  const std::wstring text = WorkFile(L"notes.txt");
  ASSERT_TRUE(CopyFileW(Paths.notPicture.c_str(), text.c_str(), FALSE));
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  EXPECT_TRUE(GetWindowLongW(mainWindow, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) << "the main window takes drops";

  // A text file: Open's message, and nothing changes.
  run.DropFiles(mainWindow, {text});
  ExpectLoadMessage(run, mainWindow, text);
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
  ExpectOnlyMainWindow(run, mainWindow);

  // Several files: the first loads, the others are left alone.
  run.DropFiles(mainWindow, {picture, text});
  run.Settle(mainWindow);
  EXPECT_EQ(Text(mainWindow), L"  " + picture);
  ExpectOnlyMainWindow(run, mainWindow);

  // While Open's dialog is up, a drop is ignored, as a second Open would be.
  PostCommand(mainWindow, ID_OPEN);
  HWND dialog = run.WaitForDialog(kOpenTitle);
  run.DropFiles(mainWindow, {Paths.picture});
  run.Settle(mainWindow);
  Press(Child(dialog, IDCANCEL));
  run.WaitUntilGone(dialog, "the open dialog");
  run.Settle(mainWindow);
  EXPECT_EQ(Text(mainWindow), L"  " + picture);
  ExpectOnlyMainWindow(run, mainWindow);
}

// --- The manifest -------------------------------------------------------------

// The Lens window's controls come in the system's current look: the program
// asks for version 6 of the common controls, which its buttons already load
// from the side-by-side store, in the folder named for that assembly.
TEST(Manifest, TheProgramUsesVersionSixOfTheCommonControls) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  const std::wstring files = run.Probe(kProbeCommonControls, mainWindow);
  EXPECT_NE(Lower(files).find(L"microsoft.windows.common-controls_6595b64144ccf1df_6."), std::wstring::npos)
      << "comctl32.dll loaded from:\n" << Narrow(files);
}

}  // namespace
