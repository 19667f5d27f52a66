#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace velquin::config {
class Config;
}
namespace velquin::auth {
class Auth;
}

namespace velquin::watcher {

// Keeps AuthDir and AliasDir in step: inotify events plus polling every
// AuthReload / AliasReload seconds, one change detector per directory.
class ConfigWatcher {
 public:
  ConfigWatcher();
  ~ConfigWatcher();
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  void start(config::Config& config_instance, auth::Auth& auth_instance);
  // Idempotent; safe before start.
  void stop();

  static bool _is_yaml(std::string_view path);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process-wide watcher.
ConfigWatcher& config_watcher();

}  // namespace velquin::watcher
