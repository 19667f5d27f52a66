// Run slots with their queue, and the callers' token buckets.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "api/rate_limiter.h"
#include "api/run_slots.h"

namespace velquin::api::detail {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Outcome = RunSlots::Outcome;

TEST(RunSlots, QueueWaitsForTheSlotAndTimesOut) {
  RunSlots slots;
  const RunSlots::Limits one_with_queue{1, 1, 0};
  RunSlots::Lease held;
  ASSERT_EQ(slots.acquire("a", one_with_queue, Clock::now() + 1s, held), Outcome::granted);
  // Another alias is not held back by this one's slot.
  RunSlots::Lease other;
  EXPECT_EQ(slots.acquire("b", one_with_queue, Clock::now(), other), Outcome::granted);

  auto waiter = std::async(std::launch::async, [&] {
    RunSlots::Lease lease;
    return slots.acquire("a", one_with_queue, Clock::now() + 10s, lease);
  });
  std::this_thread::sleep_for(100ms);
  RunSlots::Lease refused;
  EXPECT_EQ(slots.acquire("a", one_with_queue, Clock::now() + 10s, refused), Outcome::alias_full);
  held.release();
  EXPECT_EQ(waiter.get(), Outcome::granted);

  ASSERT_EQ(slots.acquire("a", one_with_queue, Clock::now(), held), Outcome::granted);
  RunSlots::Lease late;
  EXPECT_EQ(slots.acquire("a", one_with_queue, Clock::now() + 50ms, late), Outcome::timed_out);
}

TEST(RunSlots, GlobalCapGivesBackTheAliasSlot) {
  RunSlots slots;
  RunSlots::Lease first;
  ASSERT_EQ(slots.acquire("a", {std::nullopt, 0, 1}, Clock::now(), first), Outcome::granted);
  RunSlots::Lease second;
  EXPECT_EQ(slots.acquire("b", {1, 0, 1}, Clock::now(), second), Outcome::global_full);
  first.release();
  // "b" kept no alias slot from the refused attempt.
  EXPECT_EQ(slots.acquire("b", {1, 0, 1}, Clock::now(), second), Outcome::granted);
  RunSlots::Lease third;
  EXPECT_EQ(slots.acquire("b", {1, 0, 0}, Clock::now(), third), Outcome::alias_full);
}

TEST(RateLimiter, BurstThenRetryAfterAndRateChangeResetsOnlyThatCaller) {
  RateLimiter limiter;
  const auth::Rate per_minute{6, 60, 2, "6/minute"};
  const auto t0 = Clock::now();
  EXPECT_EQ(limiter.take("user:a", per_minute, t0), 0);
  EXPECT_EQ(limiter.take("user:a", per_minute, t0), 0);
  EXPECT_EQ(limiter.take("user:a", per_minute, t0), 10);  // one token per 10 s
  EXPECT_EQ(limiter.take("user:a", per_minute, t0 + 4s), 6);
  EXPECT_EQ(limiter.take("user:a", per_minute, t0 + 10s), 0);
  // Same name, other kind of caller: a bucket of its own.
  EXPECT_EQ(limiter.take("jwt:a", per_minute, t0 + 10s), 0);
  // A reload with the same rate keeps the bucket; a changed rate starts afresh.
  EXPECT_EQ(limiter.take("user:a", per_minute, t0 + 10s), 10);
  const auth::Rate per_second{1, 1, 1, "1/second"};
  EXPECT_EQ(limiter.take("user:a", per_second, t0 + 10s), 0);
  EXPECT_EQ(limiter.take("user:a", per_second, t0 + 10s), 1);
}

}  // namespace
}  // namespace velquin::api::detail
