#include "velquin/systemd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "support/fd.h"

namespace velquin::app {
namespace {

constexpr int kFirstListenFd = 3;

std::string take_env(const char* name) {
  const char* value = std::getenv(name);
  std::string out = value != nullptr ? value : "";
  ::unsetenv(name);
  return out;
}

}  // namespace

Notifier::Notifier(std::string socket_name) : socket_name_(std::move(socket_name)) {}

Notifier Notifier::from_environment() {
  std::string name = take_env("NOTIFY_SOCKET");
  // Only a path or an abstract name is ours to use; a vsock address is not.
  if (name.size() < 2 || (name[0] != '/' && name[0] != '@')) {
    name.clear();
  }
  return Notifier(std::move(name));
}

bool Notifier::send(std::string_view message) const {
  if (!enabled()) {
    return false;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_name_.size() >= sizeof addr.sun_path) {
    return false;
  }
  std::memcpy(addr.sun_path, socket_name_.data(), socket_name_.size());
  if (addr.sun_path[0] == '@') {
    addr.sun_path[0] = '\0';
  }
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name_.size());
  support::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    return false;
  }
  const ssize_t n = ::sendto(fd.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&addr), len);
  return n == static_cast<ssize_t>(message.size());
}

void Notifier::reloading() const {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\nSTATUS=Reloading");
}

void Notifier::reload_requested(std::uint64_t ticket) {
  std::lock_guard lock(lock_);
  latest_ticket_ = std::max(latest_ticket_, ticket);
}

void Notifier::reloaded(std::uint64_t ticket) {
  std::lock_guard lock(lock_);
  if (stopping_ || ticket < latest_ticket_) {
    return;
  }
  send("READY=1\nSTATUS=Serving");
}

bool Notifier::status(std::string_view text) {
  std::lock_guard lock(lock_);
  return !stopping_ && send("STATUS=" + std::string(text));
}

void Notifier::stopping(std::string_view status) {
  std::lock_guard lock(lock_);
  stopping_ = true;
  send("STOPPING=1\nSTATUS=" + std::string(status));
}

int take_listen_fd() {
  const std::string pid = take_env("LISTEN_PID");
  const std::string fds = take_env("LISTEN_FDS");
  take_env("LISTEN_FDNAMES");
  if (pid.empty() || fds.empty() || pid != std::to_string(::getpid())) {
    return -1;
  }
  char* end = nullptr;
  const long count = std::strtol(fds.c_str(), &end, 10);
  if (*end != '\0' || count < 1 || count > 1024) {
    return -1;
  }
  for (int fd = kFirstListenFd; fd < kFirstListenFd + count; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  int type = 0;
  int listening = 0;
  socklen_t len = sizeof type;
  socklen_t len2 = sizeof listening;
  sockaddr_storage addr{};
  socklen_t addr_len = sizeof addr;
  if (::getsockopt(kFirstListenFd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
      ::getsockopt(kFirstListenFd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len2) != 0 ||
      listening == 0 ||
      ::getsockname(kFirstListenFd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0 ||
      (addr.ss_family != AF_INET && addr.ss_family != AF_INET6)) {
    throw std::runtime_error("LISTEN_FDS: descriptor 3 is not a listening TCP socket");
  }
  // Only the first is served; the others would only be held open.
  for (int fd = kFirstListenFd + 1; fd < kFirstListenFd + count; ++fd) {
    ::close(fd);
  }
  return kFirstListenFd;
}

}  // namespace velquin::app
