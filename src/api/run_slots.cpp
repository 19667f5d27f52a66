#include "api/run_slots.h"

#include <utility>

#include "metrics/metrics.h"

namespace velquin::api::detail {

RunSlots::Lease& RunSlots::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::exchange(other.owner_, nullptr);
    alias_ = std::move(other.alias_);
    alias_slot_ = std::exchange(other.alias_slot_, false);
    global_slot_ = std::exchange(other.global_slot_, false);
  }
  return *this;
}

void RunSlots::Lease::release() noexcept {
  if (owner_ != nullptr && (alias_slot_ || global_slot_)) {
    owner_->give_back(alias_, alias_slot_, global_slot_);
  }
  owner_ = nullptr;
  alias_slot_ = global_slot_ = false;
}

RunSlots::Outcome RunSlots::acquire(const std::string& alias, const Limits& limits,
                                    std::chrono::steady_clock::time_point deadline, Lease& lease) {
  lease.release();
  if (!limits.concurrency && limits.global <= 0) {
    return Outcome::granted;  // nothing to count: no lock on the common path
  }
  std::unique_lock lock(lock_);
  bool alias_slot = false;
  if (limits.concurrency) {
    AliasState& state = aliases_[alias];
    const std::int64_t cap = *limits.concurrency;
    // Waiting requests go first: a newcomer never overtakes the queue.
    if (state.running >= cap || state.waiting > 0) {
      if (state.waiting >= limits.queue) {
        if (state.running == 0 && state.waiting == 0) {
          aliases_.erase(alias);
        }
        return Outcome::alias_full;
      }
      ++state.waiting;
      metrics::queue_entered(alias);
      const bool freed =
          state.slot_freed.wait_until(lock, deadline, [&] { return state.running < cap; });
      --state.waiting;
      metrics::queue_left(alias);
      if (!freed) {
        if (state.running == 0 && state.waiting == 0) {
          aliases_.erase(alias);
        }
        return Outcome::timed_out;
      }
    }
    ++state.running;
    alias_slot = true;
  }
  if (limits.global > 0 && global_running_ >= limits.global) {
    lock.unlock();
    if (alias_slot) {
      give_back(alias, true, false);
    }
    return Outcome::global_full;
  }
  if (limits.global > 0) {
    ++global_running_;
  }
  lease.owner_ = this;
  lease.alias_ = alias;
  lease.alias_slot_ = alias_slot;
  lease.global_slot_ = limits.global > 0;
  return Outcome::granted;
}

void RunSlots::give_back(const std::string& alias, bool alias_slot, bool global_slot) noexcept {
  std::lock_guard lock(lock_);
  if (global_slot) {
    --global_running_;
  }
  if (!alias_slot) {
    return;
  }
  const auto it = aliases_.find(alias);
  if (it == aliases_.end()) {
    return;
  }
  AliasState& state = it->second;
  --state.running;
  if (state.waiting > 0) {
    state.slot_freed.notify_one();
  } else if (state.running == 0) {
    aliases_.erase(it);
  }
}

}  // namespace velquin::api::detail
