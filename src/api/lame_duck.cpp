#include "api/lame_duck.h"

namespace velquin::api::detail {

void LameDuck::run(std::chrono::steady_clock::duration delay) {
  std::unique_lock lock(lock_);
  if (started_) {
    cut_ = true;
    cut_short_.notify_all();
    return;
  }
  started_ = true;
  active_.store(true, std::memory_order_release);
  cut_short_.wait_for(lock, delay, [this] { return cut_; });
}

}  // namespace velquin::api::detail
