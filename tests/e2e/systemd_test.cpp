// The service manager's protocols: readiness messages on NOTIFY_SOCKET and a
// listening socket passed with LISTEN_FDS.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "e2e/harness.h"
#include "support/fd.h"
#include "support/temp_dir.h"

namespace velquin::e2e {
namespace {

// The manager's end: a datagram socket this test binds, by path or abstract name.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) : name_(name) {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
    }
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      throw std::runtime_error("bind " + name + ": " + std::strerror(errno));
    }
  }
  const std::string& name() const { return name_; }

  // The next message that contains `part`; the ones before it are skipped.
  std::optional<std::string> wait_for(const std::string& part) {
    for (int i = 0; i < 100; ++i) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, 200) == 1) {
        char buf[4096];
        const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
        if (n > 0 && std::string(buf, n).find(part) != std::string::npos) {
          return std::string(buf, n);
        }
      }
    }
    return std::nullopt;
  }

 private:
  std::string name_;
  support::UniqueFd fd_;
};

std::uint64_t monotonic_usec() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

class Notify : public ::testing::TestWithParam<bool> {};

TEST_P(Notify, ReadyReloadingStopping) {
  velquin::testing::TempDir tmp;
  const bool abstract = GetParam();
  NotifySocket manager(abstract ? "@velquin-notify-" + std::to_string(::getpid())
                                : (tmp.path() / "notify").string());
  ServiceOptions opts;
  opts.env = {{"NOTIFY_SOCKET", manager.name()}};
  opts.allowed_aliases = {"echo", "notify_env"};
  Service svc(opts);
  svc.write_alias_file(
      "env.yaml", "notify_env:\n  type: process\n  command: echo \"${NOTIFY_SOCKET:-unset}\"\n");
  // Enough aliases that the reload takes a moment after the SIGHUP.
  std::string many;
  for (int i = 0; i < 300; ++i) {
    many +=
        "a" + std::to_string(i) + ":\n  type: process\n  command: echo " + std::to_string(i) + "\n";
  }
  svc.write_alias_file("many.yaml", many);
  svc.start();
  ASSERT_TRUE(manager.wait_for("READY=1"));

  // Runs do not inherit the manager's socket.
  EXPECT_EQ(svc.execute("notify_env").body, "unset\n");

  const std::uint64_t before = monotonic_usec();
  svc.signal(SIGHUP);
  auto reloading = manager.wait_for("RELOADING=1");
  ASSERT_TRUE(reloading);
  const auto at = reloading->find("MONOTONIC_USEC=");
  ASSERT_NE(at, std::string::npos) << *reloading;
  const std::uint64_t usec = std::stoull(reloading->substr(at + 15));
  EXPECT_GE(usec, before);
  EXPECT_LE(usec, monotonic_usec());
  // Ready again only once the reload that the SIGHUP queued has finished.
  ASSERT_TRUE(manager.wait_for("READY=1"));
  EXPECT_NE(svc.app_log().find("Alias configuration reloaded successfully"), std::string::npos);

  svc.signal(SIGTERM);
  EXPECT_TRUE(manager.wait_for("STOPPING=1"));
  EXPECT_EQ(svc.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sockets, Notify, ::testing::Values(false, true),
                         [](const auto& param_info) {
                           return param_info.param ? "Abstract" : "Path";
                         });

TEST(SocketActivation, ServesThePassedSocket) {
  if (!std::filesystem::exists("/usr/bin/systemd-socket-activate")) {
    GTEST_SKIP() << "systemd-socket-activate is not installed (package systemd)";
  }
  ServiceOptions opts;
  opts.socket_activated = true;
  Service svc(opts);
  svc.start();
  // Velquin's own bind of this port would fail: the launcher holds it.
  auto r = svc.execute("echo", {{"message", "activated"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "activated\n");
  EXPECT_TRUE(svc.wait_for_log("Listening on the socket passed by the service manager"));
  EXPECT_EQ(svc.stop(), 0);
}

}  // namespace
}  // namespace velquin::e2e
