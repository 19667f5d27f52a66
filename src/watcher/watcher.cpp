#include "watcher/watcher.h"

#include <string>
#include <utility>

#include "auth/auth.h"
#include "config/config.h"
#include "watcher/dir_snapshot.h"
#include "watcher/watch_engine.h"

namespace velquin::watcher {

struct ConfigWatcher::Impl {
  config::Config* _config = nullptr;
  auth::Auth* _auth = nullptr;
  detail::WatchEngine engine;
};

ConfigWatcher::ConfigWatcher() : impl_(std::make_unique<Impl>()) {}

ConfigWatcher::~ConfigWatcher() {
  stop();
}

void ConfigWatcher::start(config::Config& config_instance, auth::Auth& auth_instance) {
  impl_->_config = &config_instance;
  impl_->_auth = &auth_instance;
  // Settings are read once: a changed interval takes a restart, like every setting.
  // The authentication data is reloaded from the directory that is watched,
  // which is the AuthDir of the configuration we were handed.
  const std::string auth_dir = config_instance.get_text("AuthDir");
  detail::WatchTarget auth_target{
      "Auth", auth_dir, config_instance.get_int("AuthReload"),
      [&auth_instance, auth_dir] { return auth_instance.load_auth_config_from(auth_dir); },
      [&config_instance](bool ok) { config_instance.record_auth_reload(ok); }};
  detail::WatchTarget alias_target{
      "Alias", config_instance.get_text("AliasDir"), config_instance.get_int("AliasReload"),
      [&config_instance] { return config_instance.reload_aliases(); },
      [&config_instance](bool ok) { config_instance.record_alias_reload(ok); }};
  impl_->engine.start(std::move(auth_target), std::move(alias_target));
}

void ConfigWatcher::stop() {
  impl_->engine.stop();
}

bool ConfigWatcher::_is_yaml(std::string_view path) {
  return detail::is_yaml_name(path);
}

ConfigWatcher& config_watcher() {
  // Built after the objects it reloads, so that at exit it is destroyed, and
  // its threads joined, before them.
  static ConfigWatcher& instance = []() -> ConfigWatcher& {
    config::config();
    auth::auth();
    static ConfigWatcher watcher;
    return watcher;
  }();
  return instance;
}

}  // namespace velquin::watcher
