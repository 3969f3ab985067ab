#include "video/interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void OnSignal(int signal) { caughtSignal = signal; }

using Handler = void (*)(int);
Handler previousInt = SIG_DFL;
Handler previousTerm = SIG_DFL;

}  // namespace

CatchInterrupt::CatchInterrupt() {
  previousInt = std::signal(SIGINT, OnSignal);
  previousTerm = std::signal(SIGTERM, OnSignal);
}

CatchInterrupt::~CatchInterrupt() {
  std::signal(SIGINT, previousInt == SIG_ERR ? SIG_DFL : previousInt);
  std::signal(SIGTERM, previousTerm == SIG_ERR ? SIG_DFL : previousTerm);
}

int CatchInterrupt::Caught() { return caughtSignal; }

void CatchInterrupt::EndWithCaughtSignal() {
  const int signal = caughtSignal;
  if (signal == 0) return;
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

bool InterruptRequested() { return caughtSignal != 0; }
