#include <iostream>

#include "cli/convert.h"

int main(int argc, char** argv) { return RunConverter(argc, argv, std::cout, std::cerr); }
