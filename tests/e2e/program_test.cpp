// End-to-end tests of quorvane.exe: each test starts the program, works it
// through its windows as a user would, and checks what it shows and the files
// it writes. Every saved file is compared byte for byte with what the engine,
// linked into this driver, makes of the same picture in the same run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <map>
#include <sstream>
#include <tuple>

#include "imageio/bmp_writer.h"
#include "cli/convert.h"
#include "imageio/load_picture.h"
#include "imageio/picture_encoding.h"
#include "program_driver.h"
#include "transform/resample.h"
#include "transform/sharpen.h"
#include "transform/stores.h"

namespace {

const wchar_t kOpenTitle[] = L"Load one fisheye image";
const wchar_t kSaveTitle[] = L" Select name [BMP]";
const wchar_t kWebAddress[] = L"https://www.talvenor.example/";

std::wstring WorkFile(const wchar_t* name) { return Paths.work + L"\\" + name; }

// Saves through the save dialog under `path`; returns once the program is done
// unless a question box is expected to follow.
HWND SaveThroughDialog(ProgramRun& run, HWND mainWindow, Command command, const std::wstring& path) {
  PostCommand(mainWindow, command);
  HWND dialog = run.WaitForDialog(kSaveTitle);
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), mainWindow) << "the save dialog belongs to the main window";
  ChooseInFileDialog(dialog, path);
  run.WaitUntilGone(dialog, "the save dialog");
  return dialog;
}

// Menu items by id: caption and check mark, read inside the program.
struct MenuEntry {
  int depth;
  std::wstring kind;
  int id;
  bool checked;
  std::wstring caption;
  bool operator==(const MenuEntry&) const = default;
};

std::vector<MenuEntry> ReadMenu(ProgramRun& run, HWND mainWindow, int* barHeight = nullptr) {
  std::wistringstream reply(run.Probe(kProbeMenu, mainWindow));
  std::vector<MenuEntry> entries;
  std::wstring line;
  while (std::getline(reply, line)) {
    std::vector<std::wstring> fields;
    std::wistringstream split(line);
    std::wstring field;
    while (std::getline(split, field, L'\t')) fields.push_back(field);
    if (!fields.empty() && fields[0] == L"error") throw DriverError("reading the menu: " + Narrow(line));
    if (fields.size() == 3 && fields[0] == L"bar") {
      if (barHeight) *barHeight = std::stoi(fields[2]) - std::stoi(fields[1]);
      continue;
    }
    fields.resize(5);
    entries.push_back({std::stoi(fields[0]), fields[1], std::stoi(fields[2]), fields[3] == L"1", fields[4]});
  }
  return entries;
}

std::map<int, bool> SaveOptionChecks(ProgramRun& run, HWND mainWindow) {
  std::map<int, bool> checks;
  for (const MenuEntry& entry : ReadMenu(run, mainWindow))
    if (entry.id == ID_SQUARE || entry.id == ID_RECTANGLE || entry.id == ID_SAVE_SPHERE)
      checks[entry.id] = entry.checked;
  return checks;
}

std::ostream& operator<<(std::ostream& out, const MenuEntry& entry) {
  return out << entry.depth << " " << Narrow(entry.kind) << " " << entry.id << (entry.checked ? " checked " : " ")
             << "\"" << Narrow(entry.caption) << "\"";
}

void ExpectOnlyMainWindow(ProgramRun& run, HWND mainWindow) {
  for (HWND window : run.Windows())
    EXPECT_EQ(window, mainWindow) << "unexpected window " << Narrow(ClassOf(window)) << " \"" << Narrow(Text(window))
                                  << "\"";
}

SIZE ClientSize(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

void ExpectClientSize(HWND window, BaseUnits units, int width, int height, const char* what) {
  const RECT expected = DialogRect(units, 0, 0, width, height);
  const SIZE size = ClientSize(window);
  EXPECT_EQ(size.cx, expected.right) << what << ": client width of " << width << " dialog units";
  EXPECT_EQ(size.cy, expected.bottom) << what << ": client height of " << height << " dialog units";
}

// --- The title window ---------------------------------------------------------

TEST(TitleWindow, ShowsTheMakerAndStartLeadsToTheMainWindow) {
  ProgramRun run;
  HWND title = run.WaitForTitleWindow();
  EXPECT_EQ(Text(title), kProgramTitle);
  EXPECT_EQ(GetWindow(title, GW_OWNER), nullptr);
  EXPECT_EQ(run.Windows().size(), 1u) << "the title window comes alone, before the main window";
  ExpectClientSize(title, DialogFontBaseUnits(), 437, 120, "title window");

  EXPECT_EQ(ChildText(title, 2001), L"See a more of free Apps at:");
  EXPECT_EQ(ChildText(title, 2000), kWebAddress);
  EXPECT_TRUE(GetWindowLongW(Child(title, 2000), GWL_STYLE) & SS_NOTIFY) << "the link takes clicks";
  EXPECT_EQ(ChildText(title, 2005), L"Start");
  EXPECT_EQ(_wcsicmp(ClassOf(Child(title, 2005)).c_str(), L"Button"), 0);

  // The banner: a bitmap picture control that holds a bitmap.
  HWND banner = nullptr;
  for (HWND child = GetWindow(title, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) banner = child;
  ASSERT_NE(banner, nullptr) << "no bitmap picture in the title window";
  DWORD_PTR bitmap = 0;
  SendMessageTimeoutW(banner, STM_GETIMAGE, IMAGE_BITMAP, 0, SMTO_ABORTIFHUNG, 5000, &bitmap);
  EXPECT_NE(bitmap, 0u) << "the banner shows no bitmap";

  // Enter and Escape send IDOK and IDCANCEL, which the title window ignores.
  PostMessageW(title, WM_COMMAND, IDOK, 0);
  PostMessageW(title, WM_COMMAND, IDCANCEL, 0);
  run.Settle(title);
  EXPECT_TRUE(IsWindowVisible(title)) << "Enter or Escape closed the title window";

  Press(Child(title, 2005));
  run.WaitUntilGone(title, "the title window after Start");
  HWND mainWindow = run.WaitForMainWindow();
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
}

TEST(TitleWindow, CloseBoxAlsoLeadsToTheMainWindow) {
  ProgramRun run;
  HWND title = run.WaitForTitleWindow();
  PostMessageW(title, WM_SYSCOMMAND, SC_CLOSE, 0);
  run.WaitUntilGone(title, "the title window after its close box");
  HWND mainWindow = run.WaitForMainWindow();
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
  EXPECT_TRUE(run.Running());
}

// --- The main window ----------------------------------------------------------

TEST(MainWindow, HasItsTitleSizeMenusAndButtons) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
  EXPECT_EQ(GetWindow(mainWindow, GW_OWNER), nullptr);
  const LONG style = GetWindowLongW(mainWindow, GWL_STYLE);
  const LONG exStyle = GetWindowLongW(mainWindow, GWL_EXSTYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0) << "no minimise, maximise or sizing";

  // The window's dialog font is "MS Sans Serif" 8: its base units, as the
  // program's own MapDialogRect gives them, are those of that font.
  const BaseUnits units = DialogFontBaseUnits();
  EXPECT_EQ(run.Probe(kProbeDialogUnits, mainWindow), std::to_wstring(units.x) + L" " + std::to_wstring(units.y));

  // 570 x 407 dialog units, the menu bar taken out of the height afterwards:
  // the frame keeps the size of a 570 x 407 client area without a menu.
  int barHeight = -1;
  const std::vector<MenuEntry> menu = ReadMenu(run, mainWindow, &barHeight);
  const RECT full = DialogRect(units, 0, 0, 570, 407);
  RECT frame = full;
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  RECT outer = {};
  GetWindowRect(mainWindow, &outer);
  const SIZE client = ClientSize(mainWindow);
  EXPECT_EQ(client.cx, full.right) << "client width of 570 dialog units";
  EXPECT_EQ(outer.right - outer.left, frame.right - frame.left) << "window width";
  EXPECT_EQ(outer.bottom - outer.top, frame.bottom - frame.top) << "window height";
  EXPECT_GT(barHeight, 0);
  EXPECT_LE(std::abs(full.bottom - barHeight - client.cy), 1)
      << "client height: 407 dialog units (" << full.bottom << " px) less the menu bar (" << barHeight << " px)";

  const std::vector<MenuEntry> expectedMenu = {
      {0, L"popup", 0, false, L"  &File  "},
      {1, L"item", ID_OPEN, false, L"&Open"},
      {1, L"separator", 0, false, L""},
      {1, L"item", ID_TRANSFORM, false, L"&Transform"},
      {1, L"separator", 0, false, L""},
      {1, L"item", ID_SAVE, false, L"&Save"},
      {1, L"item", ID_SAVE_SHARPEN, false, L"S&ave and Sharpen"},
      {1, L"separator", 0, false, L""},
      {1, L"popup", 0, false, L"&Save Options"},
      {2, L"item", ID_SQUARE, true, L"Save as square"},
      {2, L"item", ID_RECTANGLE, false, L"Save as rectangle"},
      {2, L"item", ID_SAVE_SPHERE, false, L"Save as sphere"},
      {1, L"separator", 0, false, L""},
      {1, L"item", ID_EXIT, false, L"&Exit"},
      {0, L"popup", 0, false, L"  &Lens  "},
      {1, L"item", ID_LENS_SETTINGS, false, L"&Lens settings..."},
      {1, L"item", ID_FIND_CIRCLE, false, L"&Find circle"},
      {1, L"separator", 0, false, L""},
      {1, L"item", ID_SHOW_CIRCLE, true, L"Show &circle"},
      {0, L"popup", 0, false, L"  &Help  "},
      {1, L"item", ID_HELP, false, L"&Help"},
      {1, L"separator", 0, false, L""},
      {1, L"item", ID_ABOUT, false, L"&About"},
  };
  ASSERT_EQ(menu.size(), expectedMenu.size()) << "menu items";
  for (size_t i = 0; i < menu.size(); ++i) {
    MenuEntry seen = menu[i];
    // A popup's or a separator's id means nothing.
    if (seen.kind != L"item") seen.id = 0;
    EXPECT_EQ(seen, expectedMenu[i]) << "menu entry " << i;
  }

  // The three buttons, in creation order, and nothing else in the window.
  const std::tuple<int, const wchar_t*, int> kButtons[] = {
      {ID_OPEN, L"Load", 12}, {ID_TRANSFORM, L"Transform", 28}, {ID_SAVE, L"Save", 44}};
  HWND child = GetWindow(mainWindow, GW_CHILD);
  for (const auto& [id, caption, y] : kButtons) {
    ASSERT_NE(child, nullptr) << "button " << id << " missing";
    EXPECT_EQ(GetDlgCtrlID(child), id) << "buttons in the order Load, Transform, Save";
    EXPECT_EQ(_wcsicmp(ClassOf(child).c_str(), L"Button"), 0);
    EXPECT_EQ(Text(child), caption);
    const LONG buttonStyle = GetWindowLongW(child, GWL_STYLE);
    EXPECT_EQ(buttonStyle & BS_TYPEMASK, BS_OWNERDRAW) << "button " << id;
    EXPECT_TRUE(buttonStyle & WS_VISIBLE) << "button " << id;
    EXPECT_FALSE(buttonStyle & WS_TABSTOP) << "button " << id;
    EXPECT_TRUE(GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_STATICEDGE) << "button " << id;
    RECT place = {};
    GetWindowRect(child, &place);
    MapWindowPoints(HWND_DESKTOP, mainWindow, reinterpret_cast<POINT*>(&place), 2);
    const RECT expected = DialogRect(units, 510, y, 50, 14);
    EXPECT_TRUE(EqualRect(&place, &expected))
        << "button " << id << " at " << place.left << "," << place.top << " - " << place.right << "," << place.bottom
        << "; expected " << expected.left << "," << expected.top << " - " << expected.right << "," << expected.bottom;
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "a control besides the three buttons: " << Narrow(ClassOf(child));
}

TEST(MainWindow, SaveOptionsMoveTheCheckMark) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  // One radio group of three: the item chosen last holds the only check mark.
  using Checks = std::map<int, bool>;
  auto only = [](Command checked) {
    return Checks{{ID_SQUARE, checked == ID_SQUARE},
                  {ID_RECTANGLE, checked == ID_RECTANGLE},
                  {ID_SAVE_SPHERE, checked == ID_SAVE_SPHERE}};
  };
  EXPECT_EQ(SaveOptionChecks(run, mainWindow), only(ID_SQUARE));
  for (Command choice : {ID_RECTANGLE, ID_RECTANGLE, ID_SAVE_SPHERE, ID_SQUARE, ID_SAVE_SPHERE, ID_RECTANGLE}) {
    PostCommand(mainWindow, choice);
    EXPECT_EQ(SaveOptionChecks(run, mainWindow), only(choice)) << "after choosing " << choice;
  }
}

TEST(MainWindow, SaveBeforeAnyLoadDoesNothing) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  PostCommand(mainWindow, ID_SAVE);
  PostCommand(mainWindow, ID_SAVE_SHARPEN);
  // The Save button sends the same command as the menu item.
  PostMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(ID_SAVE, BN_CLICKED),
               reinterpret_cast<LPARAM>(Child(mainWindow, ID_SAVE)));
  run.Settle(mainWindow);
  Sleep(500);
  run.Settle(mainWindow);
  ExpectOnlyMainWindow(run, mainWindow);
  EXPECT_EQ(Text(mainWindow), kProgramTitle);
}

TEST(MainWindow, HelpBoxSaysWhatToDo) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  PostCommand(mainWindow, ID_HELP);
  HWND box = run.WaitForDialog(L"Help");
  const MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.text, L"1. Load fisheye image\r2. Press the button [Transform]\r3. Press the button [Save]");
  EXPECT_EQ(view.owner, mainWindow);
  EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
  EXPECT_FALSE(view.icon);
  Press(Child(box, IDOK));
  run.WaitUntilGone(box, "the help box");
  run.Settle(mainWindow);
  ExpectOnlyMainWindow(run, mainWindow);
}

TEST(MainWindow, AboutOpensAndClosesTwice) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  const BaseUnits units = DialogFontBaseUnits();
  for (int opening = 1; opening <= 2; ++opening) {
    SCOPED_TRACE("opening " + std::to_string(opening));
    PostCommand(mainWindow, ID_ABOUT);
    HWND about = run.WaitForDialog(L"Talvenor Inc.");
    EXPECT_EQ(GetWindow(about, GW_OWNER), mainWindow);
    EXPECT_FALSE(IsWindowEnabled(mainWindow)) << "the main window waits while About is open";
    ExpectClientSize(about, units, 210, 170, "About window");
    // Placed 100, 100 dialog units from the main window's client corner; a
    // dialog's place, like its size, is that of its client area.
    const RECT mainClient = ClientOnScreen(mainWindow);
    const RECT aboutClient = ClientOnScreen(about);
    const RECT offset = DialogRect(units, 0, 0, 100, 100);
    EXPECT_EQ(aboutClient.left - mainClient.left, offset.right) << "About window's left edge";
    EXPECT_EQ(aboutClient.top - mainClient.top, offset.bottom) << "About window's top edge";

    EXPECT_EQ(ChildText(about, 2001), L"Quorvane \u00A9 ver.2.00");
    EXPECT_EQ(ChildText(about, 2004), kWebAddress);
    EXPECT_EQ(ChildText(about, 2002), L"email: Talvenor support");
    const std::wstring notice = ChildText(about, 2005);
    const size_t lineBreak = notice.find(L"\r\n");
    EXPECT_TRUE(lineBreak != std::wstring::npos && lineBreak > 0 && lineBreak + 2 < notice.size() &&
                notice.find(L"\r\n", lineBreak + 2) == std::wstring::npos)
        << "the notice is two lines: \"" << Narrow(notice) << "\"";

    // Escape does not close it; the close box does.
    PostMessageW(about, WM_COMMAND, IDCANCEL, 0);
    run.Settle(about);
    EXPECT_TRUE(IsWindowVisible(about)) << "Escape closed the About window";
    PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0);
    run.WaitUntilGone(about, "the About window after its close box");
    run.Settle(mainWindow);
    EXPECT_TRUE(IsWindowEnabled(mainWindow)) << "the main window is usable again";
    ExpectOnlyMainWindow(run, mainWindow);
  }
}

TEST(MainWindow, ExitEndsTheProgramWithCodeZero) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  PostCommand(mainWindow, ID_EXIT);
  EXPECT_EQ(run.WaitForExit(kWaitSeconds), 0u);
}

// Where the picture store cannot be reserved, the program says so before any
// window opens and ends with a failure status instead of failing later.
TEST(StartUp, WithoutMemoryForThePictureStoreSaysSoAndEnds) {
  ASSERT_FALSE(Paths.programWithoutMemory.empty()) << "--program-without-memory is needed";
  ProgramRun run(Paths.programWithoutMemory);
  HWND box = run.WaitForDialog(L"Quorvane", kStartSeconds);
  const MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.text, L"There is not enough memory to start Quorvane.");
  EXPECT_EQ(view.owner, nullptr);
  EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
  EXPECT_TRUE(view.icon);
  EXPECT_EQ(run.Windows().size(), 1u) << "nothing but the message: no title window";
  Press(Child(box, IDOK));
  EXPECT_EQ(run.WaitForExit(kWaitSeconds), 1u);
}

TEST(MainWindow, CloseBoxEndsTheProgramWithCodeZero) {
  ProgramRun run;
  HWND mainWindow = run.PassTitleWindow();
  PostMessageW(mainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(run.WaitForExit(kWaitSeconds), 0u);
}

// --- Load, transform, save ----------------------------------------------------

class Conversion : public ::testing::Test {
 protected:
  void SetUp() override {
    mainWindow_ = run_.PassTitleWindow();
    LoadThroughOpenDialog(run_, mainWindow_, Paths.picture);
    ASSERT_EQ(Text(mainWindow_), L"  " + Paths.picture) << "two blanks and the path after a load";
  }
  void Remove(const std::wstring& path) { DeleteFileW(path.c_str()); }

  ProgramRun run_;
  HWND mainWindow_ = nullptr;
};

TEST_F(Conversion, TransformAndSaveAsSquareAndRectangle) {
  // Saved right after the load, the file holds the fisheye picture itself. The
  // name is typed without extension: it gets ".bmp" (or the dialog's ".BMP").
  const std::wstring fisheye = WorkFile(L"fisheye.bmp");
  Remove(fisheye);
  SaveThroughDialog(run_, mainWindow_, ID_SAVE, WorkFile(L"fisheye"));
  run_.Settle(mainWindow_);
  EXPECT_TRUE(FileHolds(fisheye, EngineBmp(Paths.picture, false, 0, SaveShape::Square)));

  PostCommand(mainWindow_, ID_TRANSFORM);
  run_.Settle(mainWindow_);
  EXPECT_EQ(Text(mainWindow_), L"  " + Paths.picture) << "Transform keeps the title";

  const std::wstring panorama = WorkFile(L"panorama.bmp");
  Remove(panorama);
  SaveThroughDialog(run_, mainWindow_, ID_SAVE, panorama);
  run_.Settle(mainWindow_);
  ExpectOnlyMainWindow(run_, mainWindow_);  // a new file: no question
  const std::vector<uint8_t> square = EngineBmp(Paths.picture, true, 0, SaveShape::Square);
  ASSERT_TRUE(FileHolds(panorama, square));

  // The same name again, now as the rectangle: the program asks first.
  PostCommand(mainWindow_, ID_RECTANGLE);
  for (int answer : {IDCANCEL, IDOK}) {
    SCOPED_TRACE(answer == IDOK ? "answered OK" : "answered Cancel");
    SaveThroughDialog(run_, mainWindow_, ID_SAVE, panorama);
    HWND question = run_.WaitForDialog(L"Save File");
    const MessageBoxView view = ReadMessageBox(question);
    EXPECT_EQ(view.text, L"Replace existing copy of " + panorama + L" ?");
    EXPECT_EQ(view.owner, nullptr) << "the question has no owner";
    EXPECT_EQ(view.buttons, (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_TRUE(view.icon);
    Press(Child(question, answer));
    run_.WaitUntilGone(question, "the question");
    run_.Settle(mainWindow_);
    if (answer == IDCANCEL) {
      EXPECT_TRUE(FileHolds(panorama, square)) << "Cancel leaves the file as it was";
    }
  }
  EXPECT_TRUE(FileHolds(panorama, EngineBmp(Paths.picture, true, 0, SaveShape::Rectangle)));
  ExpectOnlyMainWindow(run_, mainWindow_);
}

TEST_F(Conversion, SaveAndSharpenSharpensFurtherEachTime) {
  PostCommand(mainWindow_, ID_TRANSFORM);
  const wchar_t* names[] = {L"sharpened-once.bmp", L"sharpened-twice.bmp"};
  for (int use = 1; use <= 2; ++use) {
    const std::wstring path = WorkFile(names[use - 1]);
    Remove(path);
    SaveThroughDialog(run_, mainWindow_, ID_SAVE_SHARPEN, path);
    run_.Settle(mainWindow_);
    EXPECT_TRUE(FileHolds(path, EngineBmp(Paths.picture, true, use, SaveShape::Square))) << "use " << use;
  }
}

// A copy of the test picture whose frame header claims 65000 x 65000 pixels,
// far beyond what the program takes.
std::wstring WriteTooLargeJpeg() {
  std::vector<uint8_t> bytes = ReadFileBytes(Paths.picture);
  // Baseline frame header of a three-channel 8-bit picture: FF C0, length 17,
  // precision 8, then height and width.
  const uint8_t frame[] = {0xFF, 0xC0, 0x00, 0x11, 0x08};
  auto at = std::search(bytes.begin(), bytes.end(), std::begin(frame), std::end(frame));
  if (at == bytes.end()) throw DriverError("the test picture has no baseline frame header");
  const size_t size = at - bytes.begin() + sizeof frame;
  for (size_t i = 0; i < 4; ++i) bytes[size + i] = i % 2 == 0 ? 0xFD : 0xE8;
  const std::wstring path = WorkFile(L"too-large.jpg");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) throw DriverError("cannot write " + Narrow(path));
  return path;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = towlower(c);
  return text;
}

TEST_F(Conversion, FilesThatCannotBeLoadedSayWhyAndChangeNothing) {
  PostCommand(mainWindow_, ID_TRANSFORM);
  for (const std::wstring& path : {Paths.notPicture, WriteTooLargeJpeg()}) {
    SCOPED_TRACE(Narrow(path));
    // The engine's own words for what is wrong with the file.
    LoadedPicture ignored;
    const Result engine = LoadPicture(Narrow(path), ignored);
    ASSERT_FALSE(engine.ok());
    std::wstring reason(engine.reason().begin(), engine.reason().end());

    PostCommand(mainWindow_, ID_OPEN);
    HWND dialog = run_.WaitForDialog(kOpenTitle);
    ChooseInFileDialog(dialog, path);
    HWND box = run_.WaitForDialog(L"Quorvane");
    const MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.owner, mainWindow_);
    EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(view.icon);
    // "Cannot load PATH", a blank line, then the reason.
    const std::wstring head = L"Cannot load " + path;
    EXPECT_EQ(view.text.substr(0, head.size()), head) << Narrow(view.text);
    std::wstring rest = view.text.substr(std::min(head.size(), view.text.size()));
    const size_t blank = rest.rfind(L"\r\n\r\n", 0) == 0 ? 4 : rest.rfind(L"\n\n", 0) == 0 ? 2 : 0;
    EXPECT_NE(blank, 0u) << "a blank line after the path: " << Narrow(view.text);
    EXPECT_EQ(Lower(rest.substr(blank, reason.size())), Lower(reason)) << Narrow(view.text);
    Press(Child(box, IDOK));
    run_.WaitUntilGone(box, "the message box");
    run_.Settle(mainWindow_);
    ExpectOnlyMainWindow(run_, mainWindow_);
    EXPECT_EQ(Text(mainWindow_), L"  " + Paths.picture) << "the title stays";
  }

  // The panorama is still there: saved now, it is the one before the failed loads.
  const std::wstring path = WorkFile(L"after-failed-load.bmp");
  Remove(path);
  SaveThroughDialog(run_, mainWindow_, ID_SAVE, path);
  run_.Settle(mainWindow_);
  EXPECT_TRUE(FileHolds(path, EngineBmp(Paths.picture, true, 0, SaveShape::Square)));
}

// The Save dialog's types after BMP: a name without a picture extension gets
// the picked type's; a name with one keeps it, whatever type is picked. A
// JPEG or PNG panorama carries the panorama's metadata.
TEST_F(Conversion, SaveAsJpegOrPngThroughTheDialogsTypes) {
  PostCommand(mainWindow_, ID_TRANSFORM);
  run_.Settle(mainWindow_);
  const std::wstring jpeg = WorkFile(L"typed.jpg");
  const std::wstring png = WorkFile(L"named.PNG");
  Remove(jpeg);
  Remove(png);
  PostCommand(mainWindow_, ID_SAVE);
  HWND dialog = run_.WaitForDialog(kSaveTitle);
  HWND types = Child(dialog, 0x470);  // cmb1, the list of types
  ASSERT_NE(types, nullptr);
  ASSERT_EQ(SendMessageW(types, CB_GETCOUNT, 0, 0), 4);
  wchar_t caption[64] = {};
  SendMessageW(types, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(caption));
  EXPECT_STREQ(caption, L"JPEG picture (*.jpg)");
  SendMessageW(types, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(caption));
  EXPECT_STREQ(caption, L"TIFF picture (*.tif)");
  // As a pick with the mouse tells the dialog: the selection changes, then
  // it is confirmed.
  SendMessageW(types, CB_SETCURSEL, 1, 0);
  for (WORD notification : {CBN_SELCHANGE, CBN_SELENDOK}) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(0x470, notification), reinterpret_cast<LPARAM>(types));
  }
  ChooseInFileDialog(dialog, WorkFile(L"typed"));
  run_.WaitUntilGone(dialog, "the save dialog");
  run_.Settle(mainWindow_);
  SaveThroughDialog(run_, mainWindow_, ID_SAVE, png);
  run_.Settle(mainWindow_);
  ExpectOnlyMainWindow(run_, mainWindow_);

  // Wine's JPEG encoder keeps to quality 75 with 4:2:0 colour, whatever it is
  // asked: the pixels are near the BMP's, not equal. On this 48 x 48 picture
  // of hard red and blue edges that is some 22 dB (a wrong or mirrored
  // picture gives under 12); the encoders' own tests hold large pictures to 30.
  const std::vector<uint8_t> bmp = EngineBmp(Paths.picture, true, 0, SaveShape::Square);
  const std::vector<uint8_t> expected(bmp.begin() + 54, bmp.end());
  LoadedPicture saved;
  ASSERT_TRUE(LoadPicture(Narrow(jpeg), saved).ok());
  ASSERT_EQ(4 * static_cast<size_t>(saved.width) * saved.height, expected.size());
  const std::vector<uint8_t> pixels(saved.store.get(), saved.store.get() + expected.size());
  double squaredError = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    if (i % 4 != 3) squaredError += (double(pixels[i]) - expected[i]) * (double(pixels[i]) - expected[i]);
  }
  EXPECT_GE(10 * std::log10(255.0 * 255.0 * 0.75 * pixels.size() / squaredError), 18.0);
  for (const std::wstring& file : {jpeg, png}) {
    const std::vector<uint8_t> bytes = ReadFileBytes(file);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("<GPano:ProjectionType>equirectangular</GPano:ProjectionType>"), std::string::npos)
        << Narrow(file);
  }
  const std::vector<uint8_t> pngBytes = ReadFileBytes(png);
  EXPECT_TRUE(pngBytes.size() > 8 && pngBytes[1] == 'P' && pngBytes[2] == 'N' && pngBytes[3] == 'G');
}

// PNG and 16-bit TIFF pictures open through the Windows Imaging Component:
// every sample is k * 256 + 255, which the program's rounding makes k + 1
// for k up to 127, where the system loader's conversion, keeping the high
// byte, would make k. Their panoramas, made in 16 bits, saved as TIFF and
// PNG through the dialog's types are the converter's own 16-bit files, byte
// for byte; the Save dialog offers TIFF first for them.
TEST_F(Conversion, DeepPngAndTiffOpenThroughWicAndSaveAsTheConverterDoes) {
  LoadedPicture picture;
  ASSERT_TRUE(LoadPicture(Narrow(Paths.picture), picture).ok());
  // Twice as wide as high, so that the file, saved as a sphere, holds all of
  // it: the picture, its last column repeated.
  const int32_t height = picture.height, width = 2 * height;
  int highBytesDiffer = 0;
  std::vector<uint16_t> deep(4 * size_t(width) * height, 0);
  std::vector<uint8_t> rounded(4 * size_t(width) * height, 0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const size_t at = 4 * (size_t(y) * width + x) + c;
        const uint32_t high = std::min<uint32_t>(picture.View().Pixel(std::min(x, picture.width - 1), y)[c], 254);
        deep[at] = static_cast<uint16_t>(high * 256 + 255);
        rounded[at] = static_cast<uint8_t>((deep[at] * 255 + 32767) / 65535);
        highBytesDiffer += rounded[at] != high;
      }
    }
  }
  ASSERT_GT(highBytesDiffer, width * height / 4) << "too few samples tell the two conversions apart";
  // Open offers every picture it reads first, then each kind alone.
  PostCommand(mainWindow_, ID_OPEN);
  HWND dialog = run_.WaitForDialog(kOpenTitle);
  HWND types = Child(dialog, 0x470);  // cmb1, the list of types
  ASSERT_NE(types, nullptr);
  std::vector<std::wstring> captions;
  for (LRESULT i = 0; i < SendMessageW(types, CB_GETCOUNT, 0, 0); ++i) {
    wchar_t caption[96] = {};
    SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(caption));
    captions.push_back(caption);
  }
  EXPECT_EQ(captions, (std::vector<std::wstring>{L"Pictures (*.jpg;*.jpeg;*.png;*.tif;*.tiff;*.bmp)",
                                                 L"JPEG picture (*.jpg;*.jpeg)", L"PNG picture (*.png)",
                                                 L"TIFF picture (*.tif;*.tiff)", L"BMP picture (*.bmp)"}));
  Press(Child(dialog, IDCANCEL));
  run_.WaitUntilGone(dialog, "the open dialog");
  run_.Settle(mainWindow_);

  std::vector<uint8_t> expected;
  EncodeBmp({rounded.data(), width, height}, SaveShape::Square, [&](std::span<const uint8_t> piece) {
    expected.insert(expected.end(), piece.begin(), piece.end());
    return true;
  });
  for (const wchar_t* name : {L"deep.png", L"deep.tif"}) {
    SCOPED_TRACE(Narrow(name));
    const std::wstring input = WorkFile(name);
    const std::string narrowInput = Narrow(input);
    ASSERT_TRUE(WritePictureFile16({deep.data(), width, height}, SaveShape::Sphere, *FormatFromName(narrowInput), {},
                                   narrowInput)
                    .ok());
    LoadThroughOpenDialog(run_, mainWindow_, input);
    ASSERT_EQ(Text(mainWindow_), L"  " + input);
    const std::wstring fisheye = WorkFile(L"deep-fisheye.bmp");
    Remove(fisheye);
    SaveThroughDialog(run_, mainWindow_, ID_SAVE, fisheye);
    run_.Settle(mainWindow_);
    EXPECT_TRUE(FileHolds(fisheye, expected));

    PostCommand(mainWindow_, ID_TRANSFORM);
    run_.Settle(mainWindow_);
    PostCommand(mainWindow_, ID_SAVE);
    HWND save = run_.WaitForDialog(kSaveTitle);
    HWND saveTypes = Child(save, 0x470);
    ASSERT_NE(saveTypes, nullptr);
    wchar_t offered[96] = {};
    SendMessageW(saveTypes, CB_GETLBTEXT, SendMessageW(saveTypes, CB_GETCURSEL, 0, 0), reinterpret_cast<LPARAM>(offered));
    EXPECT_STREQ(offered, L"TIFF picture (*.tif)");
    Press(Child(save, IDCANCEL));
    run_.WaitUntilGone(save, "the save dialog");
    run_.Settle(mainWindow_);
    for (const auto& [output, fromConverter] : {std::pair{L"window.tif", L"converter.tif"},
                                                std::pair{L"window.png", L"converter.png"}}) {
      const std::wstring saved = WorkFile(output);
      Remove(saved);
      SaveThroughDialog(run_, mainWindow_, ID_SAVE, saved);
      run_.Settle(mainWindow_);
      const std::wstring converted = WorkFile(fromConverter);
      std::ostringstream out, err;
      const std::vector<std::string> arguments = {"quorvane-convert", "--force", "-o", Narrow(converted), narrowInput};
      std::vector<const char*> argv;
      for (const std::string& argument : arguments) argv.push_back(argument.c_str());
      ASSERT_EQ(RunConverter(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
      EXPECT_TRUE(FileHolds(saved, ReadFileBytes(converted))) << Narrow(output);
      LoadedPicture reread;
      ASSERT_TRUE(LoadPicture(Narrow(saved), reread, nullptr, true).ok());
      EXPECT_NE(reread.samples16, nullptr) << Narrow(output) << " has 8 bits a sample";
    }
  }
  ExpectOnlyMainWindow(run_, mainWindow_);
}

TEST_F(Conversion, SaveThatFailsSaysSo) {
  // A folder stands where the file would go.
  const std::wstring folder = WorkFile(L"taken.bmp");
  CreateDirectoryW(folder.c_str(), nullptr);
  SaveThroughDialog(run_, mainWindow_, ID_SAVE, WorkFile(L"taken"));
  HWND box = run_.WaitForDialog(L"Quorvane");
  const MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.owner, mainWindow_);
  EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
  const std::wstring head = L"Cannot save " + folder;
  EXPECT_EQ(_wcsnicmp(view.text.c_str(), head.c_str(), head.size()), 0) << Narrow(view.text);
  Press(Child(box, IDOK));
  run_.WaitUntilGone(box, "the message box");
  run_.Settle(mainWindow_);
  ExpectOnlyMainWindow(run_, mainWindow_);
  EXPECT_EQ(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(Conversion, SaveOverAReadOnlyFileSaysSoAndKeepsIt) {
  const std::wstring path = WorkFile(L"read-only.bmp");
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const std::vector<uint8_t> old(3000, 0xEE);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, old.data(), static_cast<DWORD>(old.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, old.size());
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);

  SaveThroughDialog(run_, mainWindow_, ID_SAVE, path);
  HWND question = run_.WaitForDialog(L"Save File");
  Press(Child(question, IDOK));
  run_.WaitUntilGone(question, "the question");
  HWND box = run_.WaitForDialog(L"Quorvane");
  const MessageBoxView view = ReadMessageBox(box);
  EXPECT_EQ(view.owner, mainWindow_);
  const std::wstring head = L"Cannot save " + path;
  EXPECT_EQ(_wcsnicmp(view.text.c_str(), head.c_str(), head.size()), 0) << Narrow(view.text);
  EXPECT_NE(view.text.find(L"read-only"), std::wstring::npos) << Narrow(view.text);
  Press(Child(box, IDOK));
  run_.WaitUntilGone(box, "the message box");
  run_.Settle(mainWindow_);
  ExpectOnlyMainWindow(run_, mainWindow_);

  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(FileHolds(path, old)) << "the read-only file is as it was";
  EXPECT_FALSE(FileExists(path + L".part0")) << "a temporary file was left";
}

}  // namespace
