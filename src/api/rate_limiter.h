#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "auth/auth.h"

namespace velquin::api::detail {

// A token bucket per caller. A bucket lives on across reloads while its
// caller's rate stays the same; a changed rate starts it afresh, full.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes a token: 0 when the request may go, else the whole seconds until
  // the bucket holds one again (1 or more).
  std::int64_t take(const std::string& key, const auth::Rate& rate, Clock::time_point now);

 private:
  struct Bucket {
    auth::Rate rate;
    double tokens = 0;
    Clock::time_point updated;
  };
  static void refill(Bucket& bucket, Clock::time_point now);
  void prune(Clock::time_point now);

  std::mutex lock_;
  std::unordered_map<std::string, Bucket> buckets_;  // guarded by lock_
  std::size_t prune_at_ = 1024;                      // guarded by lock_
};

}  // namespace velquin::api::detail
