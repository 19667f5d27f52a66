#include "api/api.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "api/admission_control.h"
#include "api/drain.h"
#include "api/http_server.h"
#include "api/internal.h"
#include "api/lame_duck.h"
#include "api/params.h"
#include "logger/logger.h"
#include "metrics/metrics.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/text.h"
#include "support/uuid.h"
#include "validator/validator.h"

namespace velquin::api {

namespace {

constexpr std::string_view ROUTE_EXECUTE = "/v1/";
constexpr std::string_view ROUTE_LOGS_REOPEN = "/internal/logs/reopen";
constexpr std::string_view ROUTE_HEALTH = "/internal/health/check";
constexpr std::string_view ROUTE_METRICS = "/internal/metrics";

std::string page(int status, std::string_view title, std::string_view detail) {
  std::string code = std::to_string(status);
  return "<!doctype html>\n<html lang=en>\n<title>" + code + " " + std::string(title) +
         "</title>\n<h1>" + std::string(title) + "</h1>\n<p>" + std::string(detail) + "</p>\n";
}

Response generic_error() {
  return text_response(500, page(500, "Internal Server Error",
                                 "The server encountered an internal error and was unable to "
                                 "complete your request."));
}

Response not_found() {
  return text_response(404,
                       page(404, "Not Found", "The requested URL was not found on the server."));
}

Response method_not_allowed(std::string allow) {
  Response res = text_response(
      405, page(405, "Method Not Allowed", "The method is not allowed for the requested URL."));
  res.headers.emplace_back("Allow", std::move(allow));
  return res;
}

Response too_large() {
  return text_response(413, page(413, "Request Entity Too Large",
                                 "The data value transmitted exceeds the capacity limit."));
}

Response server_busy() {
  Response res = text_response(503, "Server busy");
  res.headers.emplace_back("Retry-After", "1");
  return res;
}

// The alias of "/v1/<alias>": one non-empty path segment.
std::optional<std::string> execute_route(const std::string& path) {
  if (!path.starts_with(ROUTE_EXECUTE)) {
    return std::nullopt;
  }
  std::string alias_name = path.substr(ROUTE_EXECUTE.size());
  if (alias_name.empty() || alias_name.find('/') != std::string::npos) {
    return std::nullopt;
  }
  return alias_name;
}

auth::HeaderLookup header_lookup(const Request& req) {
  return [&req](std::string_view name) -> std::optional<std::string> {
    if (!req.has_header(name)) {
      return std::nullopt;
    }
    return req.header(name);
  };
}

Response auth_failed(RequestContext& ctx, const std::string& alias_name) {
  ctx.user_id = "-";
  ctx.alias_name = "-";
  ctx.pid = ctx.exit_code = ctx.container_id = ctx.image_id = logger::AuditValue{};
  ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
  logger::warning("Authentication failed for alias " + support::quoted(alias_name));
  return text_response(401, "");
}

// The authenticated caller may run the alias, or the 403 that says not.
std::optional<Response> permit(RequestContext& ctx, const auth::AuthResult& who,
                               const std::string& alias_name) {
  ctx.user_id = who.user_id;
  const auto& allowed = who.allowed_aliases;
  ctx.alias_name = alias_name;
  if (std::find(allowed.begin(), allowed.end(), alias_name) == allowed.end()) {
    ctx.app_code = std::string(detail::CODE_ALIAS_NOT_PERMITTED);
    logger::warning("User " + support::quoted(ctx.user_id) + " not permitted to access alias " +
                    support::quoted(alias_name));
    return text_response(403, "");
  }
  return std::nullopt;
}

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      out += separator;
    }
    out += items[i];
  }
  return out;
}

Response errors_response(const std::vector<std::string>& errors) {
  json body = json::object();
  body["errors"] = errors;
  return json_response(400, dump(body));
}

std::string timeout_text(double timeout) {
  if (std::isfinite(timeout) && timeout == std::floor(timeout) && std::fabs(timeout) < 1e15) {
    return std::to_string(static_cast<long long>(timeout));
  }
  return support::number_text(timeout);
}

std::string utc_text(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return {buf, n};
}

}  // namespace

struct API::State {
  // One request from its head to its answer. The request stays counted while
  // anyone holds it: the answer's after_send, or a continuation waiting for the body.
  struct Exchange {
    explicit Exchange(State& s) : state(s) {}
    ~Exchange() { state.track_end(ctx.tracked); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    State& state;
    RequestContext ctx;
  };

  Services services;

  detail::Drain drain;
  detail::RateLimiter rate_limiter;
  detail::RunSlots run_slots;
  detail::LameDuck lame_duck;
  std::function<void()> admission_gate;  // set before serving, for tests only

  std::mutex server_lock;
  std::shared_ptr<HttpServer> server;  // guarded by server_lock
  bool stop_requested = false;         // guarded by server_lock

  std::vector<std::pair<int, std::function<void(int)>>> signal_handlers;
  int listen_fd = -1;
  std::function<void()> on_listening;

  explicit State(Services s) : services(s) {}

  void serve(const std::string& host, std::uint16_t port);
  Admission admit(const Request& head);
  Response finish(const Request& req, std::shared_ptr<Exchange> exchange, Response res);
  std::optional<Response> track_start(RequestContext& ctx);
  void track_end(bool tracked);
  void emit_audit(const Request& req, const RequestContext& ctx, const Response& res);
  Response route(const Request& head, RequestContext& ctx);
  std::optional<Response> admit_caller(const Request& head, RequestContext& ctx,
                                       const std::string& alias_name);
  std::optional<Response> admit_delivery(const Request& req, RequestContext& ctx,
                                         const std::string& alias_name);
  static Response body_refused(const Request& req, RequestContext& ctx);
  Response execute(const Request& req, RequestContext& ctx, const std::string& alias_name);
  static Response conclude(RequestContext& ctx, const std::string& alias_name,
                           const executor::RunResult& result);
  Response internal_health_check(const Request& req, RequestContext& ctx) const;
  Response internal_metrics(const Request& req, RequestContext& ctx) const;
  Response internal_logs_reopen(const Request& req, RequestContext& ctx);
};

std::optional<Response> API::State::track_start(RequestContext& ctx) {
  ctx.correlation_id = support::uuid4();
  ctx.start_time = std::chrono::steady_clock::now();
  ctx.user_id = "-";
  ctx.alias_name = "-";
  ctx.app_code = std::string(detail::CODE_SERVICE_UNAVAILABLE);
  logger::set_correlation_id(ctx.correlation_id);
  if (admission_gate) {
    admission_gate();
  }
  // The shutdown test and the count are one step, so the drain never counts
  // zero while a request it did not see is about to be admitted.
  ctx.tracked = drain.try_admit();
  if (!ctx.tracked) {
    return text_response(503, "Service is shutting down");
  }
  return std::nullopt;
}

void API::State::track_end(bool tracked) {
  logger::set_correlation_id(std::nullopt);
  if (tracked) {
    drain.release();
  }
}

void API::State::emit_audit(const Request& req, const RequestContext& ctx, const Response& res) {
  if (ctx.correlation_id.empty()) {
    return;
  }
  if (req.path.starts_with("/internal/") && res.status < 400) {
    return;
  }
  logger::AuditRecord record;
  record.source = req.remote_address.empty() ? "-" : req.remote_address;
  record.user = ctx.user_id;
  record.alias = ctx.alias_name;
  record.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - ctx.start_time)
                           .count();
  record.status = res.status;
  record.app_code = ctx.app_code;
  record.correlation_id = ctx.correlation_id;
  record.exit_code = ctx.exit_code;
  record.pid = ctx.pid;
  record.container_id = ctx.container_id;
  record.image_id = ctx.image_id;
  services.host.write_audit(record);
}

namespace {

void log_failure(const Request& req, std::string_view what) {
  logger::error("Exception on " + req.path + " [" + req.method + "]: " + std::string(what));
}

}  // namespace

// Everything that needs only the head is decided here, so that a stranger,
// a refusal or a route without a body never costs the memory of a body.
Admission API::State::admit(const Request& head) {
  auto exchange = std::make_shared<Exchange>(*this);
  RequestContext& ctx = exchange->ctx;
  std::optional<std::string> alias_name;
  std::optional<Response> answer;
  try {
    if (auto refused = track_start(ctx)) {
      answer = std::move(*refused);
    } else if (head.rejected_status == 413) {
      answer = too_large();
    } else if ((alias_name = execute_route(head.path)) && head.method == "POST") {
      answer = admit_caller(head, ctx, *alias_name);
    } else {
      answer = route(head, ctx);
    }
  } catch (const std::exception& e) {
    log_failure(head, e.what());
    answer = generic_error();
  } catch (...) {
    log_failure(head, "unknown error");
    answer = generic_error();
  }
  if (answer) {
    return Admission::answer(finish(head, std::move(exchange), std::move(*answer)));
  }
  return Admission::read_body(
      [this, exchange = std::move(exchange), alias_name = *alias_name](const Request& req) mutable {
        Response res;
        try {
          res = req.rejected_status != 0 ? body_refused(req, exchange->ctx)
                                         : execute(req, exchange->ctx, alias_name);
        } catch (const std::exception& e) {
          log_failure(req, e.what());
          res = generic_error();
        } catch (...) {
          log_failure(req, "unknown error");
          res = generic_error();
        }
        return finish(req, std::move(exchange), std::move(res));
      });
}

// The audit record, then the teardown once the answer is on the wire, so
// that the shutdown wait covers both.
Response API::State::finish(const Request& req, std::shared_ptr<Exchange> exchange, Response res) {
  if (res.stream) {
    // Audited once the run is over, with the status of its outcome. The
    // request and the exchange (held by after_send) outlive the producer.
    res.stream = [this, &req, ex = exchange.get(),
                  inner = std::move(res.stream)](BodyStream& body) -> Response {
      Response out;
      try {
        out = inner(body);
      } catch (const std::exception& e) {
        log_failure(req, e.what());
        out = generic_error();
      }
      try {
        emit_audit(req, ex->ctx, out);
      } catch (const std::exception& e) {
        log_failure(req, e.what());
        if (!body.begun()) {
          out = generic_error();
        }
      }
      return out;
    };
    res.after_send = [exchange = std::move(exchange)]() mutable { exchange.reset(); };
    return res;
  }
  try {
    emit_audit(req, exchange->ctx, res);
  } catch (const std::exception& e) {
    log_failure(req, e.what());
    res = generic_error();
  }
  metrics::record_request(res.status, exchange->ctx.app_code);
  res.after_send = [exchange = std::move(exchange)]() mutable { exchange.reset(); };
  return res;
}

// Answers of the routes that never read a body, and of unmatched requests.
Response API::State::route(const Request& head, RequestContext& ctx) {
  const std::string& path = head.path;
  if (path == ROUTE_LOGS_REOPEN) {
    return head.method == "POST" ? internal_logs_reopen(head, ctx) : method_not_allowed("POST");
  }
  if (path == ROUTE_HEALTH) {
    return head.method == "GET" ? internal_health_check(head, ctx) : method_not_allowed("GET");
  }
  if (path == ROUTE_METRICS) {
    return head.method == "GET" ? internal_metrics(head, ctx) : method_not_allowed("GET");
  }
  if (execute_route(path)) {
    return method_not_allowed("POST");
  }
  return not_found();
}

// Who asks, and may they? Checked before anything that would reveal whether
// the alias exists, and before the body is read. Nothing when the caller may
// go on; a refusal closes the connection, leaving the body unread.
std::optional<Response> API::State::admit_caller(const Request& head, RequestContext& ctx,
                                                 const std::string& alias_name) {
  // A signed delivery can only be judged from its body, so it alone may have
  // one read unauthenticated: when a sender allowed this alias signs it.
  if (!head.has_header("Authorization") &&
      services.authenticator.webhook_may_sign(header_lookup(head), alias_name)) {
    ctx.webhook_pending = true;
  } else {
    auto who = services.authenticator.authenticate_request(
        auth::RequestCredentials{head.header("Authorization"), head.remote_address});
    std::optional<Response> refused =
        who ? permit(ctx, *who, alias_name) : auth_failed(ctx, alias_name);
    if (refused) {
      refused->close = true;
      return refused;
    }
    if (auto limited = detail::check_rate(rate_limiter, ctx, *who, alias_name)) {
      return limited;
    }
  }
  // The request's one lookup: the definition it keeps to its answer. A missing
  // alias is answered only after the body, whose errors come first.
  ctx.settings = services.host.settings();
  ctx.alias_def = services.aliases.get_alias(alias_name);
  return std::nullopt;
}

// An admitted request whose body could not be read whole.
Response API::State::body_refused(const Request& req, RequestContext& ctx) {
  switch (req.rejected_status) {
  case 413:
    return too_large();
  case 503:
    ctx.app_code = std::string(detail::CODE_SERVICE_UNAVAILABLE);
    logger::warning("Server busy: the request body for alias " + support::quoted(ctx.alias_name) +
                    " would pass MaxBufferedBodyBytes");
    return server_busy();
  default:
    ctx.app_code = std::string(detail::CODE_INVALID_REQUEST);
    logger::warning("Invalid request body for alias " + support::quoted(ctx.alias_name) +
                    ": not received whole");
    return text_response(400, bare_page(400));
  }
}

// A delivery's signature over the exact bytes received, before anything parses them.
std::optional<Response> API::State::admit_delivery(const Request& req, RequestContext& ctx,
                                                   const std::string& alias_name) {
  auth::WebhookVerdict verdict =
      services.authenticator.verify_webhook(header_lookup(req), req.body);
  if (!verdict.result) {
    logger::warning("Webhook delivery refused: " + verdict.reason);
    return auth_failed(ctx, alias_name);
  }
  ctx.delivery_key = std::move(verdict.delivery_key);
  return permit(ctx, *verdict.result, alias_name);
}

// The rest of the request, for a caller that admit_caller let through.
Response API::State::execute(const Request& req, RequestContext& ctx,
                             const std::string& alias_name) {
  if (ctx.webhook_pending) {
    if (auto refused = admit_delivery(req, ctx, alias_name)) {
      return std::move(*refused);
    }
  }
  auto parsed =
      detail::parse_params(req.header("Content-Type"), req.content_length.value_or(0), req.body);
  if (parsed.error) {
    ctx.app_code = std::string(detail::CODE_INVALID_REQUEST);
    logger::warning("Invalid request body for alias " + support::quoted(alias_name) + ": " +
                    *parsed.error);
    return text_response(400, *parsed.error);
  }
  json& params = *parsed.params;

  if (!ctx.alias_def) {
    std::string message = "Alias " + support::quoted(alias_name) + " not found";
    ctx.app_code = std::string(detail::CODE_ALIAS_NOT_FOUND);
    logger::warning(message);
    return text_response(404, message);
  }
  const alias::Alias& alias_def = *ctx.alias_def;
  if (alias_def.takes_event_parameters) {
    params = detail::event_parameters(alias_def, params, header_lookup(req));
  }
  if (alias_def.type() == alias::Type::process) {
    ctx.pid = std::string("-");
    ctx.exit_code = std::string("-");
  } else {
    ctx.container_id = std::string("-");
    ctx.image_id = std::string("-");
    ctx.exit_code = std::string("-");
  }
  // Validated once, here; the executor takes the parameters as they are.
  auto errors = validator::validate_parameters(params, alias_def);
  if (!errors.empty()) {
    ctx.app_code = std::string(detail::CODE_INVALID_PARAMETERS);
    logger::warning("Parameter validation failed for alias " + support::quoted(alias_name) + ": " +
                    join(errors, "; "));
    return errors_response(errors);
  }
  validator::apply_defaults(params, alias_def);

  executor::RunContext run_context =
      executor::make_run_context(alias_def, *ctx.settings, ctx.correlation_id);
  detail::RunSlots::Lease slot;
  if (auto refused = detail::take_run_slot(run_slots, ctx, alias_def, run_context, slot)) {
    return *refused;
  }
  // Recorded only once the run is admitted, so that a delivery refused before
  // its run (a 429 or 503) may come again.
  if (!services.authenticator.record_delivery(ctx.delivery_key)) {
    logger::warning("Webhook delivery refused: delivery id already seen");
    return auth_failed(ctx, alias_name);
  }
  run_context.request_body = req.body;
  if (alias_def.stream && alias_def.type() == alias::Type::process) {
    const bool events =
        support::to_lower(req.header("Accept")).find("text/event-stream") != std::string::npos;
    // The slot is held until the streamed run ends.
    auto lease = std::make_shared<detail::RunSlots::Lease>(std::move(slot));
    // The exchange, and with it ctx and the definition, outlives the stream.
    return detail::live_response(
        events,
        [this, &alias_def, params = std::move(params), run_context = std::move(run_context),
         lease](executor::LiveOutput* live) mutable {
          run_context.live = live;
          executor::RunResult result =
              services.runner.execute_alias(alias_def, params, run_context);
          lease->release();
          return result;
        },
        [&ctx, alias_name](const executor::RunResult& result) {
          return conclude(ctx, alias_name, result);
        });
  }
  const executor::RunResult result = services.runner.execute_alias(alias_def, params, run_context);
  slot.release();
  return conclude(ctx, alias_name, result);
}

// The answer to a run, from its result; fills the identifiers and the code.
Response API::State::conclude(RequestContext& ctx, const std::string& alias_name,
                              const executor::RunResult& result) {
  const alias::Alias& alias_def = *ctx.alias_def;
  // Absent identifiers leave the "-" set from the alias type.
  if (result.pid) {
    ctx.pid = *result.pid;
  }
  if (result.container_id && !result.container_id->empty()) {
    ctx.container_id = *result.container_id;
  }
  if (result.image_id && !result.image_id->empty()) {
    ctx.image_id = *result.image_id;
  }
  if (result.returncode) {
    ctx.exit_code = *result.returncode;
  }

  if (result.client_gone) {
    ctx.app_code = std::string(detail::CODE_PROCESSING_FAILED);
    logger::warning("Client disconnected from streaming alias " + support::quoted(alias_name) +
                    "; the run was ended");
    return text_response(500, "Internal server error");
  }
  // A time-out wins over a plain failure; the executor's error text stays in the log.
  if (result.outcome == executor::RunResult::Outcome::timed_out) {
    ctx.app_code = std::string(detail::CODE_EXECUTION_TIMEOUT);
    logger::warning("Alias " + support::quoted(alias_name) +
                    " execution timed out: " + result.error);
    return text_response(408, "Execution timed out");
  }
  if (result.outcome != executor::RunResult::Outcome::completed) {
    ctx.app_code = std::string(detail::CODE_PROCESSING_FAILED);
    logger::error("Alias " + support::quoted(alias_name) + " failed: " + result.error);
    return text_response(500, "Internal server error");
  }

  const validator::ExitStatus mapped =
      validator::resolve_exit_status(alias_def.exit_codes, result.returncode);
  ctx.app_code =
      std::string(mapped.status == 200 ? detail::CODE_SUCCESS : detail::CODE_EXECUTION_FAILED);
  Response res = detail::build_response(alias_def, result);
  if (mapped.reason) {
    res.status = mapped.status;
    res.reason = *mapped.reason;
  }
  return res;
}

Response API::State::internal_health_check(const Request& req, RequestContext& ctx) const {
  if (lame_duck.active()) {
    return text_response(503, "Service is shutting down");
  }
  const std::string key = services.host.settings()->health_api_key;
  if (!key.empty() && !support::constant_time_equal(req.header("X-API-Key"), key)) {
    ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
    logger::warning("Unauthorized /internal/health/check from " +
                    (req.remote_address.empty() ? std::string("None") : req.remote_address));
    return text_response(401, "");
  }
  ctx.app_code = std::string(detail::CODE_SUCCESS);
  config::HealthStatus health = services.host.get_health_status();
  json body = json::object();
  body["last_reload"] =
      health.last_successful_reload ? json(utc_text(*health.last_successful_reload)) : json();
  body["configuration"] = health.is_current ? "Current" : "Degraded";
  return json_response(200, dump(body));
}

// The health check's key rule; the counters never hold a parameter value or a secret.
Response API::State::internal_metrics(const Request& req, RequestContext& ctx) const {
  const std::string key = services.host.settings()->health_api_key;
  if (!key.empty() && !support::constant_time_equal(req.header("X-API-Key"), key)) {
    ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
    logger::warning("Unauthorized /internal/metrics from " +
                    (req.remote_address.empty() ? std::string("None") : req.remote_address));
    return text_response(401, "");
  }
  ctx.app_code = std::string(detail::CODE_SUCCESS);
  Response res = text_response(200, metrics::render());
  res.content_type = std::string(metrics::CONTENT_TYPE);
  return res;
}

Response API::State::internal_logs_reopen(const Request& req, RequestContext& ctx) {
  const std::string key = services.host.settings()->logs_api_key;
  if (key.empty()) {
    ctx.app_code = std::string(detail::CODE_ENDPOINT_NOT_ENABLED);
    logger::warning("/internal/logs/reopen is not enabled: LogsApiKey is not configured");
    return text_response(404, "");
  }
  if (!support::constant_time_equal(req.header("X-API-Key"), key)) {
    ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
    logger::warning("Unauthorized /internal/logs/reopen from " +
                    (req.remote_address.empty() ? std::string("None") : req.remote_address));
    return text_response(401, "");
  }
  services.host.reopen_logs();
  ctx.app_code = std::string(detail::CODE_SUCCESS);
  return json_response(200, dump(json{{"status", "ok"}}));
}

void API::State::serve(const std::string& host, std::uint16_t port) {
  const auto settings = services.host.settings();
  std::optional<TlsFiles> tls;
  std::string ssl_info;
  if (settings->ssl_enabled) {
    const std::string& cert_path = settings->ssl_cert;
    ssl_info = "SSL enabled" + describe_certificate(cert_path);
    tls = TlsFiles{cert_path, settings->ssl_key};
  } else {
    ssl_info = "SSL disabled";
  }
  if (listen_fd >= 0) {
    logger::info("Listening on the socket passed by the service manager, " + ssl_info);
  } else {
    logger::info("Listening on " + host + ":" + std::to_string(port) + ", " + ssl_info);
  }

  ServerLimits limits = services.limits;
  if (const std::int64_t cap = settings->max_buffered_body_bytes; cap > 0) {
    limits.max_buffered_body_bytes = static_cast<std::uint64_t>(cap);
  }
  auto created = std::make_shared<HttpServer>(
      host, port, tls, [this](const Request& head) { return admit(head); }, limits, listen_fd);
  listen_fd = -1;
  created->set_signal_handlers(signal_handlers);
  {
    std::lock_guard lock(server_lock);
    if (server) {
      throw std::logic_error("the server is already running");
    }
    server = created;
    if (stop_requested) {
      return;
    }
  }
  if (on_listening) {
    on_listening();
  }
  created->run();
}

API::API(Services services) : state_(std::make_unique<State>(services)) {}

API::~API() {
  std::shared_ptr<HttpServer> server;
  {
    std::lock_guard lock(state_->server_lock);
    state_->stop_requested = true;
    server = std::move(state_->server);
  }
  if (server) {
    server->stop();
  }
  // The server's destructor waits for its connection threads, which use state_.
  server.reset();
}

void API::set_signal_handlers(std::vector<std::pair<int, std::function<void(int)>>> handlers) {
  state_->signal_handlers = std::move(handlers);
}

void API::set_listen_fd(int fd) {
  state_->listen_fd = fd;
}

void API::set_on_listening(std::function<void()> callback) {
  state_->on_listening = std::move(callback);
}

void API::start() {
  const auto settings = state_->services.host.settings();
  std::string host = settings->listen_address;
  if (host.empty()) {
    host = "0.0.0.0";
  }
  std::int64_t port = settings->listen_port;
  if (port == 0) {
    port = 80;
  }
  if (port < 0 || port > 65535) {
    throw std::invalid_argument("ListenPort out of range: " + std::to_string(port));
  }
  state_->serve(host, static_cast<std::uint16_t>(port));
}

void API::start_on(const std::string& host, unsigned short port) {
  state_->serve(host, port);
}

void API::graceful_shutdown(double timeout) {
  State& s = *state_;
  s.drain.begin();
  logger::info("Graceful shutdown: waiting for active requests...");
  const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(std::clamp(timeout, 0.0, 1e9)));
  if (const std::int64_t count = s.drain.wait(limit); count > 0) {
    logger::warning("Shutdown timeout (" + timeout_text(timeout) + "s) with " +
                    std::to_string(count) + " requests still active");
  }
  std::shared_ptr<HttpServer> server;
  {
    std::lock_guard lock(s.server_lock);
    s.stop_requested = true;
    server = s.server;
  }
  if (server) {
    server->stop();
  }
}

void API::lame_duck() {
  const std::int64_t delay = state_->services.host.settings()->drain_delay;
  if (delay <= 0) {
    return;
  }
  logger::info("Drain delay: /internal/health/check answers 503 for " + std::to_string(delay) +
               "s before the drain");
  state_->lame_duck.run(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(std::min<double>(static_cast<double>(delay), 1e9))));
}

unsigned short API::port() const {
  std::lock_guard lock(state_->server_lock);
  return state_->server ? state_->server->port() : 0;
}

void detail::AdmissionGate::set(API& api, std::function<void()> gate) {
  api.state_->admission_gate = std::move(gate);
}

}  // namespace velquin::api
