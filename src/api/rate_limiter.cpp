#include "api/rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace velquin::api::detail {

namespace {
// Refills add up in floating point: a caller who waited the time announced
// must not miss its token by a rounding error.
constexpr double SLACK = 1e-9;
}  // namespace

void RateLimiter::refill(Bucket& bucket, Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - bucket.updated).count();
  if (elapsed > 0) {
    const double per_second =
        static_cast<double>(bucket.rate.count) / static_cast<double>(bucket.rate.period_seconds);
    bucket.tokens =
        std::min(static_cast<double>(bucket.rate.burst), bucket.tokens + elapsed * per_second);
    bucket.updated = now;
  }
}

// Full buckets say nothing a fresh one would not: dropping them keeps the
// table as small as the set of callers that are being held back.
void RateLimiter::prune(Clock::time_point now) {
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    refill(it->second, now);
    if (it->second.tokens + SLACK >= static_cast<double>(it->second.rate.burst)) {
      it = buckets_.erase(it);
    } else {
      ++it;
    }
  }
  prune_at_ = std::max<std::size_t>(1024, buckets_.size() * 2);
}

std::int64_t RateLimiter::take(const std::string& key, const auth::Rate& rate,
                               Clock::time_point now) {
  std::lock_guard lock(lock_);
  if (buckets_.size() >= prune_at_) {
    prune(now);
  }
  auto [it, fresh] = buckets_.try_emplace(key);
  Bucket& bucket = it->second;
  if (fresh || bucket.rate != rate) {
    bucket = Bucket{rate, static_cast<double>(rate.burst), now};
  }
  refill(bucket, now);
  if (bucket.tokens + SLACK >= 1) {
    bucket.tokens = std::max(0.0, bucket.tokens - 1);
    return 0;
  }
  const double wait = (1 - bucket.tokens) * static_cast<double>(rate.period_seconds) /
                      static_cast<double>(rate.count);
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(wait - SLACK)));
}

}  // namespace velquin::api::detail
