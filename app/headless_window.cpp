#include "app/app_state.h"
#include "app/headless_window.h"

std::string HeadlessTitle;
int HeadlessRedraws = 0;
bool HeadlessPriorityRaised = false;

void RedrawMainWindow() { ++HeadlessRedraws; }

void SetMainWindowTitle(const std::string& title) { HeadlessTitle = title; }

// Without a window there is no user to keep responsive, and raising the
// priority needs privileges on most systems: the converter runs as it is.
void SetTransformPriority(bool raised) { HeadlessPriorityRaised = raised; }
