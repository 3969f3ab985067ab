#pragma once
#include <iosfwd>

// quorvane-convert: for each input, what the window does for Load, Transform,
// (Save and Sharpen)*, Save. Returns the exit status: 0 all converted, 1 some
// failed, 2 usage error. Progress and errors go to `err`, help to `out`.
int RunConverter(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
