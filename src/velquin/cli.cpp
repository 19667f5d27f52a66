#include "velquin/cli.h"

#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "velquin_version.h"

namespace velquin::app {

const std::string VERSION = VELQUIN_VERSION;

namespace detail {
const std::vector<CliKey> CLI_TO_KEY = {
    {"pid_file", "PidFile"},
    {"auth_dir", "AuthDir"},
    {"alias_dir", "AliasDir"},
    {"shared_dir", "SharedDir"},
    {"external_dir", "ExternalDir"},
    {"listen_address", "ListenAddress"},
    {"listen_port", "ListenPort"},
    {"ssl_enabled", "SslEnabled"},
    {"ssl_cert", "SslCert"},
    {"ssl_key", "SslKey"},
    {"log_level", "LogLevel"},
    {"log_dir", "LogDir"},
    {"audit_log", "AuditLog"},
    {"app_log", "AppLog"},
    {"logs_api_key", "LogsApiKey"},
    {"health_api_key", "HealthApiKey"},
    {"auth_reload", "AuthReload"},
    {"alias_reload", "AliasReload"},
    {"container", "Container"},
    {"max_timeout", "MaxTimeout"},
    {"refresh_image", "RefreshImage"},
    {"prefetch_image", "PrefetchImage"},
    {"run_containment", "RunContainment"},
    {"max_output_size", "MaxOutputSize"},
    {"max_buffered_body_bytes", "MaxBufferedBodyBytes"},
    {"max_concurrent_runs", "MaxConcurrentRuns"},
    {"default_memory_limit", "DefaultMemoryLimit"},
    {"default_pids_limit", "DefaultPidsLimit"},
    {"drain_delay", "DrainDelay"},
};
}  // namespace detail

namespace {

struct OverrideOption {
  std::string_view dest;
  std::string_view metavar;
  std::string_view help;  // empty: "Override <Key> from configuration"
};

// Declaration order is the help order.
const OverrideOption kOverrideOptions[] = {
    {"pid_file", "PATH", ""},
    {"auth_dir", "DIR", ""},
    {"alias_dir", "DIR", ""},
    {"shared_dir", "DIR", ""},
    {"external_dir", "DIR", ""},
    {"listen_address", "ADDR", ""},
    {"listen_port", "PORT", ""},
    {"ssl_enabled", "true|false|1|0", ""},
    {"ssl_cert", "PATH", ""},
    {"ssl_key", "PATH", ""},
    {"log_level", "LEVEL", ""},
    {"log_dir", "DIR", ""},
    {"audit_log", "PATH", ""},
    {"app_log", "SPEC", "Override AppLog from configuration (path [level] [format])"},
    {"logs_api_key", "KEY", ""},
    {"health_api_key", "KEY", ""},
    {"auth_reload", "SECONDS", ""},
    {"alias_reload", "SECONDS", ""},
    {"container", "0|1", "Override Container auto-detection from configuration"},
    {"max_timeout", "SECONDS", ""},
    {"refresh_image", "always|on-start|no", ""},
    {"prefetch_image", "on-start|on-config-change|no", ""},
    {"run_containment", "auto|cgroup|subreaper", ""},
    {"max_output_size", "BYTES", ""},
    {"max_buffered_body_bytes", "BYTES", ""},
    {"max_concurrent_runs", "RUNS", ""},
    {"default_memory_limit", "SIZE", ""},
    {"default_pids_limit", "COUNT", ""},
    {"drain_delay", "SECONDS", ""},
};

std::string option_name(std::string_view dest) {
  std::string name = "--";
  for (char c : dest) {
    name += c == '_' ? '-' : c;
  }
  return name;
}

std::string_view key_of(std::string_view dest) {
  for (const auto& row : detail::CLI_TO_KEY) {
    if (row.dest == dest) {
      return row.key;
    }
  }
  return {};
}

}  // namespace

ParseOutcome parse_command_line(int argc, char** argv) {
  CLI::App app{"Velquin - Secure Execution Gateway", "velquin"};
  bool version = false;
  CommandLine cl;
  std::string config_value;
  std::map<std::string, std::string> values;

  app.add_flag("--version", version, "Print the version and exit");
  auto* config_opt = app.add_option("--config", config_value,
                                    "Configuration file path (default: " +
                                        std::string(config::detail::DEFAULT_CONFIG) + ")")
                         ->type_name("CONFIG");
  app.add_flag("--daemon", cl.daemon, "Detach from the terminal and run as a background daemon");
  app.add_flag("--check", cl.check,
               "Check the configuration, credentials, aliases and TLS material, then exit");
  std::map<std::string, CLI::Option*> options;
  for (const auto& opt : kOverrideOptions) {
    std::string dest(opt.dest);
    std::string help = opt.help.empty()
                           ? "Override " + std::string(key_of(opt.dest)) + " from configuration"
                           : std::string(opt.help);
    options[dest] = app.add_option(option_name(opt.dest), values[dest], help)
                        ->type_name(std::string(opt.metavar))
                        ->expected(1)
                        ->allow_extra_args(false);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return {std::nullopt, 0};
  } catch (const CLI::ParseError& e) {
    std::cerr << "usage: velquin [-h] [--version] [--config CONFIG] [--daemon] [OPTIONS]\n"
              << "velquin: error: " << e.what() << "\n";
    return {std::nullopt, 2};
  }
  if (version) {
    std::cout << "Velquin " << VERSION << "\n";
    return {std::nullopt, 0};
  }
  if (config_opt->count() > 0) {
    cl.config = config_value;
  }
  for (const auto& opt : kOverrideOptions) {
    std::string dest(opt.dest);
    if (options[dest]->count() > 0) {
      cl.given.emplace_back(dest, values[dest]);
    }
  }
  return {cl, 0};
}

config::Overrides build_overrides(const CommandLine& command_line) {
  config::Overrides out;
  for (const auto& row : detail::CLI_TO_KEY) {
    for (const auto& [dest, value] : command_line.given) {
      if (dest == row.dest) {
        out.emplace_back(std::string(row.key), value);
      }
    }
  }
  return out;
}

}  // namespace velquin::app
