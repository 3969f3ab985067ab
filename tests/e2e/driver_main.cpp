// The end-to-end test driver of quorvane.exe. It runs under Wine (or on
// Windows) beside the program:
//   e2e_driver --program=P --work=W --picture=J --not-picture=N --probe-dll=D [gtest options]
//       runs the tests of program_test.cpp;
//   e2e_driver --program=P --sample=S --probe-dll=D --screen-tour=F
//       runs the screenshot tour with tests/e2e/screen-test (screen_tour.cpp).
// Paths may use forward slashes.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "program_driver.h"
#include "screen_tour.h"
#include "transform/stores.h"

namespace {

std::wstring WindowsPath(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

}  // namespace

int main() {
  // Wide arguments: paths may hold any character.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring screenTour;
  std::vector<std::string> rest = {"e2e_driver"};
  const std::pair<const wchar_t*, std::wstring*> options[] = {
      {L"--program=", &Paths.program},         {L"--work=", &Paths.work},
      {L"--picture=", &Paths.picture},         {L"--not-picture=", &Paths.notPicture},
      {L"--sample=", &Paths.sample},           {L"--probe-dll=", &Paths.probeDll},
      {L"--screen-tour=", &screenTour},        {L"--program-without-memory=", &Paths.programWithoutMemory},
  };
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    bool taken = false;
    for (const auto& [prefix, value] : options)
      if (argument.rfind(prefix, 0) == 0) {
        *value = WindowsPath(argument.substr(wcslen(prefix)));
        taken = true;
      }
    if (!taken) rest.push_back(Narrow(argument));
  }
  LocalFree(argv);
  if (Paths.program.empty() || Paths.probeDll.empty()) {
    std::cerr << "e2e_driver: --program and --probe-dll are needed\n";
    return 2;
  }
  if (!screenTour.empty()) {
    CreateDirectoryW(screenTour.c_str(), nullptr);
    if (Paths.work.empty()) Paths.work = screenTour;
    return RunScreenTour(screenTour);
  }

  if (!ReserveSourceStore()) {
    std::cerr << "e2e_driver: not enough memory for the engine\n";
    return 2;
  }
  CreateDirectoryW(Paths.work.c_str(), nullptr);
  std::vector<char*> gtestArgs;
  for (std::string& argument : rest) gtestArgs.push_back(argument.data());
  int gtestCount = static_cast<int>(gtestArgs.size());
  ::testing::InitGoogleTest(&gtestCount, gtestArgs.data());
  return RUN_ALL_TESTS();
}
