#pragma once

// Module-private pieces of the HTTP front end, shared with its tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/http_server.h"
#include "auth/auth.h"
#include "config/config.h"
#include "logger/logger.h"
#include "validator/validator.h"

namespace velquin::api {

using json = nlohmann::ordered_json;

namespace detail {
inline constexpr std::string_view CODE_SUCCESS = "success";
inline constexpr std::string_view CODE_AUTH_FAILED = "auth_failed";
inline constexpr std::string_view CODE_ALIAS_NOT_PERMITTED = "alias_not_permitted";
inline constexpr std::string_view CODE_INVALID_REQUEST = "invalid_request";
inline constexpr std::string_view CODE_ALIAS_NOT_FOUND = "alias_not_found";
inline constexpr std::string_view CODE_ENDPOINT_NOT_ENABLED = "endpoint_not_enabled";
inline constexpr std::string_view CODE_INVALID_PARAMETERS = "invalid_parameters";
inline constexpr std::string_view CODE_EXECUTION_TIMEOUT = "execution_timeout";
inline constexpr std::string_view CODE_PROCESSING_FAILED = "processing_failed";
inline constexpr std::string_view CODE_EXECUTION_FAILED = "execution_failed";
inline constexpr std::string_view CODE_SERVICE_UNAVAILABLE = "service_unavailable";
}  // namespace detail

// Everything the front end asks of other modules. The default set calls the
// objects that start-up built; tests hand in fakes.
struct Services {
  std::function<std::string(std::string_view)> get_text;
  std::function<std::int64_t(std::string_view)> get_int;
  std::function<bool(std::string_view)> get_bool;
  std::function<std::optional<auth::AuthResult>(const auth::RequestCredentials&)> authenticate;
  std::function<config::AliasDefPtr(std::string_view)> get_alias;
  std::function<std::vector<std::string>(const json& params, const json& alias_cfg)>
      validate_parameters;
  std::function<json(const std::string& alias_name, const json& params)> execute_alias;
  std::function<validator::ExitStatus(const json* exit_code_map,
                                      std::optional<std::int64_t> returncode)>
      resolve_exit_status;
  std::function<config::HealthStatus()> get_health_status;
  std::function<void()> reopen_logs;
  std::function<void(const logger::AuditRecord&)> write_audit;
  // GET /internal/metrics, and the count of every answered request.
  std::function<std::string()> render_metrics;
  std::string metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";
  std::function<void(int status, std::string_view app_code)> record_request = [](int, std::string_view) {};
  ServerLimits limits;
};

Services default_services(const auth::Auth& authn);

// One per request: filled by the before-hook and the handlers, read by the
// audit hook, dropped after teardown.
struct RequestContext {
  std::string correlation_id;  // empty until the before-hook set it
  std::chrono::steady_clock::time_point start_time;
  std::string user_id = "-";
  std::string alias_name = "-";
  std::string app_code{detail::CODE_SERVICE_UNAVAILABLE};
  bool tracked = false;
  logger::AuditValue pid;
  logger::AuditValue exit_code;
  logger::AuditValue container_id;
  logger::AuditValue image_id;
};

// A source token against an execution result; never fails on a missing entry.
std::string _resolve_source(std::string_view source, const json& result);

// The 200 answer that the alias's output template builds from the result.
Response _build_response(const json& alias_cfg, const json& result);

// "Listening on" detail of a PEM certificate: ", CN=..., SAN=..., expires
// YYYY-MM-DD", as far as it can be read (empty when not at all).
std::string describe_certificate(const std::string& cert_path);

}  // namespace velquin::api
