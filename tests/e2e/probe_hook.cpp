// A message hook that the test driver installs on quorvane.exe's window
// thread. Some window facts can only be read from inside the process that owns
// the window: under Wine a menu belongs to its process, and MapDialogRect needs
// the dialog's own font. The driver posts kProbeMessage to a window of the
// program; this hook sees it as the program's message loop takes it, answers
// in the driver's shared memory (probe_protocol.h) and lets it pass on to the
// window, which ignores it.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
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
