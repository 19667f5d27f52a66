#pragma once

// Internal to the auth module: signatures of webhook deliveries, and the
// delivery ids seen lately.

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "auth/auth.h"
#include "auth/auth_data.h"

namespace velquin::auth::detail {

// The header that carries a sender's signature (or token).
std::string_view signature_header(const WebhookEntry& hook);
// The header that names a delivery, "" when the scheme has none.
std::string_view delivery_header(const WebhookEntry& hook);

enum class SignatureCheck { valid, invalid, stale };

// Checks the delivery against one sender over the body's exact bytes; `now`
// in seconds since the epoch. Every comparison of secret-derived bytes is
// constant-time.
SignatureCheck check_signature(const WebhookEntry& hook, const HeaderLookup& header,
                               std::string_view body, std::int64_t now);

// Delivery ids verified and admitted within the last window. Keys are kept as
// digests, so a long id costs no more than a short one.
class DeliveryLog {
 public:
  using Clock = std::chrono::steady_clock;
  explicit DeliveryLog(Clock::duration window = std::chrono::hours(24),
                       std::size_t capacity = 200'000)
      : window_(window), capacity_(capacity) {}

  bool seen(std::string_view key, Clock::time_point now) const;
  // False when the key is already recorded (a concurrent duplicate).
  bool record(std::string_view key, Clock::time_point now);

 private:
  void expire(Clock::time_point now);

  const Clock::duration window_;
  const std::size_t capacity_;
  mutable std::mutex lock_;
  std::unordered_map<std::string, Clock::time_point> seen_;
  std::deque<std::pair<std::string, Clock::time_point>> order_;  // oldest first
};

}  // namespace velquin::auth::detail
