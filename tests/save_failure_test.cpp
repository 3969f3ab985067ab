// Saves that cannot succeed: whatever stops them, the file that was there is
// byte for byte as it was, no temporary file (NAME.partN) is left beside it,
// and the reason reaches the user (the converter says it and exits with 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "app/app_state.h"
#include "cli/convert.h"
#include "imageio/bmp_writer.h"
#include "program_state.h"
#include "test_pictures.h"
#include "transform/stores.h"
#include "unprivileged.h"
#include "imageio/write_display.h"

namespace fs = std::filesystem;

namespace {

const std::vector<uint8_t> kOldBytes(5000, 0xEE);

class SaveFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ScratchFolder(std::string("save-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    InstallPicture(MakeFPicture(120, 100), 120, 100);
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  // The names in the folder, sorted: a left-over temporary shows here.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Saves over `name`, which holds kOldBytes, expecting a failure whose
  // reason holds `reasonPart`; returns what went otherwise.
  std::string SaveFailsKeepingTheOldFile(const std::string& name, const std::string& reasonPart) {
    std::string target = name;
    Result result = WriteBmpFile(target);
    std::string problems;
    if (result.ok()) problems += " the save succeeded;";
    else if (result.reason().find(reasonPart) == std::string::npos) problems += " reason: " + result.reason() + ";";
    if (ReadBytes(target) != kOldBytes) problems += " the old file changed;";
    return problems;
  }

  fs::path folder_;
};

TEST_F(SaveFailureTest, AMissingFolderOrAFolderInTheWayLeavesNothingBehind) {
  std::string missing = Path("no-such-folder/pano.bmp");
  Result result = WriteBmpFile(missing);
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.reason().find("cannot create the file"), std::string::npos) << result.reason();
  EXPECT_TRUE(Listing().empty());

  fs::create_directory(folder_ / "taken.bmp");
  WriteBytes(folder_ / "taken.bmp" / "inside.txt", {1, 2, 3});
  std::string taken = Path("taken.bmp");
  result = WriteBmpFile(taken);
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.reason().find("cannot replace the file"), std::string::npos) << result.reason();
  EXPECT_EQ(ReadBytes(folder_ / "taken.bmp" / "inside.txt"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(Listing(), std::vector<std::string>{"taken.bmp"});
}

#ifndef _WIN32
// Root may replace any file, but one without a single write bit was marked
// read-only on purpose and keeps its content for every user.
TEST_F(SaveFailureTest, AReadOnlyFileIsNotReplacedEvenByRoot) {
  WriteBytes(folder_ / "pano.bmp", kOldBytes);
  chmod(Path("pano.bmp").c_str(), 0444);
  EXPECT_EQ(SaveFailsKeepingTheOldFile(Path("pano.bmp"), "read-only"), "");
  EXPECT_EQ(Listing(), std::vector<std::string>{"pano.bmp"});
}

// As an ordinary user: a file of another user that this one may not write,
// the user's own read-only file, and a folder the user may not write in.
TEST_F(SaveFailureTest, FilesAndFoldersWithoutRightsAreLeftAsTheyWere) {
  WriteBytes(folder_ / "theirs.bmp", kOldBytes);  // root's, 0644
  WriteBytes(folder_ / "mine.bmp", kOldBytes);
  chown(Path("mine.bmp").c_str(), kNobody, kNobody);
  chmod(Path("mine.bmp").c_str(), 0444);
  fs::create_directory(folder_ / "closed");
  WriteBytes(folder_ / "closed" / "pano.bmp", kOldBytes);
  // The ordinary user may create files in the folder itself.
  chmod(folder_.c_str(), 0777);
  chmod(Path("closed").c_str(), 0555);

  EXPECT_EQ(RunUnprivileged([&] { return SaveFailsKeepingTheOldFile(Path("theirs.bmp"), "Permission denied"); }), "");
  EXPECT_EQ(RunUnprivileged([&] { return SaveFailsKeepingTheOldFile(Path("mine.bmp"), "read-only"); }), "");
  EXPECT_EQ(RunUnprivileged([&] { return SaveFailsKeepingTheOldFile(Path("closed/pano.bmp"), "cannot create"); }),
            "");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"closed", "mine.bmp", "theirs.bmp"}));
  EXPECT_EQ(fs::directory_iterator(folder_ / "closed")->path().filename(), "pano.bmp");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / "closed"), fs::directory_iterator()), 1);
}

// A full disk, as a file-size limit stands in for it: the write fails with
// EFBIG instead of a signal ending the process. Run in a child process so
// that the limit and the signal's handling end with it.
std::string WithFileSizeLimit(rlim_t bytes, const std::function<std::string()>& body) {
  return RunInChild(
      [bytes] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes, bytes};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0 ? std::string() : std::string("cannot limit file sizes");
      },
      body);
}

TEST_F(SaveFailureTest, AFullDiskKeepsTheOldFileAndLeavesNoPart) {
  WriteBytes(folder_ / "small.bmp", kOldBytes);
  WriteBytes(folder_ / "large.bmp", kOldBytes);
  // 100 x 100 pixels, 40,054 bytes: the buffer holds them all and the limit
  // strikes when they go to the disk before the old file is replaced.
  EXPECT_EQ(WithFileSizeLimit(20'000, [&] { return SaveFailsKeepingTheOldFile(Path("small.bmp"), "too large"); }),
            "");
  // 700 x 700 pixels, 1.96 MB: the limit strikes in the middle of the writes.
  InstallPicture(MakeFPicture(700, 700), 700, 700);
  EXPECT_EQ(WithFileSizeLimit(64'000, [&] { return SaveFailsKeepingTheOldFile(Path("large.bmp"), "too large"); }),
            "");
  // A new name: nothing at all is left.
  EXPECT_EQ(WithFileSizeLimit(64'000,
                              [&] {
                                std::string name = Path("new.bmp");
                                Result result = WriteBmpFile(name);
                                return result.ok() ? std::string("saved") : std::string();
                              }),
            "");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"large.bmp", "small.bmp"}));
}
#else
TEST_F(SaveFailureTest, AReadOnlyFileOrOneHeldOpenIsNotReplaced) {
  WriteBytes(folder_ / "read-only.bmp", kOldBytes);
  SetFileAttributesW((folder_ / "read-only.bmp").wstring().c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(SaveFailsKeepingTheOldFile(Path("read-only.bmp"), "cannot replace the file"), "");
  SetFileAttributesW((folder_ / "read-only.bmp").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);

  // Another program has the file open and shares it with nobody.
  WriteBytes(folder_ / "held.bmp", kOldBytes);
  HANDLE held =
      CreateFileW((folder_ / "held.bmp").wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string name = Path("held.bmp");
  Result result = WriteBmpFile(name);
  CloseHandle(held);
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.reason().find("cannot replace the file"), std::string::npos) << result.reason();
  EXPECT_EQ(ReadBytes(folder_ / "held.bmp"), kOldBytes);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"held.bmp", "read-only.bmp"}));
}
#endif

TEST_F(SaveFailureTest, TheConverterSaysWhyAndExitsWithOne) {
  std::vector<uint8_t> picture = MakeFPicture(60, 40);
  ASSERT_TRUE(WriteBmpPicture({picture.data(), 60, 40}, SaveShape::Square, Path("input.bmp")).ok());
  WriteBytes(folder_ / "out.bmp", kOldBytes);
#ifdef _WIN32
  SetFileAttributesW((folder_ / "out.bmp").wstring().c_str(), FILE_ATTRIBUTE_READONLY);
#else
  chmod(Path("out.bmp").c_str(), 0444);
#endif
  const std::vector<std::string> args = {"quorvane-convert", "--force", "-o", Path("out.bmp"), Path("input.bmp")};
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  EXPECT_EQ(RunConverter(static_cast<int>(argv.size()), argv.data(), out, err), 1);
  const std::string expected = "[1/1] " + Path("input.bmp") + ": failed: " + Path("out.bmp") + ": cannot replace the file: ";
  EXPECT_NE(err.str().find(expected), std::string::npos) << err.str();
#ifdef _WIN32
  SetFileAttributesW((folder_ / "out.bmp").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
  EXPECT_EQ(ReadBytes(folder_ / "out.bmp"), kOldBytes);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"input.bmp", "out.bmp"}));
}

}  // namespace
