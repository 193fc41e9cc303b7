// A step run when a scope ends, also when the scope is left by an exception: a trace level
// ended, state reset or a process-wide value restored on every way out.
#pragma once

#include <utility>

namespace v7 {

template <class Step>
class AtExit {
 public:
  explicit AtExit(Step step) : step_(std::move(step)) {}
  ~AtExit() { step_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  Step step_;
};

}  // namespace v7
