#pragma once

// Ctrl-C while a video converts: the conversion stops at the next frame and
// removes what it wrote, then the program ends as interrupted.

// While one lives, SIGINT and SIGTERM only set the flag below.
class CatchInterrupt {
 public:
  CatchInterrupt();
  ~CatchInterrupt();
  CatchInterrupt(const CatchInterrupt&) = delete;
  CatchInterrupt& operator=(const CatchInterrupt&) = delete;

  // The signal that arrived (0: none); after cleaning up, the caller ends
  // with it as an interrupted program does.
  static int Caught();
  static void EndWithCaughtSignal();
};

bool InterruptRequested();
