#include "watcher/reloader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "auth/auth.h"
#include "config/config.h"
#include "logger/testing.h"
#include "support/temp_dir.h"
#include "watch_test_util.h"

namespace velquin::watcher {
namespace {

namespace fs = std::filesystem;
using logger::Level;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using watcher::testing::replace_file;
using Messages = std::vector<std::string>;

constexpr auto LIMIT = std::chrono::seconds(20);  // bounds a failing test only

// Stands in for the engine: replays scripted outcomes, counts its calls, and
// can hold the first pull until released.
class FakePuller final : public ImagePuller {
 public:
  using Step = std::function<std::vector<std::string>()>;

  void hold_first() { hold_ = true; }
  void then(Step step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
  }
  bool wait_held() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, LIMIT, [&] { return held_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    hold_ = false;
    cv_.notify_all();
  }
  int calls() const { return calls_; }

  std::vector<std::string> pull(const config::AliasTablePtr&, const config::AliasTablePtr&,
                                const std::string&) override {
    Step step;
    {
      std::unique_lock lock(mutex_);
      if (calls_++ == 0 && hold_) {
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !hold_; });
      }
      if (!script_.empty()) {
        step = std::move(script_.front());
        script_.pop_front();
      }
    }
    return step ? step() : std::vector<std::string>{};
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Step> script_;  // guarded by mutex_
  bool hold_ = false;        // guarded by mutex_
  bool held_ = false;        // guarded by mutex_
  std::atomic<int> calls_{0};
};

std::string alias_yaml(const std::string& name, const std::string& command) {
  return name + ": {type: process, command: " + command + "}\n";
}

class ReloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(auth_dir());
    write("a.yaml", alias_yaml("first", "echo 1"));
    write("b.yaml", alias_yaml("second", "echo 2"));
    tmp.write("auth.d/users.yaml", "users: {}\n");
    load_config();
    auto [table, errors] = config.load_aliases();
    ASSERT_THAT(errors, IsEmpty());
    config.apply_aliases(table);
  }
  void load_config(config::Overrides extra = {}) {
    config::Overrides overrides = {{"AliasDir", (tmp.path() / "alias.d").string()},
                                   {"AuthDir", auth_dir().string()},
                                   {"Container", "0"}};
    overrides.insert(overrides.end(), extra.begin(), extra.end());
    config.load((tmp.path() / "absent.conf").string(), overrides);
  }
  fs::path auth_dir() const { return tmp.path() / "auth.d"; }
  void write(const std::string& name, const std::string& content) {
    fs::create_directories(tmp.path() / "alias.d");
    replace_file(tmp.path() / "alias.d" / name, content);
  }
  std::string command_of(const std::string& alias) const {
    auto def = config.get_alias(alias);
    return def ? def->at("command").get<std::string>() : "(none)";
  }
  Messages errors() const { return capture.messages(Level::error); }
  std::size_t infos_with(const std::string& text) const {
    return watcher::testing::count_containing(capture.messages(Level::info), text);
  }

  velquin::testing::TempDir tmp;
  config::Config config;
  auth::Auth auth{auth_dir().string()};
  FakePuller puller;
  logger::LogCapture capture;
};

// The watcher's threads and SIGHUP ask from threads of their own. Reload 1 is
// held in its pull while the file changes and reload 2 is asked for: the last
// table published must be the one read last, and the requests made meanwhile
// cost one reload, not one each.
TEST_F(ReloaderTest, ReloadsRunOneAtATimeAndTheNewestReadIsPublished) {
  puller.hold_first();
  Reloader reloader(config, auth, puller);
  write("a.yaml", alias_yaml("first", "echo old"));
  ReloadRequests::Ticket first = 0;
  std::thread watcher_thread([&] { first = reloader.request(ReloadScope::aliases); });
  ASSERT_TRUE(puller.wait_held());

  write("a.yaml", alias_yaml("first", "echo new"));
  std::vector<ReloadRequests::Ticket> later(3);
  std::thread signal_thread([&] { later[0] = reloader.request(ReloadScope::all); });
  signal_thread.join();  // asking never waits for the reload in progress
  later[1] = reloader.request(ReloadScope::aliases);
  later[2] = reloader.request(ReloadScope::auth);
  puller.release();
  watcher_thread.join();

  for (auto ticket : later) {
    ASSERT_TRUE(reloader.wait_for(ticket, LIMIT));
  }
  EXPECT_TRUE(reloader.wait(first));
  EXPECT_EQ(command_of("first"), "echo new");
  EXPECT_EQ(puller.calls(), 2);
  EXPECT_EQ(infos_with("Alias configuration reloaded successfully"), 2U);
  EXPECT_EQ(infos_with("Auth configuration reloaded successfully"), 1U);
  EXPECT_TRUE(config.get_health_status().is_current);
}

TEST_F(ReloaderTest, FailuresAreLoggedInTheWordsOfWhoAskedAndRecorded) {
  tmp.write("auth.d/zz.yaml", "users: [not, a, mapping]\n");
  Reloader reloader(config, auth, puller);
  ASSERT_TRUE(reloader.wait_for(reloader.request(ReloadScope::auth), LIMIT));
  ASSERT_FALSE(errors().empty());
  for (const auto& error : errors()) {
    EXPECT_THAT(error, StartsWith("Auth reload error: zz.yaml"));
  }
  const std::size_t from_watcher = errors().size();

  // A SIGHUP: its own words, and the aliases reload whatever the auth outcome.
  ASSERT_TRUE(reloader.wait_for(reloader.request(ReloadScope::all), LIMIT));
  ASSERT_EQ(errors().size(), 2 * from_watcher);
  EXPECT_THAT(errors().back(), StartsWith("Auth reload: zz.yaml"));
  EXPECT_EQ(infos_with("Alias configuration reloaded successfully"), 1U);
  EXPECT_FALSE(config.get_health_status().is_current);

  fs::remove(auth_dir() / "zz.yaml");
  ASSERT_TRUE(reloader.wait_for(reloader.request(ReloadScope::auth), LIMIT));
  EXPECT_TRUE(config.get_health_status().is_current);
}

TEST_F(ReloaderTest, AFailedOrThrowingPullKeepsTheOldTable) {
  puller.then([] { return Messages{"Cannot pull image 'x' for alias 'first': gone"}; });
  puller.then([]() -> Messages { throw std::runtime_error("disk on fire"); });
  puller.then([]() -> Messages { throw 42; });
  Reloader reloader(config, auth, puller);
  for (int i = 1; i <= 4; ++i) {
    write("a.yaml", alias_yaml("first", "echo v" + std::to_string(i)));
    ASSERT_TRUE(reloader.wait_for(reloader.request(ReloadScope::aliases), LIMIT));
    EXPECT_EQ(config.get_health_status().is_current, i == 4);
    EXPECT_EQ(command_of("first"), i < 4 ? "echo 1" : "echo v4");
  }
  EXPECT_EQ(errors(),
            (Messages{"Alias reload error: Cannot pull image 'x' for alias 'first': gone",
                      "Alias reload error: disk on fire", "Alias reload error: unknown error"}));
}

// Through the real puller: no engine listens on the socket, so the prefetch
// of the new image fails and the old table stays.
TEST_F(ReloaderTest, EnginePullErrorsKeepTheOldTable) {
  const char* old_host = std::getenv("DOCKER_HOST");
  const std::string saved = old_host ? old_host : "";
  ::setenv("DOCKER_HOST", ("unix://" + (tmp.path() / "no-engine.sock").string()).c_str(), 1);
  load_config({{"PrefetchImage", "on-config-change"}});
  write("c.yaml", "box: {type: container, image: 'busybox:test'}\n");
  {
    Reloader reloader(config, auth);
    EXPECT_TRUE(reloader.wait_for(reloader.request(ReloadScope::aliases), LIMIT));
  }
  if (old_host != nullptr) {
    ::setenv("DOCKER_HOST", saved.c_str(), 1);
  } else {
    ::unsetenv("DOCKER_HOST");
  }
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_THAT(errors()[0],
              StartsWith("Alias reload error: Cannot pull image 'busybox:test' for alias 'box': "));
  EXPECT_EQ(config.get_alias("box"), nullptr);
  EXPECT_NE(config.get_alias("first"), nullptr);
}

TEST_F(ReloaderTest, StopStartsNoFurtherReloadAndReleasesItsWaiters) {
  puller.hold_first();
  Reloader reloader(config, auth, puller);
  const auto running = reloader.request(ReloadScope::aliases);
  ASSERT_TRUE(puller.wait_held());
  const auto queued = reloader.request(ReloadScope::all);
  reloader.stop();
  reloader.stop();
  puller.release();
  EXPECT_TRUE(reloader.wait(running));
  EXPECT_FALSE(reloader.wait(queued));
  EXPECT_EQ(puller.calls(), 1);
  EXPECT_EQ(infos_with("Auth configuration reloaded successfully"), 0U);
}

// What a reload of the aliases does by itself: load, pull, publish.
class AliasReloadTest : public ReloaderTest {
 protected:
  Messages reload() { return detail::reload_aliases(config, puller); }
};

TEST_F(AliasReloadTest, FailedReloadKeepsTheWholeOldTable) {
  const auto snapshot = config.get_all_aliases();
  write("a.yaml", alias_yaml("first", "echo changed"));
  write("b.yaml", "second: [broken\n");
  const auto errors = reload();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("b.yaml: invalid YAML: "));
  EXPECT_EQ(command_of("first"), "echo 1");
  EXPECT_EQ(command_of("second"), "echo 2");
  EXPECT_EQ(puller.calls(), 0);

  write("b.yaml", alias_yaml("third", "echo 3"));
  EXPECT_THAT(reload(), IsEmpty());
  EXPECT_EQ(config.get_alias("second"), nullptr);
  EXPECT_EQ(command_of("first"), "echo changed");
  // A list handed out earlier is a snapshot.
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[1]->at("name"), "second");
}

TEST_F(AliasReloadTest, RefusedCommandNamesTheAliasAndKeepsTheOldTable) {
  write("b.yaml",
        "second: {type: process, command: \"echo # {{ n }}\", parameters: {n: {type: integer}}}\n");
  EXPECT_THAT(reload(),
              ElementsAre("b.yaml: alias 'second': command inserts parameter 'n' in a comment; it "
                          "cannot be quoted there"));
  EXPECT_EQ(command_of("second"), "echo 2");
}

TEST_F(AliasReloadTest, IoErrorLeavesTheTableInstalled) {
  fs::create_directories(tmp.path() / "alias.d" / "sub.yml");
  EXPECT_THROW(reload(), std::system_error);
  EXPECT_NE(config.get_alias("first"), nullptr);
}

TEST_F(AliasReloadTest, ReadersAlwaysSeeOneCompleteTable) {
  std::atomic<bool> done = false;
  std::atomic<int> torn = 0;
  std::thread reader([&] {
    while (!done) {
      const auto all = config.get_all_aliases();
      // Every installed table holds "first" and "second" together.
      if (all.size() != 2 || config.get_alias("first") == nullptr) {
        ++torn;
      }
    }
  });
  for (int i = 0; i < 50; ++i) {
    write("a.yaml", alias_yaml("first", "echo " + std::to_string(i)));
    EXPECT_THAT(reload(), IsEmpty());
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(command_of("first"), "echo 49");
}

}  // namespace
}  // namespace velquin::watcher
