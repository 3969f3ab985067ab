#pragma once
#include <windows.h>

#include <string>

// What the test driver and the hook in probe_hook.cpp share: the driver writes
// a request into a named shared block, posts kProbeMessageName to a window of
// the program with its own process id as wParam, and waits until `answered`
// equals the request's serial number.

inline constexpr wchar_t kProbeMessageName[] = L"QuorvaneE2eProbe";

enum ProbeRequest : LONG {
  kProbePing = 1,            // "pong": every message posted before it has been taken
  kProbeMenu = 2,            // the menu bar of `window`, see DumpMenu
  kProbeDialogUnits = 3,     // "x y": one base unit of `window`'s dialog font in pixels
  kProbeDrop = 4,            // "dropped": `argument`'s files dropped on `window`, see Drop
  kProbeCommonControls = 5,  // the path of each comctl32.dll loaded, see CommonControlsFiles
};

struct ProbeShared {
  volatile LONG serial;
  volatile LONG answered;
  LONG request;
  LONG64 window;
  wchar_t argument[4096];  // kProbeDrop: file names, each ended by a NUL, the list by another
  wchar_t reply[16384];
};

inline std::wstring ProbeMappingName(DWORD driverProcess) {
  return L"Local\\QuorvaneE2eProbe-" + std::to_wstring(driverProcess);
}
