#include "api/drain.h"

namespace velquin::api::detail {

bool Drain::try_admit() {
  std::lock_guard lock(count_lock_);
  if (shutdown_flag_) {
    return false;
  }
  ++active_count_;
  return true;
}

void Drain::release() {
  std::lock_guard lock(count_lock_);
  if (--active_count_ == 0) {
    all_done_.notify_all();
  }
}

void Drain::begin() {
  std::lock_guard lock(count_lock_);
  shutdown_flag_ = true;
}

std::int64_t Drain::wait(std::chrono::steady_clock::duration limit) {
  std::unique_lock lock(count_lock_);
  all_done_.wait_for(lock, limit, [this] { return active_count_ == 0; });
  return active_count_;
}

}  // namespace velquin::api::detail
