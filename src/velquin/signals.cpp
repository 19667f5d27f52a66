#include "velquin/signals.h"

#include <signal.h>

#include <exception>
#include <string>
#include <thread>

#include "api/api.h"
#include "logger/logger.h"
#include "metrics/metrics.h"
#include "velquin/systemd.h"
#include "watcher/reloader.h"
#include "watcher/watcher.h"

namespace velquin::app {

void block_handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

namespace detail {

void on_sighup(watcher::Reloader& reloader, Notifier& notifier) {
  logger::info("SIGHUP received — reopening log files and reloading configuration");
  notifier.reloading();
  try {
    logger::reopen_logs();
  } catch (const std::exception& e) {
    logger::error(std::string("Log reopen failed: ") + e.what());
  }
  const auto ticket = reloader.request(watcher::ReloadScope::all);
  if (notifier.enabled()) {
    notifier.reload_requested(ticket);
    // The serving thread must not wait for a reload that may pull images.
    std::thread([&reloader, &notifier, ticket] {
      if (reloader.wait(ticket)) {
        notifier.reloaded(ticket);
      }
    }).detach();
  }
}

void do_shutdown(api::API& api) {
  try {
    api.lame_duck();
    api.graceful_shutdown();
  } catch (const std::exception& e) {
    logger::error(std::string("Graceful shutdown error: ") + e.what());
  } catch (...) {
    logger::error("Graceful shutdown error: unknown error");
  }
}

void on_sigterm(int signum, watcher::ConfigWatcher& config_watcher, api::API& api,
                Notifier& notifier) {
  std::string name = signum == SIGINT ? "SIGINT (Ctrl-C)" : "SIGTERM";
  logger::info(name + " received — initiating graceful shutdown");
  notifier.stopping("Stopping: " + std::to_string(metrics::runs_in_flight()) + " runs in flight");
  config_watcher.stop();
  // The drain starts now, whatever the reloader is doing: a reload still
  // pulling when the drain ends is cut off by the exit.
  std::thread([&api] { do_shutdown(api); }).detach();
}

}  // namespace detail
}  // namespace velquin::app
