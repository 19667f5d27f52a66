#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace velquin::api {

class API;

namespace detail {

// Request admission and the shutdown drain under one lock: once begin() has
// returned, no request is admitted any more, and every request admitted
// before it is one that wait() waits for.
class Drain {
 public:
  // False, counting nothing, once shutdown has begun.
  bool try_admit();
  // An admitted request has ended.
  void release();
  // Refuses every later admission. Idempotent.
  void begin();
  // Waits until no admitted request is left, or the limit passes; returns the
  // number still active (0 when drained).
  std::int64_t wait(std::chrono::steady_clock::duration limit);

 private:
  std::mutex count_lock_;
  std::condition_variable all_done_;
  bool shutdown_flag_ = false;     // guarded by count_lock_
  std::int64_t active_count_ = 0;  // guarded by count_lock_
};

// Test seam: `gate` runs in every request's admission just before it is
// checked against the drain.
struct AdmissionGate {
  static void set(API& api, std::function<void()> gate);
};

}  // namespace detail
}  // namespace velquin::api
