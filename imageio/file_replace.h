#pragma once
#include <compare>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Platform pieces of a safe save: a file is written under a temporary name in
// the target's folder and then put in the target's place in one step.

// Creates `name` for binary writing, failing if anything of that name exists.
std::FILE* CreateNewFile(const std::string& name);

// Forces what was written to `file` onto the disk; false on failure.
bool FlushToDisk(std::FILE* file);

// Puts `from` in the place of `to`, replacing `to` if it exists and handing
// `from` its permissions; on failure `to` is untouched and the reason is
// returned in `error`.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string& error);

// Whether an ordinary file of this name exists.
bool FileExists(const std::string& name);

// Whether a folder of this name exists.
bool FolderExists(const std::string& name);

// What tells one file or folder from every other: its volume and its number
// there, the same by whatever path or link it is reached; nullopt when
// nothing has the name.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t number = 0;
  auto operator<=>(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::string& name);
