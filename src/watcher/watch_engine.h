#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "watcher/dir_snapshot.h"
#include "watcher/inotify_observer.h"
#include "watcher/reloader.h"

namespace velquin::watcher::detail {

// One watched directory and what to reload when it changed. `label` starts
// every message about it ("Auth", "Alias").
struct WatchTarget {
  std::string label;
  std::string dir;
  std::int64_t interval = 0;  // seconds; 0 switches the directory off
  ReloadScope scope = ReloadScope::aliases;
};

// The change detection proper: it only asks for reloads, which run elsewhere,
// so that neither of its threads ever waits for one.
class WatchEngine {
 public:
  // Without OS events only polling runs, as on a system without inotify.
  explicit WatchEngine(ReloadRequests& reloads, bool os_events = true)
      : reloads_(reloads), os_events_(os_events) {}
  ~WatchEngine();
  WatchEngine(const WatchEngine&) = delete;
  WatchEngine& operator=(const WatchEngine&) = delete;

  // Snapshots both enabled directories, starts the inotify observer and the
  // polling thread, and returns. Does nothing once started or stopped.
  void start(WatchTarget auth, WatchTarget alias);
  // Idempotent, safe before start. When it returns, no thread of the watcher
  // runs and no further reload is asked for.
  void stop();

  // From any thread: stop() has begun.
  bool stop_requested() const { return stopping(); }
  // For the thread that starts and stops the engine.
  bool observing() const;  // the inotify observer runs
  bool polling() const;    // the polling thread runs

 private:
  // One directory: its target and the change detector that both mechanisms share.
  struct Watched {
    WatchTarget target;
    std::mutex lock;     // guards mtimes and the change decision only
    DirSnapshot mtimes;  // guarded by lock
    bool enabled() const { return target.interval != 0; }
  };

  void start_observer();
  void on_events(Watched& watched, const std::vector<FileEvent>& events);
  void poll_loop();
  // Detects a change under the directory's lock; asks for the reload outside it.
  void check(Watched& watched, const std::function<std::string()>& message);
  bool stopping() const { return stopping_.load(); }

  ReloadRequests& reloads_;
  const bool os_events_;
  std::mutex lifecycle_lock_;  // serialises start and stop
  bool started_ = false;       // guarded by lifecycle_lock_

  // The stop event: set under stop_lock_ so the polling thread's wait never misses it.
  std::mutex stop_lock_;
  std::condition_variable stop_cv_;
  std::atomic<bool> stopping_{false};

  Watched auth_;
  Watched alias_;
  std::unique_ptr<InotifyObserver> observer_;  // null when not started or failed
  std::thread thread_;                         // the polling thread
};

}  // namespace velquin::watcher::detail
