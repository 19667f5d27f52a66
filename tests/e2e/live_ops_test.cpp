// Live operations of the real binary: reloads by file events, by polling and
// by SIGHUP, the health record, and the graceful stop under load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

// Polls until the alias answers 200 with the body, or the limit passes.
bool served_within(const Service& s, const std::string& alias, const std::string& body,
                   std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    auto r = s.execute(alias);
    if (r.status == 200 && r.body == body) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// Writes the file whole under a temporary name and renames it into place, as
// editors and deployment tools do.
void replace_file(const std::filesystem::path& path, const std::string& content) {
  auto tmp = path.parent_path() / ("." + path.filename().string() + ".tmp");
  std::ofstream(tmp) << content;
  std::filesystem::rename(tmp, path);
}

std::string alias_yaml(const std::string& name, const std::string& text) {
  return name + ":\n  type: process\n  command: printf " + text + "\n";
}

// A Docker Engine on a Unix socket that answers its ping and never finishes a
// pull. Its connections close when the test ends.
class StalledEngine {
 public:
  explicit StalledEngine(const std::filesystem::path& socket_path) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_.get(), 16) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot set up the stalled engine");
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~StalledEngine() {
    ::close(stop_[1]);
    thread_.join();
    ::close(stop_[0]);
  }
  bool pull_started() const { return pulls_ > 0; }

 private:
  void serve() {
    std::vector<support::UniqueFd> held;
    for (;;) {
      pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
        return;
      }
      support::UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      std::string head;
      char buf[4096];
      ssize_t n = 0;
      while (head.find("\r\n\r\n") == std::string::npos &&
             (n = ::recv(conn.get(), buf, sizeof buf, 0)) > 0) {
        head.append(buf, static_cast<std::size_t>(n));
      }
      if (head.find("/images/create") != std::string::npos) {
        ++pulls_;
        held.push_back(std::move(conn));
        continue;
      }
      const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
      ssize_t ignored = ::send(conn.get(), ok.data(), ok.size(), MSG_NOSIGNAL);
      (void)ignored;
    }
  }

  support::UniqueFd listener_;
  int stop_[2] = {-1, -1};
  std::atomic<int> pulls_{0};
  std::thread thread_;
};

TEST(LiveOps, SavedAliasFileIsServedByTheFileEvent) {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "extra"};
  opts.config_lines = {"AliasReload 30", "AuthReload 30"};
  Service s(opts);
  s.start();
  ASSERT_TRUE(s.wait_for_log("OS file watcher started"));
  auto before = count(s.app_log(), "Alias configuration reloaded successfully");
  s.write_alias_file("extra.yaml", alias_yaml("extra", "one"));
  EXPECT_TRUE(served_within(s, "extra", "one", std::chrono::seconds(2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(count(s.app_log(), "Alias configuration reloaded successfully"), before + 1);
  EXPECT_EQ(s.stop(), 0);
}

TEST(LiveOps, PollingCatchesChangesTheFileEventsCannotSee) {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "extra"};
  opts.config_lines = {"AliasReload 1", "AuthReload 1"};
  Service s(opts);
  s.start();
  // A directory replaced as a whole loses its inotify watch.
  auto alias_dir = s.dir() / "alias.d";
  std::filesystem::rename(alias_dir, s.dir() / "alias.d.old");
  std::filesystem::create_directories(alias_dir);
  std::filesystem::copy_file(s.dir() / "alias.d.old" / "echo.yaml", alias_dir / "echo.yaml");
  s.write_alias_file("extra.yaml", alias_yaml("extra", "polled"));
  EXPECT_TRUE(served_within(s, "extra", "polled", std::chrono::seconds(4)));
  EXPECT_EQ(s.stop(), 0);
}

TEST(LiveOps, BrokenFileDegradesHealthWhileOldAliasesAnswer) {
  Service s;
  s.start();
  s.write_alias_file("broken.yaml", "broken: [unclosed\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  json health;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    health = json::parse(http(s.port(), "GET", "/internal/health/check").body);
  } while (health["configuration"] != "Degraded" && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(health["configuration"], "Degraded");
  EXPECT_EQ(s.execute("echo", json{{"message", "still"}}).body, "still\n");
  EXPECT_THAT(s.app_log(), HasSubstr("Alias reload error: broken.yaml: invalid YAML: "));

  std::filesystem::remove(s.dir() / "alias.d" / "broken.yaml");
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    health = json::parse(http(s.port(), "GET", "/internal/health/check").body);
  } while (health["configuration"] != "Current" && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(health["configuration"], "Current");
  EXPECT_EQ(s.stop(), 0);
}

TEST(LiveOps, SighupReopensLogsAndReloadsAuthBeforeAliases) {
  Service s;
  s.start();
  auto log_path = s.dir() / "logs" / "app.log";
  std::filesystem::rename(log_path, s.dir() / "logs" / "app.log.1");
  s.signal(SIGHUP);
  ASSERT_TRUE(s.wait_for_log("Alias configuration reloaded successfully"));
  auto log = s.app_log();
  auto auth = log.find("Auth configuration reloaded successfully");
  auto alias = log.find("Alias configuration reloaded successfully");
  ASSERT_NE(auth, std::string::npos);
  EXPECT_LT(auth, alias);
  EXPECT_THAT(testing::read_file(s.dir() / "logs" / "app.log.1"),
              HasSubstr("SIGHUP received — reopening log files and reloading configuration"));
  EXPECT_EQ(s.stop(), 0);
}

TEST(LiveOps, SighupWithBrokenCredentialsKeepsThemAndReloadsAliases) {
  Service s;
  s.start();
  s.write_auth_file("zz.yaml", "users: [not, a, mapping]\n");
  s.signal(SIGHUP);
  ASSERT_TRUE(s.wait_for_log("Alias configuration reloaded successfully"));
  EXPECT_THAT(s.app_log(), HasSubstr("ERROR velquin [-] Auth reload: zz.yaml"));
  EXPECT_EQ(s.execute("echo", json{{"message", "ok"}}).status, 200);
  EXPECT_EQ(s.stop(), 0);
}

TEST(LiveOps, SigtermAnswersEveryRequestInFlightAndRefusesNewOnes) {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "nap"};
  Service s(opts);
  s.write_alias_file("nap.yaml", "nap:\n  type: process\n  command: sleep 1.5; printf rested\n");
  s.start();
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&] {
      auto r = s.execute("nap");
      if (r.status == 200 && r.body == "rested") {
        ++answered;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  s.signal(SIGTERM);
  ASSERT_TRUE(s.wait_for_log("Graceful shutdown: waiting for active requests..."));
  auto refused = s.execute("echo");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "Service is shutting down");
  for (auto& t : clients) {
    t.join();
  }
  EXPECT_EQ(answered.load(), 16);
  EXPECT_EQ(s.stop(), 0);
  auto audit = s.audit();
  std::size_t unavailable = 0;
  for (const auto& rec : audit) {
    unavailable += rec["status"] == 503 && rec["app_code"] == "service_unavailable" ? 1 : 0;
  }
  EXPECT_EQ(unavailable, 1u);
}

// DrainDelay: the health check fails first so that a balancer takes the
// instance out, while executions are still served; a second SIGTERM ends the
// delay (60 s here, longer than stop() waits) and drains at once.
TEST(LiveOps, DrainDelayFailsOnlyTheHealthCheckUntilASecondSigterm) {
  ServiceOptions opts;
  opts.config_lines = {"DrainDelay 60", "HealthApiKey hk"};
  Service s(opts);
  s.start();
  ASSERT_EQ(http(s.port(), "GET", "/internal/health/check", {{"X-API-Key", "hk"}}).status, 200);
  s.signal(SIGTERM);
  ASSERT_TRUE(s.wait_for_log("Drain delay: /internal/health/check answers 503 for 60s"));
  for (const char* key : {"hk", "wrong"}) {
    auto health = http(s.port(), "GET", "/internal/health/check", {{"X-API-Key", key}});
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "Service is shutting down");
  }
  auto served = s.execute("echo", json{{"message", "still here"}});
  EXPECT_EQ(served.status, 200);
  EXPECT_EQ(served.body, "still here\n");
  EXPECT_THAT(s.app_log(), ::testing::Not(HasSubstr("Graceful shutdown: waiting")));
  EXPECT_EQ(s.stop(SIGTERM, std::chrono::seconds(20)), 0);
  EXPECT_THAT(s.app_log(), HasSubstr("Graceful shutdown: waiting for active requests..."));
}

// A SIGHUP reload that waits on a pull for many minutes: meanwhile new
// connections are served and a SIGTERM still drains and ends the service.
TEST(LiveOps, SighupReloadStuckInAPullLeavesTheAcceptorAndSigtermFree) {
  testing::TempDir engine_dir;
  StalledEngine engine(engine_dir.path() / "engine.sock");
  ServiceOptions opts;
  opts.config_lines = {"AliasReload 0", "AuthReload 0", "PrefetchImage on-config-change"};
  opts.env = {{"DOCKER_HOST", "unix://" + (engine_dir.path() / "engine.sock").string()}};
  Service s(opts);
  s.start();
  s.write_alias_file("box.yaml", "box:\n  type: container\n  image: slow/image:1\n");
  s.signal(SIGHUP);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!engine.pull_started() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(engine.pull_started()) << s.app_log();

  auto answer = std::async(std::launch::async, [&] { return s.execute("echo"); });
  const bool accepted = answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!accepted) {
    s.signal(SIGKILL);  // lets the waiting client go
  }
  ASSERT_TRUE(accepted) << "no connection accepted while the reload pulls";
  EXPECT_EQ(answer.get().status, 200);

  EXPECT_EQ(s.stop(SIGTERM, std::chrono::seconds(10)), 0);
  EXPECT_THAT(s.app_log(), HasSubstr("Velquin shutdown complete"));
  EXPECT_THAT(s.app_log(), ::testing::Not(HasSubstr("Alias configuration reloaded successfully")));
}

TEST(LiveOps, ReloadsUnderLoadLoseNeitherRequestsNorTheLastWrite) {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "ver"};
  opts.config_lines = {"AliasReload 1", "AuthReload 1"};
  Service s(opts);
  auto ver_path = s.dir() / "alias.d" / "ver.yaml";
  replace_file(ver_path, alias_yaml("ver", "v0"));
  s.start();

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> done{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c) {
    clients.emplace_back([&] {
      while (!stop) {
        auto r = s.execute("ver");
        if (r.status != 200 || r.body.rfind('v', 0) != 0) {
          ++failures;
        }
        ++done;
      }
    });
  }
  int version = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (std::chrono::steady_clock::now() < until && done < 3000) {
    replace_file(ver_path, alias_yaml("ver", "v" + std::to_string(++version)));
    s.signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop = true;
  for (auto& t : clients) {
    t.join();
  }
  EXPECT_EQ(failures.load(), 0) << "of " << done.load();
  EXPECT_GT(done.load(), 100);
  EXPECT_TRUE(served_within(s, "ver", "v" + std::to_string(version), std::chrono::seconds(3)));
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
}  // namespace velquin::e2e
