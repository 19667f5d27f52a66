#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"

namespace velquin::auth {
class Auth;
}

namespace velquin::watcher {

// What one request reloads. The watcher asks for one directory; a SIGHUP for
// both, authentication data first, and its log lines read "Auth reload: "
// where the watcher's read "Auth reload error: ".
enum class ReloadScope { auth, aliases, all };

// Pulls what a freshly loaded alias table needs before it may be published.
class ImagePuller {
 public:
  virtual ~ImagePuller() = default;
  // Error texts; empty means `next` may replace `current`. May block for long.
  virtual std::vector<std::string> pull(const config::AliasTablePtr& current,
                                        const config::AliasTablePtr& next,
                                        const std::string& prefetch_image) = 0;
};

// Where reload requests go; returns at once, the reload runs elsewhere.
class ReloadRequests {
 public:
  using Ticket = std::uint64_t;
  virtual ~ReloadRequests() = default;
  virtual Ticket request(ReloadScope scope) = 0;
};

// The one thread that reloads: load, pull and publish run there one after the
// other, so what is published is always the result of the newest read.
// Requests that arrive while a reload runs merge into one more reload.
class Reloader final : public ReloadRequests {
 public:
  // Pulls through the Docker Engine named by the environment.
  Reloader(config::Config& config, auth::Auth& auth);
  Reloader(config::Config& config, auth::Auth& auth, ImagePuller& puller);
  // Stops and waits for a running reload to end.
  ~Reloader() override;
  Reloader(const Reloader&) = delete;
  Reloader& operator=(const Reloader&) = delete;

  Ticket request(ReloadScope scope) override;
  // Waits until the reload that took `ticket`, or a later one, has finished.
  // False when the reloader stopped before it ran, or when `limit` passed.
  bool wait(Ticket ticket);
  bool wait_for(Ticket ticket, std::chrono::steady_clock::duration limit);
  // No further reload starts; a running one is not waited for. Idempotent.
  void stop();

 private:
  // Log wording of a pending directory; a SIGHUP's wins over the watcher's.
  enum class Wording { none, watcher, signal };

  void run();
  void reload(Wording auth, Wording aliases);
  bool covered_or_over(Ticket ticket) const;  // caller holds mutex_

  config::Config& config_;
  auth::Auth& auth_;
  std::unique_ptr<ImagePuller> own_puller_;
  ImagePuller& puller_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;             // a request or stop
  std::condition_variable finished_;         // a reload finished or the thread ended
  Wording pending_auth_ = Wording::none;     // guarded by mutex_
  Wording pending_aliases_ = Wording::none;  // guarded by mutex_
  Ticket requested_ = 0;                     // guarded by mutex_: last ticket handed out
  Ticket done_ = 0;                          // guarded by mutex_: last ticket reloaded
  bool stopping_ = false;                    // guarded by mutex_
  bool ended_ = false;                       // guarded by mutex_: the thread has left its loop
  std::thread thread_;
};

namespace detail {

// Load, pull, publish: the old table stays when either step reports an error
// or the load throws (std::system_error for unreadable files).
std::vector<std::string> reload_aliases(config::Config& config, ImagePuller& puller);

}  // namespace detail

}  // namespace velquin::watcher
