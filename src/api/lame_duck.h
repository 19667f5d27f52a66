#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velquin::api::detail {

// The time between SIGTERM and the drain: the health check fails, so that a
// load balancer stops sending here, while every other request is still
// served. Refusing work before the balancer has noticed would fail requests
// that no balancer may safely retry.
class LameDuck {
 public:
  // Starts the phase and returns once delay has passed. A second call ends
  // the first one's wait and returns at once (a second signal cuts it short).
  void run(std::chrono::steady_clock::duration delay);
  // True from the first run() on; never cleared (the drain follows).
  bool active() const { return active_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> active_{false};
  std::mutex lock_;
  std::condition_variable cut_short_;
  bool started_ = false;  // guarded by lock_
  bool cut_ = false;      // guarded by lock_
};

}  // namespace velquin::api::detail
