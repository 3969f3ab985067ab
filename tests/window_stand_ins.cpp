// The window operations the commands call, for test programs without a
// window: they record what they were asked to do.
#include "window_stand_ins.h"

#include "app/app_state.h"

std::string HeadlessTitle;
int HeadlessRedraws = 0;
bool HeadlessPriorityRaised = false;

void RedrawMainWindow() { ++HeadlessRedraws; }

void SetMainWindowTitle(const std::string& title) { HeadlessTitle = title; }

void SetTransformPriority(bool raised) { HeadlessPriorityRaised = raised; }

std::string HeadlessFailure;

void ReportCommandFailure(const std::string& action, const std::string& reason) {
  HeadlessFailure = action + ": " + reason;
}
