#include "velquin/signals.h"

#include <signal.h>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "api/api.h"
#include "auth/auth.h"
#include "config/config.h"
#include "logger/logger.h"
#include "watcher/watcher.h"

namespace velquin::app {

void _do_reload(config::Config& config_instance, auth::Auth& auth_instance) {
  std::vector<std::string> auth_errs;
  try {
    auth_errs = auth_instance.load_auth_config();
  } catch (const std::exception& e) {
    auth_errs = {e.what()};
  }
  if (!auth_errs.empty()) {
    for (const auto& err : auth_errs) {
      logger::error("Auth reload: " + err);
    }
  } else {
    logger::info("Auth configuration reloaded successfully");
  }
  config_instance.record_auth_reload(auth_errs.empty());

  std::vector<std::string> alias_errs;
  try {
    alias_errs = config_instance.reload_aliases();
  } catch (const std::exception& e) {
    alias_errs = {e.what()};
  }
  if (!alias_errs.empty()) {
    for (const auto& err : alias_errs) {
      logger::error("Alias reload: " + err);
    }
  } else {
    logger::info("Alias configuration reloaded successfully");
  }
  config_instance.record_alias_reload(alias_errs.empty());
}

void _on_sighup(int /*signum*/) {
  logger::info("SIGHUP received — reopening log files and reloading configuration");
  try {
    logger::reopen_logs();
  } catch (const std::exception& e) {
    logger::error(std::string("Log reopen failed: ") + e.what());
  }
  _do_reload(config::config(), auth::auth());
}

void _do_shutdown() {
  try {
    api::api().graceful_shutdown();
  } catch (const std::exception& e) {
    logger::error(std::string("Graceful shutdown error: ") + e.what());
  }
}

void _on_sigterm(int signum) {
  std::string name = signum == SIGINT ? "SIGINT (Ctrl-C)" : "SIGTERM";
  logger::info(name + " received — initiating graceful shutdown");
  watcher::config_watcher().stop();
  std::thread(_do_shutdown).detach();
}

void block_handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace velquin::app
