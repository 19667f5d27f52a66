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

namespace velquin::watcher::detail {

// One watched directory and what to do when it changed. `label` starts every
// message about it ("Auth", "Alias").
struct WatchTarget {
  std::string label;
  std::string dir;
  std::int64_t interval = 0;                         // seconds; 0 switches the directory off
  std::function<std::vector<std::string>()> reload;  // error texts; may throw
  std::function<void(bool)> record;                  // true when the reload had no errors
};

// The watcher proper, free of the configuration and authentication objects so
// that it can be driven with any reload.
class WatchEngine {
 public:
  // Without OS events only polling runs, as on a system without inotify.
  explicit WatchEngine(bool os_events = true) : os_events_(os_events) {}
  ~WatchEngine();
  WatchEngine(const WatchEngine&) = delete;
  WatchEngine& operator=(const WatchEngine&) = delete;

  // Snapshots both enabled directories, starts the inotify observer and the
  // polling thread, and returns. Does nothing once started or stopped.
  void start(WatchTarget auth, WatchTarget alias);
  // Idempotent, safe before start. When it returns, no thread of the watcher
  // runs and no reload starts any more.
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
    std::mutex lock;     // guards mtimes and the change decision only, never a reload
    DirSnapshot mtimes;  // guarded by lock
    bool enabled() const { return target.interval != 0; }
  };

  void start_observer();
  void on_events(Watched& watched, const std::vector<FileEvent>& events);
  void poll_loop();
  // Detects a change under the directory's lock; reloads outside it.
  void check(Watched& watched, const std::function<std::string()>& message);
  void reload(Watched& watched);
  bool stopping() const { return stopping_.load(); }

  const bool os_events_;
  std::mutex lifecycle_lock_;  // serialises start and stop
  bool started_ = false;       // guarded by lifecycle_lock_

  // The stop event: set under stop_lock_ so the polling thread's wait never misses it.
  std::mutex stop_lock_;
  std::condition_variable stop_cv_;
  std::atomic<bool> stopping_{false};

  Watched _auth;
  Watched _alias;
  std::unique_ptr<InotifyObserver> _observer;  // null when not started or failed
  std::thread _thread;                         // the polling thread
};

}  // namespace velquin::watcher::detail
