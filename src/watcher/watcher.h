#pragma once

#include <memory>

#include "watcher/reloader.h"

namespace velquin::config {
class Config;
}

namespace velquin::watcher {

namespace detail {
class WatchEngine;
}

// Keeps AuthDir and AliasDir in step: inotify events plus polling every
// AuthReload / AliasReload seconds, one change detector per directory. A
// change is handed to the reloader; the watcher never reloads itself.
class ConfigWatcher {
 public:
  explicit ConfigWatcher(ReloadRequests& reloads);
  ~ConfigWatcher();
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  // Reads the four settings once: a changed interval takes a restart.
  void start(const config::Config& config);
  // Idempotent; safe before start. Quick: no reload is waited for.
  void stop();

 private:
  std::unique_ptr<detail::WatchEngine> engine_;
};

}  // namespace velquin::watcher
