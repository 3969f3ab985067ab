#pragma once
#include <string>
#include <utility>

// The outcome of an operation that can fail for expected reasons (a missing
// file, a picture that does not decode, a full disk): empty on success,
// otherwise a reason a person can read.
class [[nodiscard]] Result {
 public:
  Result() = default;
  static Result Failure(std::string reason) { return Result(std::move(reason)); }

  bool ok() const { return reason_.empty(); }
  const std::string& reason() const { return reason_; }

 private:
  explicit Result(std::string reason) : reason_(std::move(reason)) {
    if (reason_.empty()) reason_ = "unknown error";
  }
  std::string reason_;
};
