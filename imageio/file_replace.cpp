#include "imageio/file_replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* CreateNewFile(const std::string& name) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

bool FlushToDisk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string& error) {
  // A rename would replace a read-only file too; the user protected it. The
  // mode decides as well as access(): root may write any file, but one that
  // nobody may write was marked read-only on purpose, and stays.
  struct stat info;
  if (stat(to.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      error = "the file is read-only";
      return false;
    }
    if (access(to.c_str(), W_OK) != 0) {
      error = std::strerror(errno);
      return false;
    }
    // The new file is the old one's in all but its bytes: the same owner and
    // group where this process may give them (root may; anyone may give a
    // group they belong to), then the same permission bits, which a change
    // of owner may have cleared. An owner that cannot be kept is no reason
    // to fail; permissions that cannot be kept are, or a private file would
    // be replaced by one that anybody may read.
    if (chown(from.c_str(), info.st_uid, info.st_gid) != 0) {
      [[maybe_unused]] const int groupOnly = chown(from.c_str(), static_cast<uid_t>(-1), info.st_gid);
    }
    if (chmod(from.c_str(), info.st_mode & 07777) != 0) {
      error = std::string("cannot keep the file's permissions: ") + std::strerror(errno);
      return false;
    }
  }
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
}

bool FileExists(const std::string& name) {
  struct stat info;
  return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool FolderExists(const std::string& name) {
  struct stat info;
  return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<FileIdentity> IdentityOf(const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}
