// Fuzz target: any command line for quorvane-convert. The input is the list of
// arguments, separated by NUL bytes. They run in a work folder that holds a
// few pictures and awkward names (below) and is laid out anew for every run.
// What must hold for every command line:
//  - the exit status is 0, 1 or 2, and a status other than 0 comes with a
//    message;
//  - a usage error (2) changes nothing in the folder;
//  - every file that appears or changes, in the folder or a folder inside it
//    (--output-dir), is a finished picture file under a name that ends in its
//    format's extension, ".jpg", ".jpeg", ".png" or ".bmp" (no temporary file
//    is left behind, no input is overwritten);
//  - nothing hangs, crashes or leaks.
// Command lines that could reach outside the work folder (a "/" or ".."
// anywhere) or ask for unbounded work (--sharpen over 99, a --height of more
// than three digits, more than 16 arguments) are not run: they tell nothing
// about the converter.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/convert.h"
#include "imageio/decode_picture.h"
#include "imageio/jpeg_header.h"
#include "imageio/load_picture.h"
#include "imageio/picture_encoding.h"
#include "transform/stores.h"

namespace {

constexpr size_t kMaxArguments = 16;

std::string Folder;
std::string StartFolder;

// What the work folder holds at the start of every run: name -> content, or
// a folder when the content is kFolder.
const std::string kFolder = "\x01<folder>";
std::map<std::string, std::string> Fixtures;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "convert_fuzzer: invariant broken: %s\n", what.c_str());
  std::abort();
}

std::string ReadTestFile(const char* name) {
  std::vector<uint8_t> bytes;
  const std::string path = std::string(QUORVANE_TEST_DATA) + "/" + name;
  if (!ReadWholeFile(path, bytes).ok() || bytes.empty()) Fail("cannot read " + path);
  return std::string(bytes.begin(), bytes.end());
}

// A small BMP as the program writes them (3 x 2 by default; 8 x 4 holds two
// lenses side by side).
std::string SmallBmp(char width = 3, char height = 2) {
  const int pixels = width * height;
  std::string file = {'B', 'M', char(54 + 4 * pixels), 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, width, 0, 0, 0,
                      height, 0, 0, 0, 1, 0, 32, 0};
  file.resize(54, '\0');
  for (int i = 0; i < pixels; ++i) file += std::string{char(40 * i), char(200 - 30 * i), char(17 * i), 0};
  return file;
}

void MakeFixtures() {
  const std::string jpeg = ReadTestFile("f-35x39.jpg");
  const std::string progressive = ReadTestFile("f-35x39-progressive.jpg");
  Fixtures = {
      {"in.jpg", jpeg},
      {"prog.jpg", progressive},
      {"with blank.jpg", jpeg},
      {"\xC3\xBCnic\xC3\xB6" "de.JPG", jpeg},  // UTF-8 letters in the name
      {"-dash.jpg", jpeg},                      // looks like an option
      {"noext", progressive},
      {"small.bmp", SmallBmp()},
      {"pair.bmp", SmallBmp(8, 4)},
      {"bad.jpg", ReadTestFile("not-a-picture.jpg")},
      {"empty.jpg", ""},
      {"cut.jpg", jpeg.substr(0, jpeg.size() / 2)},
      {"folder.jpg", kFolder},
      {"taken.jpg", jpeg},
      {"taken-panorama.jpg", kFolder},  // the default output of taken.jpg is a folder
      {"exists.jpg", progressive},
      {"exists-panorama.jpg", jpeg},  // replaced only with --force
      {"camera.jpg", ReadTestFile("bad/exif-rotated.jpg")},  // EXIF with an orientation, carried over
      // Calibrations: for in.jpg, for pair.bmp's two lenses, and a camera YAML
      // without a size.
      {"lens.pto", "i w35 h39 f3 v190 a0.01 b-0.02 c0.01 d0.5 e-0.5 g0.2 t0.1 y5 p-3 r2 S1,34,2,37\n"},
      {"two.pto", "i w4 h4 f2 v200 b0.1 y0\ni w4 h4 f2 v=0 b=0 y180.5 p0.3\n"},
      {"cam.yaml",
       "%YAML:1.0\n---\nK: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 10., 0., 17., 0., 10., 19., 0., 0., 1. ]\n"
       "D: !!opencv-matrix\n   rows: 4\n   cols: 1\n   dt: d\n   data: [ 0.01, -0.002, 0., 0. ]\n"},
  };
}

void RemoveTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
      }
      closedir(dir);
      for (const std::string& name : names) RemoveTree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void LayOutFolder() {
  RemoveTree(Folder);
  if (mkdir(Folder.c_str(), 0700) != 0) Fail("cannot make the work folder " + Folder);
  for (const auto& [name, content] : Fixtures) {
    const std::string path = Folder + "/" + name;
    if (content == kFolder) {
      if (mkdir(path.c_str(), 0700) != 0) Fail("cannot make " + path);
      continue;
    }
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file.flush()) Fail("cannot write " + path);
  }
}

// Name -> content of every entry of the work folder and the folders in it
// (folders as kFolder; "folder/name" for what is inside one).
void ListFolder(const std::string& under, std::map<std::string, std::string>& entries) {
  DIR* dir = opendir((Folder + "/" + under).c_str());
  if (dir == nullptr) Fail("the work folder is gone");
  while (dirent* entry = readdir(dir)) {
    const std::string name = under + entry->d_name;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const std::string path = Folder + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) Fail("cannot stat " + path);
    if (S_ISDIR(info.st_mode)) {
      entries[name] = kFolder;
      ListFolder(name + "/", entries);
    } else if (S_ISREG(info.st_mode)) {
      std::ifstream file(path, std::ios::binary);
      entries[name] = std::string(std::istreambuf_iterator<char>(file), {});
    } else {
      Fail("something other than a file or folder appeared: " + name);
    }
  }
  closedir(dir);
}

std::map<std::string, std::string> ListFolder() {
  std::map<std::string, std::string> entries;
  ListFolder("", entries);
  return entries;
}

void CheckWrittenFile(const std::string& name, const std::string& content) {
  const std::optional<PictureFormat> format = FormatFromName(name);
  if (!format) Fail("a file not named as a picture was written or left behind: " + name);
  if (content == kFolder) Fail("a folder appeared: " + name);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  if (*format == PictureFormat::Png) {
    // Finished: the signature first, the end chunk with its checksum last.
    static const std::string kSignature = "\x89PNG\r\n\x1a\n";
    static const std::string kEnd = std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    if (content.rfind(kSignature, 0) != 0 || content.size() < kSignature.size() + kEnd.size() ||
        content.compare(content.size() - kEnd.size(), kEnd.size(), kEnd) != 0)
      Fail("a written file is not a finished PNG: " + name);
    return;
  }
  // Room for the pixels the file declares (the converter's outputs here are
  // small) or, for a BMP, that its bytes can hold.
  int64_t declaredWidth = 0;
  int64_t declaredHeight = 0;
  // A TIFF file is compressed: it gets the room of the largest picture the
  // work folder's inputs make.
  const int64_t capacity = *format == PictureFormat::Tiff ? int64_t{1} << 22
                           : DeclaredJpegSize(bytes, declaredWidth, declaredHeight)
                               ? declaredWidth * declaredHeight
                               : static_cast<int64_t>(content.size() / 4);
  if (capacity <= 0 || capacity > (int64_t{1} << 26)) Fail("a written file declares no believable size: " + name);
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(capacity));
  int32_t width = 0;
  int32_t height = 0;
  Result read = DecodePicture(bytes, pixels.data(), capacity, width, height);
  if (!read.ok()) Fail("a written file is not a finished picture: " + name + ": " + read.reason());
  if (width <= 0 || height <= 0) Fail("a written picture has no pixels: " + name);
}

// Unbounded work or a way out of the work folder; see the top of the file.
bool Acceptable(const std::vector<std::string>& arguments) {
  if (arguments.size() > kMaxArguments) return false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    // -d .. would write beside the work folder.
    if (argument.find('/') != std::string::npos || argument.find("..") != std::string::npos) return false;
    std::string count;
    size_t mostDigits = 2;
    if (argument == "--sharpen" || argument == "--height") {
      if (i + 1 < arguments.size()) count = arguments[i + 1];
      if (argument == "--height") mostDigits = 3;
    } else if (argument.rfind("--sharpen=", 0) == 0) {
      count = argument.substr(10);
    } else if (argument.rfind("--height=", 0) == 0) {
      count = argument.substr(9);
      mostDigits = 3;
    } else {
      continue;
    }
    if (count.empty() || count.size() > mostDigits) return false;
    for (char c : count)
      if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvane-convert-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a work folder");
  Folder = pattern;
  std::atexit([] { RemoveTree(Folder); });
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) Fail("cannot tell the current folder");
  StartFolder = cwd;
  std::free(cwd);
  MakeFixtures();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  const char* text = reinterpret_cast<const char*>(data);
  for (size_t start = 0; start <= size;) {
    const void* nul = std::memchr(text + start, 0, size - start);
    const size_t end = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
    arguments.emplace_back(text + start, end - start);
    start = end + 1;
  }
  if (!Acceptable(arguments)) return -1;

  std::vector<const char*> argv = {"quorvane-convert"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  LayOutFolder();
  const std::map<std::string, std::string> before = ListFolder();
  // The converter takes names relative to the current folder, as from a shell.
  if (chdir(Folder.c_str()) != 0) Fail("cannot enter the work folder");
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunConverter(static_cast<int>(argv.size() - 1), argv.data(), out, err);
  if (chdir(StartFolder.c_str()) != 0) Fail("cannot return to the start folder");

  if (status < 0 || status > 2) Fail("exit status " + std::to_string(status));
  if (status != 0 && out.str().empty() && err.str().empty()) Fail("a failure without a message");
  // A conversion's line "[i/N] FILE: failed: ...", --find-circle's "quorvane-convert: FILE: ...".
  if (status == 1 && err.str().find(": failed: ") == std::string::npos &&
      err.str().find("quorvane-convert: ") == std::string::npos)
    Fail("a failed input is not named");
  const std::map<std::string, std::string> after = ListFolder();
  if (status == 2 && after != before) Fail("a usage error changed the work folder");
  for (const auto& [name, content] : before) {
    if (!after.contains(name)) Fail("an entry of the work folder vanished: " + name);
  }
  for (const auto& [name, content] : after) {
    auto old = before.find(name);
    if (old == before.end() || old->second != content) CheckWrittenFile(name, content);
  }
  return 0;
}
