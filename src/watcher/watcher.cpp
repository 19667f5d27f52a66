#include "watcher/watcher.h"

#include "config/config.h"
#include "watcher/watch_engine.h"

namespace velquin::watcher {

ConfigWatcher::ConfigWatcher(ReloadRequests& reloads)
    : engine_(std::make_unique<detail::WatchEngine>(reloads)) {}

ConfigWatcher::~ConfigWatcher() {
  stop();
}

void ConfigWatcher::start(const config::Config& config) {
  engine_->start(
      {"Auth", config.get_text("AuthDir"), config.get_int("AuthReload"), ReloadScope::auth},
      {"Alias", config.get_text("AliasDir"), config.get_int("AliasReload"), ReloadScope::aliases});
}

void ConfigWatcher::stop() {
  engine_->stop();
}

}  // namespace velquin::watcher
