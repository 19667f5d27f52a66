#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velquin::api {

class Server;     // the Beast listener; defined in the .cpp
struct Services;  // the calls into other modules (api/internal.h)
namespace detail {
struct AdmissionGate;
}

// The HTTP front end. start() serves on the calling (main) thread until
// graceful_shutdown() stops it from another thread.
class API {
 public:
  // DefaultServices in the service, fakes in tests.
  explicit API(Services services);
  ~API();
  API(const API&) = delete;
  API& operator=(const API&) = delete;

  // Signals to watch while serving (already blocked in every thread by the
  // caller): each handler runs on the thread inside start(), one at a time,
  // in arrival order. Call before start().
  void set_signal_handlers(std::vector<std::pair<int, std::function<void(int)>>> handlers);

  // A listening TCP socket to serve instead of binding ListenAddress and
  // ListenPort (socket activation); the server takes it over. Call before start().
  void set_listen_fd(int fd);
  // Runs on the serving thread once the socket listens, before the first
  // request is accepted. Call before start().
  void set_on_listening(std::function<void()> callback);

  // Reads ListenAddress, ListenPort, SslEnabled, SslCert, SslKey; logs the
  // "Listening on" line; blocks until stopped. Throws when the server cannot
  // be created (address in use, unusable key).
  void start();
  // As start(), but on host:port exactly as given (0 picks a free port); for tests.
  void start_on(const std::string& host, unsigned short port);

  // Refuses new requests (503), waits up to timeout seconds for the ones
  // admitted before, then stops the server. Safe to call more than once, from
  // any thread.
  void graceful_shutdown(double timeout = 30);
  // For DrainDelay seconds: the health check answers 503, every other request
  // is served as usual; then returns. A second call ends the first one's wait
  // and returns at once. Call before graceful_shutdown().
  void lame_duck();

  // The bound port once listening (0 before).
  unsigned short port() const;

 private:
  friend struct detail::AdmissionGate;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velquin::api
