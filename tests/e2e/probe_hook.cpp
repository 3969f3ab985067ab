// A message hook that the test driver installs on quorvane.exe's window
// thread. Some window facts can only be read from inside the process that owns
// the window: under Wine a menu belongs to its process, and MapDialogRect needs
// the dialog's own font. A drop's file list, too, must be made in the process
// that receives it. The driver posts kProbeMessage to a window of the
// program; this hook sees it as the program's message loop takes it, answers
// in the driver's shared memory (probe_protocol.h) and lets it pass on to the
// window, which ignores it.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "probe_protocol.h"

namespace {

void Append(std::wstring& out, const wchar_t* format, ...) {
  wchar_t line[512];
  va_list args;
  va_start(args, format);
  std::vswprintf(line, std::size(line), format, args);
  va_end(args);
  out += line;
}

// One line per item, depth first:
//   depth <TAB> kind <TAB> id <TAB> checked <TAB> caption
// kind is "popup", "separator" or "item"; a popup's items follow it at depth+1.
void DumpMenu(HMENU menu, int depth, std::wstring& out) {
  const int count = GetMenuItemCount(menu);
  if (count < 0) {
    Append(out, L"error\tGetMenuItemCount failed: %lu\n", GetLastError());
    return;
  }
  for (int position = 0; position < count; ++position) {
    wchar_t caption[256] = {};
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
    item.dwTypeData = caption;
    item.cch = std::size(caption);
    if (!GetMenuItemInfoW(menu, position, TRUE, &item)) {
      Append(out, L"error\tGetMenuItemInfo failed: %lu\n", GetLastError());
      continue;
    }
    const wchar_t* kind = item.hSubMenu ? L"popup" : (item.fType & MFT_SEPARATOR) ? L"separator" : L"item";
    Append(out, L"%d\t%ls\t%u\t%d\t%ls\n", depth, kind, item.wID, (item.fState & MFS_CHECKED) ? 1 : 0,
           (item.fType & MFT_SEPARATOR) ? L"" : caption);
    if (item.hSubMenu) DumpMenu(item.hSubMenu, depth + 1, out);
  }
}

// Drops `files` (each ended by a NUL, the list by another) on `window` as the
// shell does: a DROPFILES block with the wide names after it, in movable
// global memory of the receiving process, which frees it with DragFinish.
std::wstring Drop(HWND window, const wchar_t* files) {
  size_t listLength = 0;
  while (files[listLength] != L'\0') listLength += std::wcslen(files + listLength) + 1;
  const size_t nameBytes = (listLength + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + nameBytes);
  auto* header = block ? static_cast<DROPFILES*>(GlobalLock(block)) : nullptr;
  if (!header) return L"error\tno memory for the drop";
  header->pFiles = sizeof(DROPFILES);
  header->pt = {20, 20};  // in the client area
  header->fNC = FALSE;
  header->fWide = TRUE;
  std::memcpy(header + 1, files, nameBytes);
  GlobalUnlock(block);
  if (!PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(block), 0)) {
    GlobalFree(block);
    return L"error\tPostMessage failed";
  }
  return L"dropped";
}

// The path of every comctl32.dll loaded in the program, one a line. Version 6
// comes from the side-by-side store, in a folder named for its assembly, and
// only where the program's manifest asks for it; the system's own is in the
// system folder. (Wine's copies both report version 5.81.)
std::wstring CommonControlsFiles() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return L"error\tno module list";
  std::wstring out;
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module))
    if (_wcsicmp(module.szModule, L"comctl32.dll") == 0) Append(out, L"%ls\n", module.szExePath);
  CloseHandle(snapshot);
  return out;
}

std::wstring Answer(const ProbeShared& shared) {
  HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(shared.window));
  std::wstring out;
  switch (shared.request) {
    case kProbePing:
      out = L"pong";
      break;
    case kProbeMenu: {
      HMENU bar = GetMenu(window);
      if (!bar) {
        out = L"error\tno menu\n";
        break;
      }
      DumpMenu(bar, 0, out);
      MENUBARINFO barInfo = {};
      barInfo.cbSize = sizeof barInfo;
      if (GetMenuBarInfo(window, OBJID_MENU, 0, &barInfo))
        Append(out, L"bar\t%ld\t%ld\n", barInfo.rcBar.top, barInfo.rcBar.bottom);
      break;
    }
    case kProbeDialogUnits: {
      // Four horizontal and eight vertical dialog units are one base unit each.
      RECT units = {0, 0, 4, 8};
      if (MapDialogRect(window, &units))
        Append(out, L"%ld %ld", units.right, units.bottom);
      else
        Append(out, L"error\tMapDialogRect failed: %lu", GetLastError());
      break;
    }
    case kProbeDrop:
      out = Drop(window, shared.argument);
      break;
    case kProbeCommonControls:
      out = CommonControlsFiles();
      break;
    default:
      out = L"error\tunknown request";
  }
  return out;
}

void Respond(DWORD driverProcess) {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, ProbeMappingName(driverProcess).c_str());
  if (!mapping) return;
  auto* shared = static_cast<ProbeShared*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbeShared)));
  if (shared) {
    std::wstring reply = Answer(*shared);
    reply.resize(std::min(reply.size(), std::size(shared->reply) - 1));
    std::wmemcpy(shared->reply, reply.c_str(), reply.size() + 1);
    // Published last: the driver reads the reply once it sees its own number.
    InterlockedExchange(&shared->answered, shared->serial);
    UnmapViewOfFile(shared);
  }
  CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM removal, LPARAM message) {
  static const UINT probeMessage = RegisterWindowMessageW(kProbeMessageName);
  const MSG* msg = reinterpret_cast<const MSG*>(message);
  // Answer once, when the message is taken off the queue, not when a loop
  // only peeks at it.
  if (code == HC_ACTION && removal == PM_REMOVE && msg->message == probeMessage)
    Respond(static_cast<DWORD>(msg->wParam));
  return CallNextHookEx(nullptr, code, removal, message);
}
