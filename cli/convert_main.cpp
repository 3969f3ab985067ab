#include <iostream>

#include "cli/convert.h"

#if defined(_WIN32)
#include <windows.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The program's narrow texts, file names included, are UTF-8 (its
  // manifest); the console shows them as such.
  SetConsoleOutputCP(CP_UTF8);
#endif
  return RunConverter(argc, argv, std::cout, std::cerr);
}
