#pragma once
// What the Windows picture decoder and encoders share: a COM apartment held
// for one call and interface pointers released on every path.
#include <windows.h>

#include <memory>

// The initialising call (OleInitialize, CoInitializeEx) succeeds twice over
// (S_FALSE) on a thread that already has it, and every success needs its
// uninitialising call. A thread set up for the other threading model refuses
// (RPC_E_CHANGED_MODE) but can still use the codecs, which live in either;
// there nothing is to be undone.
class ComSession {
 public:
  using Leave = void(WINAPI*)();
  ComSession(HRESULT status, Leave leave) : status_(status), leave_(leave) {}
  ~ComSession() {
    if (SUCCEEDED(status_)) leave_();
  }
  ComSession(const ComSession&) = delete;
  ComSession& operator=(const ComSession&) = delete;

  bool usable() const { return SUCCEEDED(status_) || status_ == RPC_E_CHANGED_MODE; }

 private:
  HRESULT status_;
  Leave leave_;
};

struct ComReleaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename Interface>
using ComPointer = std::unique_ptr<Interface, ComReleaser>;
