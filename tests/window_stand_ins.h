#pragma once
#include <string>

// What the window operations were last asked to do, for programs and tests
// that run without a window.
extern std::string HeadlessTitle;
extern int HeadlessRedraws;
extern bool HeadlessPriorityRaised;
extern std::string HeadlessFailure;
