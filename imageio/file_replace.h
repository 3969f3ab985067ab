#pragma once
#include <cstdio>
#include <string>

// Platform pieces of a safe save: a file is written under a temporary name in
// the target's folder and then put in the target's place in one step.

// Creates `name` for binary writing, failing if anything of that name exists.
std::FILE* CreateNewFile(const std::string& name);

// Forces what was written to `file` onto the disk; false on failure.
bool FlushToDisk(std::FILE* file);

// Puts `from` in the place of `to`, replacing `to` if it exists; on failure
// `to` is untouched and the reason is returned in `error`.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string& error);

// Whether an ordinary file of this name exists.
bool FileExists(const std::string& name);
