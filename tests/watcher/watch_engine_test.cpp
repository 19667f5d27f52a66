#include "watcher/watch_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
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
using logger::LogCapture;
using velquin::testing::TempDir;
using watcher::testing::count_containing;
using watcher::testing::eventually;
using watcher::testing::fd_count;
using watcher::testing::replace_file;
using watcher::testing::set_mtime;
using watcher::testing::thread_count;
using watcher::testing::write_file;

// Long enough that polling never runs during a test: only file events count.
constexpr std::int64_t EVENTS_ONLY = 3600;

// Stands in for one reload: counts calls, replays scripted outcomes, and
// keeps what was recorded.
class Probe {
 public:
  using Step = std::function<std::vector<std::string>()>;

  void then(Step step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
  }
  // Runs inside every reload, before its outcome.
  void during_reload(std::function<void()> hook) { hook_ = std::move(hook); }

  WatchTarget target(std::string label, const fs::path& dir, std::int64_t interval) {
    return WatchTarget{std::move(label), dir.string(), interval,
                       [this] { return reload(); },
                       [this](bool ok) {
                         std::lock_guard lock(mutex_);
                         records_.push_back(ok);
                       }};
  }
  int reloads() const {
    std::lock_guard lock(mutex_);
    return reloads_;
  }
  std::vector<bool> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::size_t record_count() const { return records().size(); }

 private:
  std::vector<std::string> reload() {
    Step step;
    {
      std::lock_guard lock(mutex_);
      ++reloads_;
      if (!script_.empty()) {
        step = std::move(script_.front());
        script_.pop_front();
      }
    }
    if (hook_) {
      hook_();
    }
    return step ? step() : std::vector<std::string>{};
  }

  mutable std::mutex mutex_;
  int reloads_ = 0;
  std::vector<bool> records_;
  std::deque<Step> script_;
  std::function<void()> hook_;
};

class WatchEngineTest : public ::testing::Test {
 protected:
  WatchEngineTest() {
    fs::create_directories(auth_dir);
    fs::create_directories(alias_dir);
    write_file(auth_dir / "users.yaml", "users: {}\n");
    write_file(alias_dir / "a.yaml", "echo: {}\n");
    set_mtime(alias_dir / "a.yaml", 1'000'000);
  }

  std::vector<std::string> infos() const { return capture.messages(Level::info); }
  std::vector<std::string> warnings() const { return capture.messages(Level::warning); }
  std::vector<std::string> errors() const { return capture.messages(Level::error); }

  TempDir tmp;
  fs::path auth_dir = tmp.path() / "auth.d";
  fs::path alias_dir = tmp.path() / "alias.d";
  Probe auth;
  Probe alias;
  LogCapture capture;
};

TEST_F(WatchEngineTest, BothIntervalsZeroOnlyReportsDisabled) {
  const std::size_t threads = thread_count();
  WatchEngine engine;
  engine.start(auth.target("Auth", auth_dir, 0), alias.target("Alias", alias_dir, 0));

  EXPECT_EQ(capture.records(),
            (std::vector<std::pair<Level, std::string>>{
                {Level::info, "Config auto-reload disabled (AuthReload=0, AliasReload=0)"}}));
  EXPECT_FALSE(engine.polling());
  EXPECT_FALSE(engine.observing());
  EXPECT_EQ(thread_count(), threads);
  engine.stop();
  engine.stop();
}

TEST_F(WatchEngineTest, StopBeforeStartIsHarmlessAndAStoppedEngineStaysStopped) {
  const std::size_t threads = thread_count();
  WatchEngine engine;
  engine.stop();
  engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 1));
  EXPECT_TRUE(capture.records().empty());
  EXPECT_FALSE(engine.polling());
  EXPECT_EQ(thread_count(), threads);
}

TEST_F(WatchEngineTest, StartReportsObserverThenIntervals) {
  WatchEngine engine;
  engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 7));
  EXPECT_TRUE(engine.observing());
  EXPECT_TRUE(engine.polling());
  EXPECT_EQ(infos(), (std::vector<std::string>{
                         "OS file watcher started (watchdog)",
                         "Config watcher started (AuthReload=1s, AliasReload=7s)"}));
  // A second start must not start a second set of threads.
  const std::size_t threads = thread_count();
  engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 7));
  EXPECT_EQ(thread_count(), threads);
}

TEST_F(WatchEngineTest, StopEndsEveryThreadAndClosesEveryDescriptor) {
  const std::size_t threads = thread_count();
  const std::size_t fds = fd_count();
  {
    WatchEngine engine;
    engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 1));
    EXPECT_EQ(thread_count(), threads + 2);
    engine.stop();
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(fd_count(), fds);
    engine.stop();
  }
  {
    // The destructor stops a running engine too.
    WatchEngine engine;
    engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 1));
  }
  EXPECT_EQ(thread_count(), threads);
  EXPECT_EQ(fd_count(), fds);
}

TEST_F(WatchEngineTest, StopWaitsForTheRunningReloadAndStartsNoOther) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  alias.during_reload([&] {
    if (calls++ == 0) {
      entered.set_value();
      released.wait();
    }
  });
  WatchEngine engine;
  engine.start(auth.target("Auth", auth_dir, EVENTS_ONLY),
               alias.target("Alias", alias_dir, EVENTS_ONLY));
  replace_file(alias_dir / "one.yaml", "x: {}\n");
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);

  // A second change waits behind the running reload when stop() begins.
  replace_file(alias_dir / "two.yaml", "x: {}\n");
  std::thread stopper([&] { engine.stop(); });
  const bool stop_began = eventually([&] { return engine.stop_requested(); });
  release.set_value();
  stopper.join();
  ASSERT_TRUE(stop_began);
  EXPECT_EQ(alias.reloads(), 1);
  EXPECT_EQ(alias.records(), std::vector<bool>{true});
}

TEST_F(WatchEngineTest, MissingDirectoryFallsBackToPollingAndStillFindsNewFiles) {
  const fs::path missing = tmp.path() / "later.d";
  WatchEngine engine;
  engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", missing, 1));

  EXPECT_EQ(warnings(), (std::vector<std::string>{"OS file watcher failed to start (No such file "
                                                  "or directory); using periodic polling only"}));
  EXPECT_FALSE(engine.observing());
  ASSERT_TRUE(engine.polling());
  EXPECT_EQ(infos(), (std::vector<std::string>{
                         "Config watcher started (AuthReload=1s, AliasReload=1s)"}));

  fs::create_directories(missing);
  replace_file(missing / "extra.yml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  EXPECT_EQ(count_containing(infos(),
                             "Alias directory change detected (periodic check), reloading"),
            1U);
  EXPECT_EQ(auth.reloads(), 0);
}

TEST_F(WatchEngineTest, WithoutOsEventsOnlyPollingRuns) {
  WatchEngine engine(false);
  engine.start(auth.target("Auth", auth_dir, 1), alias.target("Alias", alias_dir, 1));
  EXPECT_EQ(warnings(),
            (std::vector<std::string>{"watchdog not available; using periodic polling only"}));
  EXPECT_FALSE(engine.observing());
  EXPECT_TRUE(engine.polling());
}

// One directory switched off: it is neither observed nor polled.
struct OneOffCase {
  const char* name;
  std::int64_t auth_interval;
  std::int64_t alias_interval;
};

class OneDirectoryOff : public WatchEngineTest, public ::testing::WithParamInterface<OneOffCase> {};

TEST_P(OneDirectoryOff, TheOffDirectoryIsNeitherObservedNorPolled) {
  const bool auth_off = GetParam().auth_interval == 0;
  const fs::path off_dir = tmp.path() / "off.d";  // missing: observing it would fail
  const fs::path on_dir = auth_off ? alias_dir : auth_dir;
  Probe& off = auth_off ? auth : alias;
  Probe& on = auth_off ? alias : auth;

  WatchEngine engine;
  engine.start(auth.target("Auth", auth_off ? off_dir : auth_dir, GetParam().auth_interval),
               alias.target("Alias", auth_off ? alias_dir : off_dir, GetParam().alias_interval));
  EXPECT_TRUE(engine.observing());
  EXPECT_TRUE(engine.polling());

  fs::create_directories(off_dir);
  replace_file(off_dir / "new.yaml", "x: {}\n");
  // Two reloads of the other directory: a full polling round has passed since.
  replace_file(on_dir / "one.yaml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return on.record_count() == 1; }));
  replace_file(on_dir / "two.yaml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return on.record_count() == 2; }));
  EXPECT_EQ(off.reloads(), 0);
  EXPECT_EQ(count_containing(infos(), auth_off ? "Auth " : "Alias "), 0U);
}

INSTANTIATE_TEST_SUITE_P(Intervals, OneDirectoryOff,
                         ::testing::Values(OneOffCase{"auth_off", 0, 1},
                                           OneOffCase{"alias_off", 1, 0}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The same behaviour whichever mechanism notices the change.
struct MechanismCase {
  const char* name;
  bool os_events;
  std::int64_t interval;
  const char* trigger;  // what the message that precedes a reload starts with
};

class Mechanism : public WatchEngineTest, public ::testing::WithParamInterface<MechanismCase> {
 protected:
  void start() {
    engine_ = std::make_unique<WatchEngine>(GetParam().os_events);
    engine_->start(auth.target("Auth", auth_dir, GetParam().interval),
                   alias.target("Alias", alias_dir, GetParam().interval));
  }
  std::size_t triggers(const std::string& label) const {
    const std::string prefix = label + " " + GetParam().trigger;
    std::size_t n = 0;
    for (const std::string& message : infos()) {
      n += message.starts_with(prefix) ? 1 : 0;
    }
    return n;
  }

  std::unique_ptr<WatchEngine> engine_;
};

TEST_P(Mechanism, TouchingAFileReloadsOnce) {
  start();
  set_mtime(alias_dir / "a.yaml", 2'000'000);
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  engine_->stop();
  EXPECT_EQ(alias.reloads(), 1);
  EXPECT_EQ(triggers("Alias"), 1U);
  EXPECT_EQ(count_containing(infos(), "Alias configuration reloaded successfully"), 1U);
  EXPECT_EQ(alias.records(), std::vector<bool>{true});
  EXPECT_EQ(auth.reloads(), 0);
}

TEST_P(Mechanism, OtherFilesAreIgnoredAndANewYamlFileIsReloaded) {
  start();
  write_file(alias_dir / "notes.txt", "not an alias\n");
  replace_file(alias_dir / "extra.yml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  engine_->stop();
  EXPECT_EQ(alias.reloads(), 1);
  EXPECT_EQ(count_containing(infos(), "notes.txt"), 0U);
}

TEST_P(Mechanism, DeletingTheLastFileReloads) {
  start();
  fs::remove(alias_dir / "a.yaml");
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  EXPECT_EQ(triggers("Alias"), 1U);
}

TEST_P(Mechanism, ReportedErrorsAreLoggedInOrderAndRecordedAsFailure) {
  alias.then([] { return std::vector<std::string>{"a.yaml: first", "b.yaml: second"}; });
  start();
  set_mtime(alias_dir / "a.yaml", 2'000'000);
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  EXPECT_EQ(errors(), (std::vector<std::string>{"Alias reload error: a.yaml: first",
                                                "Alias reload error: b.yaml: second"}));
  EXPECT_EQ(count_containing(infos(), "reloaded successfully"), 0U);

  // The watcher carries on; the next change succeeds.
  set_mtime(alias_dir / "a.yaml", 3'000'000);
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 2; }));
  EXPECT_EQ(alias.records(), (std::vector<bool>{false, true}));
}

TEST_P(Mechanism, AReloadThatThrowsIsAFailedReloadAndTheWatcherCarriesOn) {
  auth.then([]() -> std::vector<std::string> { throw std::runtime_error("disk on fire"); });
  auth.then([]() -> std::vector<std::string> { throw 42; });
  start();
  replace_file(auth_dir / "users.yaml", "users: {bob: {}}\n");
  ASSERT_TRUE(eventually([&] { return auth.record_count() == 1; }));
  EXPECT_EQ(errors(), std::vector<std::string>{"Auth reload error: disk on fire"});

  replace_file(auth_dir / "more.yml", "users: {}\n");
  ASSERT_TRUE(eventually([&] { return auth.record_count() == 2; }));
  replace_file(auth_dir / "last.yml", "users: {}\n");
  ASSERT_TRUE(eventually([&] { return auth.record_count() == 3; }));
  EXPECT_EQ(auth.records(), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(errors(), (std::vector<std::string>{"Auth reload error: disk on fire",
                                                "Auth reload error: unknown error"}));
  EXPECT_EQ(count_containing(infos(), "Auth configuration reloaded successfully"), 1U);
  EXPECT_EQ(alias.reloads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Both, Mechanism,
    ::testing::Values(MechanismCase{"file_events", true, EVENTS_ONLY, "file event: "},
                      MechanismCase{"polling", false, 1,
                                    "directory change detected (periodic check), reloading"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class FileEvents : public WatchEngineTest {
 protected:
  void start() {
    engine_.start(auth.target("Auth", auth_dir, EVENTS_ONLY),
                  alias.target("Alias", alias_dir, EVENTS_ONLY));
    ASSERT_TRUE(engine_.observing());
  }
  std::vector<std::string> event_messages() const {
    std::vector<std::string> out;
    for (const std::string& message : infos()) {
      if (message.find(" file event: ") != std::string::npos) {
        out.push_back(message);
      }
    }
    return out;
  }

  WatchEngine engine_;
};

TEST_F(FileEvents, ASaveWithManyEventsReloadsOnce) {
  const fs::path sentinel = alias_dir / "sentinel.yml";
  bool sentinel_seen = false;  // written by the reload, read after its record
  alias.during_reload([&] { sentinel_seen = sentinel_seen || fs::exists(sentinel); });
  start();

  // An editor's save: write aside, rename into place; then a few more
  // close-after-write events that change nothing.
  write_file(alias_dir / ".a.yaml.swp", "echo: {type: process}\n");
  fs::rename(alias_dir / ".a.yaml.swp", alias_dir / "a.yaml");
  for (int i = 0; i < 3; ++i) {
    ::close(::open((alias_dir / "a.yaml").c_str(), O_WRONLY | O_CLOEXEC));
  }
  ASSERT_TRUE(eventually([&] { return alias.record_count() >= 1; }));
  // Events come in order: once the sentinel's reload ran, every event of the
  // save has been handled.
  replace_file(sentinel, "x: {}\n");
  ASSERT_TRUE(eventually([&] { return alias.record_count() >= 2; }));
  engine_.stop();
  EXPECT_TRUE(sentinel_seen);
  EXPECT_EQ(alias.reloads(), 2);
}

// Editors save by renaming a temporary file onto the YAML name, so a move
// onto a YAML name counts as an event of that name.
TEST_F(FileEvents, MovesCountByTheYamlNameOnEitherSide) {
  start();
  write_file(alias_dir / "new.tmp", "x: {}\n");
  fs::rename(alias_dir / "new.tmp", alias_dir / "new.yaml");
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  fs::rename(alias_dir / "a.yaml", alias_dir / "a.yaml.bak");
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 2; }));
  EXPECT_EQ(event_messages(),
            (std::vector<std::string>{"Alias file event: " + (alias_dir / "new.yaml").string(),
                                      "Alias file event: " + (alias_dir / "a.yaml").string()}));
}

TEST_F(FileEvents, DirectoryEventsAreIgnored) {
  start();
  fs::create_directory(alias_dir / "sub.yaml");
  set_mtime(alias_dir / "a.yaml", 2'000'000);
  ASSERT_TRUE(eventually([&] { return alias.record_count() == 1; }));
  // The directory's own event was skipped; the file's event found both changes.
  EXPECT_EQ(event_messages(),
            std::vector<std::string>{"Alias file event: " + (alias_dir / "a.yaml").string()});
}

TEST_F(FileEvents, OneDirectoryForBothReloadsBoth) {
  engine_.start(auth.target("Auth", alias_dir, EVENTS_ONLY),
                alias.target("Alias", alias_dir, EVENTS_ONLY));
  ASSERT_TRUE(engine_.observing());
  replace_file(alias_dir / "shared.yaml", "x: {}\n");
  ASSERT_TRUE(eventually([&] { return auth.record_count() == 1 && alias.record_count() == 1; }));
  EXPECT_EQ(count_containing(event_messages(), "Auth file event: "), 1U);
  EXPECT_EQ(count_containing(event_messages(), "Alias file event: "), 1U);
}

}  // namespace
}  // namespace velquin::watcher::detail
