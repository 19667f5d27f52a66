#include "velquin/check.h"

#include <cstddef>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "auth/auth.h"
#include "config/config.h"
#include "logger/logger.h"
#include "velquin/container_checks.h"
#include "velquin/startup.h"
#include "velquin/tls_check.h"

namespace velquin::app {
namespace {

std::string count_text(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void append(std::vector<std::string>& to, const std::vector<std::string>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

int check_configuration(const CommandLine& command_line) {
  const bool config_is_default = !command_line.config.has_value();
  const std::string config_path =
      command_line.config.value_or(std::string(config::detail::DEFAULT_CONFIG));

  // Unlike the start-up, nothing goes to the application log: the check writes nothing.
  std::error_code ec;
  if (!config_is_default && !std::filesystem::exists(config_path, ec)) {
    std::cerr << "ERROR: Configuration file not found: " << config_path << "\n";
    return 1;
  }
  if (auto warning = detail::missing_config_warning(config_path, config_is_default)) {
    std::cerr << "WARNING: " << *warning << "\n";
  }

  // A configuration object of its own: the process-wide one stays untouched.
  config::Config cfg;
  const auto overrides = build_overrides(command_line);
  try {
    cfg.load(config_path, overrides.empty() ? std::nullopt : std::optional(overrides));
  } catch (const config::ConfigError& e) {
    for (const auto& err : e.errors) {
      std::cerr << "CONFIG ERROR: " << err << "\n";
    }
    return 1;
  }

  // Unlike the start-up, every later check runs even after one has failed, so
  // that one run shows everything to fix.
  std::vector<std::string> errors;
  try {
    logger::check_logging_options(detail::logging_options(cfg));
  } catch (const std::exception& e) {
    errors.emplace_back(e.what());
  }

  auth::Auth authn(cfg.get_text("AuthDir"));
  const auto auth_errors = authn.load_auth_config();
  append(errors, auth_errors);
  if (auth_errors.empty() && authn.users_empty() && authn.public_keys_empty() &&
      authn.webhooks_empty()) {
    errors.push_back("No authentication configured: no users and no JWT public keys found in " +
                     cfg.get_text("AuthDir") +
                     ". At least one form of authentication is required.");
  }

  std::size_t alias_count = 0;
  try {
    auto [aliases, alias_errors] = cfg.load_aliases();
    append(errors, alias_errors);
    if (alias_errors.empty()) {
      alias_count = aliases->size();
      if (aliases->empty()) {
        errors.push_back("No aliases configured in " + cfg.get_text("AliasDir") +
                         ". At least one alias is required.");
      }
      append(errors, detail::validate_docker_socket(cfg.get("Container"), aliases->definitions()));
    }
  } catch (const std::exception& e) {
    errors.emplace_back(e.what());
  }

  if (cfg.get_bool("SslEnabled")) {
    append(errors, detail::validate_ssl(cfg.get_text("SslCert"), cfg.get_text("SslKey")));
  }

  if (!errors.empty()) {
    for (const auto& err : errors) {
      std::cerr << "ERROR: " << err << "\n";
    }
    return 1;
  }
  std::cout << "configuration OK: " << count_text(authn.user_count(), "user", "users") << ", "
            << count_text(authn.public_key_count(), "JWT key", "JWT keys") << ", "
            << count_text(alias_count, "alias", "aliases") << "\n";
  return 0;
}

}  // namespace velquin::app
