#include "velquin/startup.h"

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "api/api.h"
#include "api/internal.h"
#include "auth/auth.h"
#include "config/config.h"
#include "docker/docker.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "metrics/metrics.h"
#include "scratch/scratch.h"
#include "velquin/check.h"
#include "velquin/cli.h"
#include "velquin/container_checks.h"
#include "velquin/daemon.h"
#include "velquin/signals.h"
#include "velquin/systemd.h"
#include "velquin/tls_check.h"
#include "watcher/reloader.h"
#include "watcher/watcher.h"

namespace velquin::app {
namespace {

// Logs every entry, prints it with "ERROR: " and ends the start-up.
[[noreturn]] void fatal(const std::vector<std::string>& errors) {
  for (const auto& err : errors) {
    logger::error(err);
    std::cerr << "ERROR: " << err << "\n";
  }
  std::cerr.flush();
  std::exit(1);
}

void fatal_if_any(const std::vector<std::string>& errors) {
  if (!errors.empty()) {
    fatal(errors);
  }
}

std::string count_text(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Which run limits process runs get here; a definition asking for one they
// cannot get still loads, with a warning now and on every reload.
void warn_about_run_limits(const config::Config& cfg) {
  logger::info(executor::run_limits_in_force());
  config::set_alias_warnings([](const alias::Alias& def) {
    std::vector<std::string> warnings;
    if (def.type() == alias::Type::process) {
      for (const auto& key : executor::unapplied_process_limits(def.limits)) {
        warnings.push_back("limits." + key +
                           " needs a cgroup with its controller, which runs do not get here; "
                           "runs go without it");
      }
    }
    return warnings;
  });
  alias::RunLimits defaults;
  defaults.pids = cfg.settings()->default_pids_limit;
  if (!executor::unapplied_process_limits(defaults).empty()) {
    logger::warning("DefaultPidsLimit needs a cgroup with its controller, which runs do not get "
                    "here; process runs go without it");
  }
  for (const auto& def : cfg.get_all_aliases()) {
    for (const auto& warning : config::alias_warnings(*def)) {
      logger::warning("Alias '" + def->name + "': " + warning);
    }
  }
}

// How runs are contained, and what a killed instance left behind: its runs'
// processes and the run directories no live instance holds.
void set_up_run_containment(const config::Config& cfg) {
  fatal_if_any(executor::set_up_run_containment(cfg.get_text("RunContainment")));
  logger::info("Run containment: " + executor::run_containment_name());
  warn_about_run_limits(cfg);
  std::string shared_dir = cfg.get_text("SharedDir");
  if (shared_dir.empty()) {
    shared_dir = "/tmp/velquin";
  }
  const std::size_t runs = executor::end_abandoned_runs();
  const std::size_t dirs = scratch::remove_abandoned(shared_dir);
  logger::info("Clean-up after stopped instances: " +
               count_text(runs, "leftover run ended", "leftover runs ended") + ", " +
               count_text(dirs, "run directory removed", "run directories removed"));
}

// STATUS= with the runs in flight, when that number changes; ends with the process.
void start_status_updates(Notifier& notifier) {
  if (!notifier.enabled()) {
    return;
  }
  std::thread([&notifier] {
    std::int64_t shown = 0;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      const std::int64_t now = metrics::runs_in_flight();
      if (now != shown && notifier.status("Serving: " + std::to_string(now) + " runs in flight")) {
        shown = now;
      }
    }
  }).detach();
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

void reconfigure_logging(const config::Config& cfg) {
  logger::setup_logging(detail::logging_options(cfg));
}

}  // namespace

namespace detail {

logger::LoggingOptions logging_options(const config::Config& cfg) {
  logger::LoggingOptions options;
  options.log_level = cfg.get_text("LogLevel");
  auto spec = config::parse_app_log(cfg.get_text("AppLog"));
  options.app_log_path = spec.path.value_or("/var/log/velquin/app.log");
  options.app_log_level = spec.level;
  options.app_log_format = spec.format;
  options.audit_log_path = cfg.get_text("AuditLog");
  return options;
}

std::optional<std::string> missing_config_warning(const std::string& config_path, bool is_default) {
  if (is_default && !file_exists(config_path)) {
    return "Config file not found: " + config_path + ". Starting with default settings.";
  }
  return std::nullopt;
}

}  // namespace detail

int run(int argc, char** argv) {
  using namespace detail;

  // Before any thread exists (curl keeps global state).
  docker::global_init();
  ::signal(SIGPIPE, SIG_IGN);

  // 1-2: command line.
  auto parsed = parse_command_line(argc, argv);
  if (!parsed.command_line) {
    return parsed.exit_code;
  }
  const CommandLine& cl = *parsed.command_line;
  if (cl.check) {
    return check_configuration(cl);
  }
  metrics::set_process_info(std::chrono::system_clock::now(), VERSION);
  // Before any thread: both take their variables out of the environment.
  Notifier notifier = Notifier::from_environment();
  const int listen_fd = take_listen_fd();
  bool config_is_default = !cl.config.has_value();
  std::string config_path = cl.config.value_or(std::string(config::detail::DEFAULT_CONFIG));

  // 3: an explicitly named file must exist.
  if (!config_is_default && !file_exists(config_path)) {
    std::string message = "Configuration file not found: " + config_path;
    std::cerr << "ERROR: " << message << "\n";
    log_pre_init_error(message);
    return 1;
  }

  // 4: warn now, log again once logging exists.
  auto startup_warning = missing_config_warning(config_path, config_is_default);
  if (startup_warning) {
    std::cerr << "WARNING: " << *startup_warning << "\n";
  }

  // 5-6: settings.
  auto overrides = build_overrides(cl);
  // Built in start order and handed on by reference from here.
  config::Config cfg;
  try {
    cfg.load(config_path, overrides.empty() ? std::nullopt : std::optional(overrides));
  } catch (const config::ConfigError& e) {
    for (const auto& err : e.errors) {
      std::cerr << "CONFIG ERROR: " << err << "\n";
    }
    return 1;
  }

  // 7-10: logging.
  try {
    reconfigure_logging(cfg);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
  logger::info("Velquin version " + VERSION + " starting");
  logger::info(container_mode_description(cfg.get("Container")));
  if (startup_warning) {
    logger::warning(*startup_warning);
  }

  // 11-12: authentication.
  auth::Auth authn(cfg.get_text("AuthDir"));
  fatal_if_any(authn.load_auth_config());
  if (authn.users_empty() && authn.public_keys_empty() && authn.webhooks_empty()) {
    fatal({"No authentication configured: no users and no JWT public keys found in " +
           cfg.get_text("AuthDir") + ". At least one form of authentication is required."});
  }

  // 13-15: aliases.
  auto [aliases, alias_errors] = cfg.load_aliases();
  fatal_if_any(alias_errors);
  cfg.apply_aliases(aliases);
  auto all_aliases = cfg.get_all_aliases();
  if (all_aliases.empty()) {
    fatal({"No aliases configured in " + cfg.get_text("AliasDir") +
           ". At least one alias is required."});
  }

  // 16-18: container environment and start-up pulls.
  if (auto warning =
          external_dir_startup_warning(cfg.get("Container"), cfg.get_text("ExternalDir"))) {
    logger::warning(*warning);
  }
  fatal_if_any(validate_docker_socket(cfg.get("Container"), all_aliases));
  fatal_if_any(run_startup_image_pull(all_aliases, cfg.get_text("RefreshImage"),
                                      cfg.get_text("PrefetchImage")));

  // 19: TLS material.
  if (cfg.get_bool("SslEnabled")) {
    fatal_if_any(validate_ssl(cfg.get_text("SslCert"), cfg.get_text("SslKey")));
  }

  set_up_run_containment(cfg);

  // 20: detach.
  if (cl.daemon) {
    daemonize();
    executor::run_containment_after_fork();
  }
  // From here on signals are only received through the serving loop.
  block_handled_signals();

  // 21-23: the reloader and the watcher that feeds it, PID file, start-up record.
  watcher::Reloader reloader(cfg, authn);
  watcher::ConfigWatcher config_watcher(reloader);
  config_watcher.start(cfg);
  std::string pid_path = cfg.get_text("PidFile");
  write_pid(pid_path);
  register_pid_removal(pid_path);
  cfg.record_startup_success();

  // 24-25: handlers, then serve on this thread.
  executor::Executor runner;
  const api::DefaultServices services(cfg, authn, runner);
  api::API server(services.services());
  auto on_sigterm_signal = [&](int signum) {
    on_sigterm(signum, config_watcher, server, notifier);
  };
  server.set_signal_handlers({{SIGHUP, [&](int) { on_sighup(reloader, notifier); }},
                              {SIGTERM, on_sigterm_signal},
                              {SIGINT, on_sigterm_signal}});
  server.set_listen_fd(listen_fd);
  server.set_on_listening([&notifier] {
    notifier.send("READY=1\nSTATUS=Serving");
    start_status_updates(notifier);
  });
  try {
    server.start();
  } catch (const std::exception& e) {
    logger::error(std::string("Server failed: ") + e.what());
    std::cerr << "ERROR: " << e.what() << "\n";
    std::cerr.flush();
    // Request threads may still run: leave without static destructors.
    std::quick_exit(1);
  }

  // 27.
  executor::release_run_containment();
  logger::info("Velquin shutdown complete");
  std::quick_exit(0);
}

}  // namespace velquin::app
