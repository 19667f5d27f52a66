#pragma once

#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/fd.h"

namespace velquin::watcher::detail {

// One file-system event. `src_path` is the directory joined with the entry's
// name; for a lost-event overflow it is the directory itself.
struct FileEvent {
  bool is_directory = false;
  bool overflow = false;  // the kernel dropped events: anything may have changed
  std::string src_path;
};

// Gets the events of one directory that arrived together, in order. Runs on
// the observer's thread.
using EventHandler = std::function<void(const std::vector<FileEvent>&)>;

// Non-recursive inotify watches on a few directories, delivered on one thread
// of its own. Each setup step returns 0 or the errno of its failure.
class InotifyObserver {
 public:
  InotifyObserver() = default;
  ~InotifyObserver();
  InotifyObserver(const InotifyObserver&) = delete;
  InotifyObserver& operator=(const InotifyObserver&) = delete;

  int open();
  // Before start only. Scheduling one directory twice (or through two names)
  // is fine: the kernel gives both the same watch and both handlers run.
  int schedule(const std::string& dir, EventHandler handler);
  int start();
  // Idempotent. Waits for the thread, so no handler runs once it returns.
  void stop();

 private:
  struct Watch {
    std::string dir;
    EventHandler handler;
  };

  void run();
  // Returns false when the descriptor broke and the thread should end.
  bool drain();

  support::UniqueFd inotify_fd_;
  support::UniqueFd stop_fd_;  // eventfd: written once by stop()
  std::unordered_map<int, std::vector<Watch>>
      watches_;  // by watch descriptor; owned by the thread once started
  std::thread thread_;
};

}  // namespace velquin::watcher::detail
