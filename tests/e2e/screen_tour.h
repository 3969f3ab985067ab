#pragma once
#include <string>

// Runs the program through its windows for the screenshots and the mouse
// click that tests/e2e/screen-test takes on the X side; `folder` is where the
// two hand each other requests. Returns 0 when every step went as expected.
int RunScreenTour(const std::wstring& folder);
