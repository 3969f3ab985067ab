#pragma once
// Runs part of a test as a user without special rights. Root may read and
// replace any file whatever its mode, so a test of an unreadable or read-only
// file run as root (as CI runs) would test nothing: there the part runs in a
// child process that has become the user "nobody".
#include <functional>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

inline constexpr uid_t kNobody = 65534;

// Runs `body` in a child process after `prepare` (which sets the child up and
// returns an empty text, or what went wrong) and returns the body's text (by
// custom empty when all went as expected, otherwise what went wrong). What the
// child changes about itself ends with it.
inline std::string RunInChild(const std::function<std::string()>& prepare,
                              const std::function<std::string()>& body) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe to the child process";
  const pid_t child = fork();
  if (child < 0) return "cannot start a child process";
  if (child == 0) {
    close(pipeEnds[0]);
    std::string result = prepare();
    if (result.empty()) result = body();
    const char* at = result.data();
    size_t left = result.size();
    while (left > 0) {
      ssize_t written = write(pipeEnds[1], at, left);
      if (written <= 0) break;
      at += written;
      left -= static_cast<size_t>(written);
    }
    _exit(0);
  }
  close(pipeEnds[1]);
  std::string result;
  char piece[4096];
  ssize_t got = 0;
  while ((got = read(pipeEnds[0], piece, sizeof piece)) > 0) result.append(piece, static_cast<size_t>(got));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "the child process ended abnormally (status " + std::to_string(status) + ")";
  return result;
}

// Runs `body` as an ordinary user. Files the body must reach need rights for
// "nobody" when the tests run as root.
inline std::string RunUnprivileged(const std::function<std::string()>& body) {
  if (geteuid() != 0) return body();
  return RunInChild(
      [] {
        return setgid(kNobody) == 0 && setuid(kNobody) == 0 && geteuid() == kNobody
                   ? std::string()
                   : std::string("the child cannot become nobody");
      },
      body);
}
#endif
