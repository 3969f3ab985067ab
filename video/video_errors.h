#pragma once
#include <string>

// The FFmpeg libraries' text for an error code, for a failure's reason.
std::string VideoErrorText(int error);
