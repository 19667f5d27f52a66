#include "watcher/watch_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logger/testing.h"
#include "support/temp_dir.h"
#include "watch_test_util.h"

namespace velquin::watcher::detail {
namespace {

namespace fs = std::filesystem;
using logger::Level;
using namespace watcher::testing;
using Messages = std::vector<std::string>;

constexpr std::int64_t EVENTS_ONLY = 3600;  // polling never comes round during a test

// Stands in for the reloader: keeps the requests in order, and can run a
// hook inside each one.
class Requests final : public ReloadRequests {
 public:
  std::function<void()> during_request;  // set before start

  Ticket request(ReloadScope scope) override {
    if (during_request) {
      during_request();
    }
    std::lock_guard lock(mutex_);
    scopes_.push_back(scope);
    return scopes_.size();
  }
  std::size_t count(ReloadScope scope) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(scopes_.begin(), scopes_.end(), scope));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ReloadScope> scopes_;  // guarded by mutex_
};

constexpr ReloadScope AUTH = ReloadScope::auth;
constexpr ReloadScope ALIAS = ReloadScope::aliases;

class WatchEngineTest : public ::testing::Test {
 protected:
  WatchEngineTest() {
    fs::create_directories(auth_dir);
    fs::create_directories(alias_dir);
    write_file(auth_dir / "users.yaml", "users: {}\n");
    write_file(alias_dir / "a.yaml", "echo: {}\n");
    set_mtime(alias_dir / "a.yaml", 1'000'000);
  }
  static WatchTarget target(ReloadScope scope, const fs::path& dir, std::int64_t interval) {
    return {scope == AUTH ? "Auth" : "Alias", dir.string(), interval, scope};
  }
  void start(WatchEngine& engine, std::int64_t auth_interval, std::int64_t alias_interval) {
    engine.start(target(AUTH, auth_dir, auth_interval), target(ALIAS, alias_dir, alias_interval));
  }
  Messages infos() const { return capture.messages(Level::info); }

  velquin::testing::TempDir tmp;
  fs::path auth_dir = tmp.path() / "auth.d";
  fs::path alias_dir = tmp.path() / "alias.d";
  Requests requests;
  logger::LogCapture capture;
};

TEST_F(WatchEngineTest, BothIntervalsZeroStartNothingAndStopStillWorks) {
  WatchEngine engine(requests);
  start(engine, 0, 0);
  EXPECT_EQ(capture.records(),
            (std::vector<std::pair<Level, std::string>>{
                {Level::info, "Config auto-reload disabled (AuthReload=0, AliasReload=0)"}}));
  EXPECT_FALSE(engine.polling() || engine.observing());
  engine.stop();
  engine.stop();
}

TEST_F(WatchEngineTest, RunsOnceAndStopEndsEveryThreadAndDescriptor) {
  const std::size_t fds = entries_in("/proc/self/fd");
  {
    WatchEngine engine(requests);
    engine.stop();  // before start: harmless, and the engine stays stopped
    start(engine, 1, 1);
    EXPECT_TRUE(capture.records().empty());
    EXPECT_FALSE(engine.polling() || engine.observing());
  }
  WatchEngine engine(requests);
  start(engine, 1, 7);
  start(engine, 1, 7);  // a second start starts nothing more
  EXPECT_EQ(infos(), (Messages{"OS file watcher started (watchdog)",
                               "Config watcher started (AuthReload=1s, AliasReload=7s)"}));
  // Both threads name themselves once they run; the kernel keeps 15 bytes.
  EXPECT_TRUE(eventually([] {
    return threads_named("velquin-config-") == 1 && threads_named("velquin-inotify") == 1;
  }));
  engine.stop();
  EXPECT_EQ(threads_named("velquin-config-") + threads_named("velquin-inotify"), 0U);
  EXPECT_EQ(entries_in("/proc/self/fd"), fds);
}

TEST_F(WatchEngineTest, StopWaitsForTheRequestInProgressAndMakesNoOther) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  requests.during_request = [&, first = std::make_shared<std::once_flag>()] {
    std::call_once(*first, [&] {
      entered.set_value();
      released.wait();
    });
  };
  WatchEngine engine(requests);
  start(engine, EVENTS_ONLY, EVENTS_ONLY);
  replace_file(alias_dir / "one.yaml", "x: {}\n");
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);

  replace_file(alias_dir / "two.yaml", "x: {}\n");  // waits behind the request in progress
  std::thread stopper([&] { engine.stop(); });
  const bool stop_began = eventually([&] { return engine.stop_requested(); });
  release.set_value();
  stopper.join();
  ASSERT_TRUE(stop_began);
  EXPECT_EQ(requests.count(ALIAS), 1U);
}

TEST_F(WatchEngineTest, AMissingDirectoryLeavesPollingWhichFindsItsNewFiles) {
  const fs::path later = tmp.path() / "later.d";
  WatchEngine engine(requests);
  engine.start(target(AUTH, auth_dir, 1), target(ALIAS, later, 1));
  EXPECT_EQ(capture.messages(Level::warning),
            Messages{"OS file watcher failed to start (No such file or directory); using "
                     "periodic polling only"});
  EXPECT_FALSE(engine.observing());

  fs::create_directories(later);
  replace_file(later / "extra.yml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 1; }));
  EXPECT_EQ(
      count_containing(infos(), "Alias directory change detected (periodic check), reloading"), 1U);
  EXPECT_EQ(requests.count(AUTH), 0U);
}

// A directory switched off is neither observed (it may be missing without
// harm) nor polled.
class OneDirectoryOff : public WatchEngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OneDirectoryOff, IsNeitherObservedNorPolled) {
  const bool auth_off = GetParam();
  const fs::path off_dir = tmp.path() / "off.d";
  const fs::path on_dir = auth_off ? alias_dir : auth_dir;
  const ReloadScope off = auth_off ? AUTH : ALIAS;
  const ReloadScope on = auth_off ? ALIAS : AUTH;
  WatchEngine engine(requests);
  engine.start(target(AUTH, auth_off ? off_dir : auth_dir, auth_off ? 0 : 1),
               target(ALIAS, auth_off ? alias_dir : off_dir, auth_off ? 1 : 0));
  EXPECT_TRUE(engine.observing());

  fs::create_directories(off_dir);
  replace_file(off_dir / "new.yaml", "x: {}\n");
  // Two reloads of the other directory: a whole polling round has passed since.
  for (std::size_t n : {1U, 2U}) {
    replace_file(on_dir / ("f" + std::to_string(n) + ".yaml"), "x: {}\n");
    ASSERT_TRUE(eventually([&] { return requests.count(on) == n; }));
  }
  EXPECT_EQ(requests.count(off), 0U);
  EXPECT_EQ(count_containing(infos(), auth_off ? "Auth " : "Alias "), 0U);
}

INSTANTIATE_TEST_SUITE_P(Intervals, OneDirectoryOff, ::testing::Bool());

// The same behaviour whichever mechanism notices the change.
struct MechanismCase {
  const char* name;
  bool os_events;
  std::int64_t interval;
  const char* trigger;  // the message before a reload, after the label
};

class Mechanism : public WatchEngineTest, public ::testing::WithParamInterface<MechanismCase> {
 protected:
  void SetUp() override { start(engine_, GetParam().interval, GetParam().interval); }
  std::size_t triggers(const std::string& label) const {
    return count_containing(infos(), label + " " + GetParam().trigger);
  }
  WatchEngine engine_{requests, GetParam().os_events};
};

TEST_P(Mechanism, TouchingAFileReloadsOnceAndOtherFilesNever) {
  write_file(alias_dir / "notes.txt", "not an alias\n");
  set_mtime(alias_dir / "a.yaml", 2'000'000);
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 1; }));
  engine_.stop();
  EXPECT_EQ(requests.count(ALIAS), 1U);
  EXPECT_EQ(triggers("Alias"), 1U);
  EXPECT_EQ(count_containing(infos(), "notes.txt"), 0U);
  EXPECT_EQ(requests.count(AUTH), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Both, Mechanism,
    ::testing::Values(MechanismCase{"file_events", true, EVENTS_ONLY, "file event: "},
                      MechanismCase{"polling", false, 1,
                                    "directory change detected (periodic check), reloading"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class FileEvents : public WatchEngineTest {
 protected:
  Messages event_messages() const {
    Messages out;
    for (const std::string& message : infos()) {
      if (message.find(" file event: ") != std::string::npos) {
        out.push_back(message);
      }
    }
    return out;
  }
  WatchEngine engine_{requests};
};

TEST_F(FileEvents, ASaveWithManyEventsReloadsOnce) {
  const fs::path sentinel = alias_dir / "sentinel.yml";
  std::atomic<bool> sentinel_seen{false};
  requests.during_request = [&] { sentinel_seen = sentinel_seen || fs::exists(sentinel); };
  start(engine_, EVENTS_ONLY, EVENTS_ONLY);

  // Write aside, rename into place, then close-after-write events that change nothing.
  write_file(alias_dir / ".a.yaml.swp", "echo: {type: process}\n");
  fs::rename(alias_dir / ".a.yaml.swp", alias_dir / "a.yaml");
  for (int i = 0; i < 3; ++i) {
    ::close(::open((alias_dir / "a.yaml").c_str(), O_WRONLY | O_CLOEXEC));
  }
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 1; }));
  // Events come in order: once the sentinel is reloaded, the save's are done.
  replace_file(sentinel, "x: {}\n");
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) >= 2; }));
  engine_.stop();
  EXPECT_TRUE(sentinel_seen);
  EXPECT_EQ(requests.count(ALIAS), 2U);
}

// Editors save by renaming onto the YAML name, so a move counts by the YAML
// name on either side; a directory's own events never count.
TEST_F(FileEvents, MovesCountByEitherNameAndDirectoriesNever) {
  start(engine_, EVENTS_ONLY, EVENTS_ONLY);
  write_file(alias_dir / "new.tmp", "x: {}\n");
  fs::rename(alias_dir / "new.tmp", alias_dir / "new.yaml");
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 1U; }));
  fs::rename(alias_dir / "a.yaml", alias_dir / "a.yaml.bak");
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 2U; }));
  fs::create_directory(alias_dir / "sub.yaml");
  replace_file(alias_dir / "new.yaml", "y: {}\n");
  ASSERT_TRUE(eventually([&] { return requests.count(ALIAS) == 3U; }));
  const std::string prefix = "Alias file event: " + alias_dir.string() + "/";
  EXPECT_EQ(event_messages(),
            (Messages{prefix + "new.yaml", prefix + "a.yaml", prefix + "new.yaml"}));
}

TEST_F(FileEvents, OneDirectoryWatchedForBothReloadsBoth) {
  engine_.start(target(AUTH, alias_dir, EVENTS_ONLY), target(ALIAS, alias_dir, EVENTS_ONLY));
  replace_file(alias_dir / "shared.yaml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return requests.count(AUTH) == 1 && requests.count(ALIAS) == 1; }));
  EXPECT_EQ(count_containing(event_messages(), "Auth file event: "), 1U);
  EXPECT_EQ(count_containing(event_messages(), "Alias file event: "), 1U);
}

}  // namespace
}  // namespace velquin::watcher::detail
