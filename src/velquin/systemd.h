#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace velquin::app {

// The service manager's side channel: readiness messages on the datagram
// socket named by NOTIFY_SOCKET ("@name" for the abstract namespace), and the
// listening socket passed with LISTEN_FDS. Written directly; no library.
class Notifier {
 public:
  // Disabled: every send() does nothing.
  Notifier() = default;
  explicit Notifier(std::string socket_name);
  // Takes NOTIFY_SOCKET and removes it from the environment, so that runs do
  // not inherit it. Call before any thread starts.
  static Notifier from_environment();

  bool enabled() const { return !socket_name_.empty(); }
  // One datagram of "KEY=value" lines. Never blocks; false when disabled or
  // when the manager did not take it.
  bool send(std::string_view message) const;

  // "STATUS=" + text, unless the service is stopping.
  bool status(std::string_view text);
  // SIGHUP: "RELOADING=1" with the monotonic clock, before the reload is queued.
  void reloading() const;
  // The reload with this ticket has finished: "READY=1", unless a later
  // reload is still queued (its own call sends it) or the service is stopping.
  void reloaded(std::uint64_t ticket);
  void reload_requested(std::uint64_t ticket);
  // The drain starts: "STOPPING=1"; no "READY=1" follows any more.
  void stopping(std::string_view status);

 private:
  std::string socket_name_;
  std::mutex lock_;
  std::uint64_t latest_ticket_ = 0;  // guarded by lock_
  bool stopping_ = false;            // guarded by lock_
};

// The listening socket passed by the service manager (LISTEN_PID is this
// process, LISTEN_FDS at least 1): descriptor 3, marked close-on-exec like
// any others passed; -1 when none was passed. The variables are removed from
// the environment. Throws std::runtime_error when descriptor 3 is not a
// listening TCP socket. Call before any thread starts.
int take_listen_fd();

}  // namespace velquin::app
