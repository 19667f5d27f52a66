#pragma once

#include <utility>

namespace velquin::support {

// Runs a callable when the scope ends, unless dismissed.
template <typename F> class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (active_) {
      f_();
    }
  }
  void dismiss() { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

}  // namespace velquin::support
