#pragma once
// exiftool (Debian's libimage-exiftool-perl) as a reader of saved files that
// owes nothing to our own code. Linux only: the Windows tests run under Wine.
#ifndef _WIN32
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// What the command prints on its standard output.
inline std::vector<uint8_t> CommandOutput(const std::string& command) {
  std::vector<uint8_t> output;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  uint8_t buffer[65536];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.insert(output.end(), buffer, buffer + got);
  pclose(pipe);
  return output;
}

// `exiftool -j -G1 -n FILE`: one JSON object of "Group:Tag": value, numbers
// as numbers.
inline std::string ExiftoolJson(const std::filesystem::path& file) {
  const std::vector<uint8_t> output = CommandOutput("exiftool -j -G1 -n '" + file.string() + "' 2>&1");
  return std::string(output.begin(), output.end());
}

// One tag's value in that JSON, a string without its quotes; "(absent)" when
// the tag is not there.
inline std::string JsonValue(const std::string& json, const std::string& groupAndTag) {
  const std::string key = "\"" + groupAndTag + "\": ";
  const size_t at = json.find(key);
  if (at == std::string::npos) return "(absent)";
  const size_t start = at + key.size();
  if (json[start] == '"') return json.substr(start + 1, json.find('"', start + 1) - start - 1);
  return json.substr(start, json.find_first_of(",\n}", start) - start);
}

// A binary tag's bytes (`exiftool -b -TAG FILE`), such as ICC_Profile.
inline std::vector<uint8_t> ExiftoolBinary(const std::filesystem::path& file, const std::string& tag) {
  return CommandOutput("exiftool -b -" + tag + " '" + file.string() + "' 2>/dev/null");
}
#endif
