#pragma once

// Module-private pieces of the HTTP front end, shared with its tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"
#include "api/http_server.h"
#include "auth/auth.h"
#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"

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

// What the front end asks of the rest of the service. The process wires in
// the real objects (DefaultServices); tests hand in fakes.

// Aliases by name. A request looks its alias up once and keeps that
// definition to its answer, whatever reloads do meanwhile.
class AliasSource {
 public:
  virtual ~AliasSource() = default;
  virtual alias::AliasPtr get_alias(std::string_view name) const = 0;
};

class Authenticator {
 public:
  virtual ~Authenticator() = default;
  // nullopt when the caller is not authenticated.
  virtual std::optional<auth::AuthResult>
  authenticate_request(const auth::RequestCredentials& credentials) const = 0;
  // Signed deliveries from webhook senders; none unless overridden.
  virtual bool webhook_may_sign(const auth::HeaderLookup& /*header*/,
                                std::string_view /*alias_name*/) const {
    return false;
  }
  virtual auth::WebhookVerdict verify_webhook(const auth::HeaderLookup& /*header*/,
                                              std::string_view /*body*/) const {
    return {};
  }
  virtual bool record_delivery(const std::string& /*delivery_key*/) const { return true; }
};

// Runs an alias: the executor.
class Runner {
 public:
  virtual ~Runner() = default;
  virtual executor::RunResult execute_alias(const alias::Alias& alias_def, const json& params,
                                            const executor::RunContext& context) = 0;
};

// The rest of the hosting service: settings, the health record, the log files.
class Host {
 public:
  virtual ~Host() = default;
  virtual std::shared_ptr<const config::Settings> settings() const = 0;
  virtual config::HealthStatus get_health_status() const = 0;
  virtual void reopen_logs() = 0;
  virtual void write_audit(const logger::AuditRecord& record) = 0;
};

// References to the collaborators, which outlive the API.
struct Services {
  Host& host;
  const AliasSource& aliases;
  const Authenticator& authenticator;
  Runner& runner;
  ServerLimits limits = {};
};

// The objects of the other modules behind the interfaces above. It must
// outlive every API that uses its services.
class DefaultServices {
 public:
  DefaultServices(config::Config& cfg, const auth::Auth& authn, executor::Executor& runner);
  ~DefaultServices();
  DefaultServices(const DefaultServices&) = delete;
  DefaultServices& operator=(const DefaultServices&) = delete;
  Services services() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

// One per request: filled by the before-hook and the handlers, read by the
// audit hook, dropped after teardown. It also holds what the request took
// once and keeps to its answer: the settings and the alias definition.
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
  std::shared_ptr<const config::Settings> settings;
  alias::AliasPtr alias_def;  // none when the alias does not exist
  // A webhook delivery: authenticated only once its body is in.
  bool webhook_pending = false;
  std::string delivery_key;  // recorded once the run is admitted
};

namespace detail {

// An event alias's parameters: each from its JSON pointer into the body, its
// header, or else its top-level member; every other member is left out.
json event_parameters(const alias::Alias& alias_def, const json& body,
                      const auth::HeaderLookup& header);

// A source of the output template against a run's result; never fails on a
// missing entry.
std::string resolve_source(const alias::OutputSource& source, const executor::RunResult& result);

// The 200 answer that the alias's output template builds from the result.
Response build_response(const alias::Alias& alias_def, const executor::RunResult& result);

// The answer of a `stream` alias: `run` executes it with the given live
// output, `conclude` turns its result into the answer a buffered run would
// get. Output goes out as Server-Sent Events when `events`, else as chunked
// text/plain stdout with the outcome in trailers. A run that never started
// its child is answered by `conclude` alone.
Response live_response(bool events, std::function<executor::RunResult(executor::LiveOutput*)> run,
                       std::function<Response(const executor::RunResult&)> conclude);

}  // namespace detail

// "Listening on" detail of a PEM certificate: ", CN=..., SAN=..., expires
// YYYY-MM-DD", as far as it can be read (empty when not at all).
std::string describe_certificate(const std::string& cert_path);

}  // namespace velquin::api
