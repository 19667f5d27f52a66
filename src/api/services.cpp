// The front end wired to the objects of the other modules. Kept apart from
// api.cpp so that tests with fakes link without those modules.

#include "api/internal.h"

#include <chrono>
#include "auth/auth.h"
#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "metrics/metrics.h"
#include "support/scope_exit.h"
#include "validator/validator.h"

namespace velquin::api {

Services default_services(const auth::Auth& authn) {
  Services s;
  s.get_text = [](std::string_view key) { return config::config().get_text(key); };
  s.get_int = [](std::string_view key) { return config::config().get_int(key); };
  s.get_bool = [](std::string_view key) { return config::config().get_bool(key); };
  s.authenticate = [&authn](const auth::RequestCredentials& credentials) {
    return authn.authenticate_request(credentials);
  };
  s.get_alias = [](std::string_view name) { return config::config().get_alias(name); };
  s.validate_parameters = [](const json& params, const json& alias_cfg) {
    return validator::validate_parameters(params, alias_cfg);
  };
  s.execute_alias = [](const std::string& alias_name, const json& params) {
    // Labelled with the loaded definition's name, so only loaded aliases make series.
    const config::AliasDefPtr alias = config::config().get_alias(alias_name);
    const std::string label =
        alias && alias->contains("name") && (*alias)["name"].is_string() ? (*alias)["name"].get<std::string>() : "";
    metrics::run_started();
    const auto started = std::chrono::steady_clock::now();
    support::ScopeExit finished(
        [&] { metrics::run_finished(label, std::chrono::steady_clock::now() - started); });
    return executor::executor().execute_alias(alias_name, &params);
  };
  s.resolve_exit_status = [](const json* exit_code_map, std::optional<std::int64_t> returncode) {
    return validator::resolve_exit_status(exit_code_map, returncode);
  };
  s.get_health_status = [] { return config::config().get_health_status(); };
  s.reopen_logs = [] { logger::reopen_logs(); };
  s.write_audit = [](const logger::AuditRecord& record) { logger::write_audit(record); };
  s.render_metrics = [] { return metrics::render(); };
  s.metrics_content_type = metrics::CONTENT_TYPE;
  s.record_request = [](int status, std::string_view app_code) {
    metrics::record_request(status, app_code);
  };
  return s;
}

}  // namespace velquin::api
