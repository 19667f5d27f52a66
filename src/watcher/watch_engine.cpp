#include "watcher/watch_engine.h"

#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <utility>

#include "logger/logger.h"

namespace velquin::watcher::detail {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel keeps 15 bytes of a thread name; prctl truncates where
// pthread_setname_np would refuse the whole name.
constexpr const char* POLL_THREAD_NAME = "velquin-config-watcher";

// An interval as a duration without overflowing for absurdly large settings.
Clock::duration interval_of(std::int64_t seconds) {
  constexpr std::int64_t max_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count();
  if (seconds >= max_seconds) {
    return Clock::duration::max();
  }
  return std::chrono::seconds(seconds);
}

}  // namespace

WatchEngine::~WatchEngine() {
  stop();
}

void WatchEngine::start(WatchTarget auth, WatchTarget alias) {
  std::lock_guard lifecycle(lifecycle_lock_);
  if (started_ || stopping()) {
    return;  // a watcher runs once; a stopped one is not restarted
  }
  started_ = true;

  if (auth.interval == 0 && alias.interval == 0) {
    logger::info("Config auto-reload disabled (AuthReload=0, AliasReload=0)");
    return;
  }
  const std::string started_message =
      "Config watcher started (AuthReload=" + std::to_string(auth.interval) +
      "s, AliasReload=" + std::to_string(alias.interval) + "s)";
  auth_.target = std::move(auth);
  alias_.target = std::move(alias);

  // Baselines: what is there now is already loaded.
  for (Watched* watched : {&auth_, &alias_}) {
    if (watched->enabled()) {
      std::lock_guard lock(watched->lock);
      watched->mtimes = take_snapshot(watched->target.dir);
    }
  }

  start_observer();
  try {
    thread_ = std::thread([this] { poll_loop(); });
  } catch (...) {
    if (observer_) {
      observer_->stop();
      observer_.reset();
    }
    throw;
  }
  logger::info(started_message);
}

void WatchEngine::start_observer() {
  auto observer = std::make_unique<InotifyObserver>();
  int err = os_events_ ? observer->open() : ENOSYS;
  if (err == ENOSYS) {
    logger::warning("watchdog not available; using periodic polling only");
    return;
  }
  for (Watched* watched : {&auth_, &alias_}) {
    if (err == 0 && watched->enabled()) {
      err = observer->schedule(
          watched->target.dir,
          [this, watched](const std::vector<FileEvent>& events) { on_events(*watched, events); });
    }
  }
  // The kernel reports its watch limit as a full disk; say what it means.
  std::string failure =
      err == ENOSPC ? "inotify watch limit reached (fs.inotify.max_user_watches)" : std::string();
  if (err == 0) {
    err = observer->start();
  }
  if (err != 0) {
    if (failure.empty()) {
      failure = std::generic_category().message(err);
    }
    logger::warning("OS file watcher failed to start (" + failure +
                    "); using periodic polling only");
    return;
  }
  observer_ = std::move(observer);
  logger::info("OS file watcher started (watchdog)");
}

void WatchEngine::stop() {
  std::lock_guard lifecycle(lifecycle_lock_);
  {
    std::lock_guard lock(stop_lock_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (observer_) {
    observer_->stop();
    observer_.reset();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool WatchEngine::observing() const {
  return observer_ != nullptr;
}

bool WatchEngine::polling() const {
  return thread_.joinable();
}

void WatchEngine::on_events(Watched& watched, const std::vector<FileEvent>& events) {
  // Every event of a batch happened before the snapshot that the first one
  // takes, so one check covers the whole batch.
  for (const FileEvent& event : events) {
    if (event.overflow || (!event.is_directory && is_yaml_name(event.src_path))) {
      try {
        check(watched, [&] { return watched.target.label + " file event: " + event.src_path; });
      } catch (const std::exception& e) {
        logger::error("Config watcher error: " + std::string(e.what()));
      }
      return;
    }
  }
}

void WatchEngine::poll_loop() {
  ::prctl(PR_SET_NAME, POLL_THREAD_NAME);
  const Clock::time_point begin = Clock::now();
  Clock::time_point last_auth = begin;
  Clock::time_point last_alias = begin;
  for (;;) {
    {
      std::unique_lock lock(stop_lock_);
      if (stop_cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping(); })) {
        return;
      }
    }
    const Clock::time_point now = Clock::now();
    for (const auto& entry : {std::pair{&auth_, &last_auth}, std::pair{&alias_, &last_alias}}) {
      // Not a structured binding: clang before 16 cannot capture one in a lambda.
      auto* watched = entry.first;
      auto* last = entry.second;
      if (!watched->enabled() || now - *last < interval_of(watched->target.interval)) {
        continue;
      }
      try {
        check(*watched, [watched] {
          return watched->target.label + " directory change detected (periodic check), reloading";
        });
      } catch (const std::exception& e) {
        logger::error("Config watcher error: " + std::string(e.what()));
      }
      *last = now;
    }
  }
}

void WatchEngine::check(Watched& watched, const std::function<std::string()>& message) {
  bool changed = false;
  {
    std::lock_guard lock(watched.lock);
    changed = detect_change(watched.target.dir, watched.mtimes);
  }
  if (!changed || stopping()) {
    return;
  }
  logger::info(message());
  reloads_.request(watched.target.scope);
}

}  // namespace velquin::watcher::detail
