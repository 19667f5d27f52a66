#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace velquin::api::detail {

// Run slots per alias (with a queue of waiting requests) and across all
// aliases. A request holds its slots from admission to the end of its run.
class RunSlots {
 public:
  enum class Outcome { granted, alias_full, global_full, timed_out };

  struct Limits {
    std::optional<std::int64_t> concurrency;  // of the alias; absent: no limit
    std::int64_t queue = 0;
    std::int64_t global = 0;  // MaxConcurrentRuns; 0: no limit
  };

  // The slots one request holds; given back when it goes.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept { *this = std::move(other); }
    Lease& operator=(Lease&& other) noexcept;
    ~Lease() { release(); }
    void release() noexcept;

   private:
    friend class RunSlots;
    RunSlots* owner_ = nullptr;
    std::string alias_;
    bool alias_slot_ = false;
    bool global_slot_ = false;
  };

  // Takes the alias's slot (waiting in its queue up to `deadline` when there
  // is a place), then a global one. Nothing is held unless granted.
  Outcome acquire(const std::string& alias, const Limits& limits,
                  std::chrono::steady_clock::time_point deadline, Lease& lease);

 private:
  struct AliasState {
    std::int64_t running = 0;
    std::int64_t waiting = 0;
    std::condition_variable slot_freed;
  };
  void give_back(const std::string& alias, bool alias_slot, bool global_slot) noexcept;

  std::mutex lock_;
  std::map<std::string, AliasState, std::less<>> aliases_;  // guarded by lock_
  std::int64_t global_running_ = 0;                         // guarded by lock_
};

}  // namespace velquin::api::detail
