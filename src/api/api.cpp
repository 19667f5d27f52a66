#include "api/api.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "api/drain.h"
#include "api/lame_duck.h"
#include "api/http_server.h"
#include "api/internal.h"
#include "api/params.h"
#include "logger/logger.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/text.h"
#include "support/uuid.h"

namespace velquin::api {

namespace {


constexpr std::string_view ROUTE_EXECUTE = "/v1/";
constexpr std::string_view ROUTE_LOGS_REOPEN = "/internal/logs/reopen";
constexpr std::string_view ROUTE_HEALTH = "/internal/health/check";

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
  return text_response(404, page(404, "Not Found",
                                 "The requested URL was not found on the server."));
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

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// Text of a result entry: texts as they are, nothing as "".
std::string text_of(const json& value) {
  if (value.is_string()) {
    return value.get<std::string>();
  }
  if (value.is_null()) {
    return {};
  }
  return support::value_text(value);
}

std::string entry_text(const json& object, std::string_view key) {
  if (!object.is_object()) {
    return {};
  }
  auto it = object.find(key);
  return it == object.end() ? std::string() : text_of(*it);
}

bool entry_true(const json& object, std::string_view key) {
  if (!object.is_object()) {
    return false;
  }
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

logger::AuditValue audit_value(const json& value) {
  if (value.is_number_integer()) {
    return value.get<std::int64_t>();
  }
  if (value.is_number_unsigned()) {
    return static_cast<std::int64_t>(value.get<std::uint64_t>());
  }
  if (value.is_number_float()) {
    return static_cast<std::int64_t>(value.get<double>());
  }
  if (value.is_string()) {
    return value.get<std::string>();
  }
  if (value.is_null()) {
    return {};
  }
  return value.dump();
}

std::optional<std::int64_t> returncode_of(const json& result) {
  if (!result.is_object()) {
    return std::nullopt;
  }
  auto it = result.find("returncode");
  if (it == result.end() || it->is_null()) {
    return std::nullopt;
  }
  if (it->is_number_integer()) {
    return it->get<std::int64_t>();
  }
  if (it->is_number()) {
    return static_cast<std::int64_t>(it->get<double>());
  }
  return std::nullopt;
}

std::vector<std::string> error_list(const json& result) {
  std::vector<std::string> errors;
  if (result.is_object()) {
    auto it = result.find("errors");
    if (it != result.end() && it->is_array()) {
      for (const auto& e : *it) {
        errors.push_back(text_of(e));
      }
    }
  }
  return errors;
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
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

std::string _resolve_source(std::string_view source, const json& result) {
  if (source == "%stdOut") {
    return entry_text(result, "stdout");
  }
  if (source == "%stdErr") {
    return entry_text(result, "stderr");
  }
  if (source == "%exitCode") {
    std::string code = entry_text(result, "returncode");
    return code.empty() ? "0" : code;
  }
  if (!result.is_object()) {
    return {};
  }
  auto outputs = result.find("file_outputs");
  if (outputs == result.end()) {
    return {};
  }
  return entry_text(*outputs, source);
}

Response _build_response(const json& alias_cfg, const json& result) {
  json output = json::object();
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("output");
    if (it != alias_cfg.end() && it->is_object()) {
      output = *it;
    }
  }
  auto single = output.find("single_value");
  if (single != output.end() && !single->is_null()) {
    Response res;
    res.body = _resolve_source(entry_text(*single, "source"), result);
    res.content_type = "text/plain";
    if (single->is_object()) {
      auto type = single->find("content-type");
      if (type != single->end() && !type->is_null()) {
        res.content_type = text_of(*type);
      }
    }
    return res;
  }
  auto multiple = output.find("multiple_values");
  if (multiple != output.end() && !multiple->is_null()) {
    json body = json::object();
    if (multiple->is_array()) {
      for (const auto& element : *multiple) {
        if (!element.is_object() || !element.contains("parameter_name")) {
          continue;
        }
        body[text_of(element["parameter_name"])] =
            _resolve_source(entry_text(element, "source"), result);
      }
    }
    return json_response(200, dump(body));
  }
  Response res;
  res.body = entry_text(result, "stdout");
  res.content_type = "text/plain";
  return res;
}

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
  detail::LameDuck lame_duck;
  std::function<void()> admission_gate;  // set before serving, for tests only

  std::mutex server_lock;
  std::shared_ptr<HttpServer> server;  // guarded by server_lock
  bool stop_requested = false;         // guarded by server_lock

  std::vector<std::pair<int, std::function<void(int)>>> signal_handlers;

  explicit State(Services s) : services(std::move(s)) {}

  void serve(const std::string& host, std::uint16_t port);
  Admission admit(const Request& head);
  Response finish(const Request& req, std::shared_ptr<Exchange> exchange, Response res);
  std::optional<Response> track_start(RequestContext& ctx);
  void track_end(bool tracked);
  void _emit_audit(const Request& req, const RequestContext& ctx, const Response& res);
  Response route(const Request& head, RequestContext& ctx);
  std::optional<Response> admit_caller(const Request& head, RequestContext& ctx,
                                       const std::string& alias_name);
  Response body_refused(const Request& req, RequestContext& ctx);
  Response execute(const Request& req, RequestContext& ctx, const std::string& alias_name);
  Response internal_health_check(const Request& req, RequestContext& ctx);
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

void API::State::_emit_audit(const Request& req, const RequestContext& ctx, const Response& res) {
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
  services.write_audit(record);
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
  try {
    _emit_audit(req, exchange->ctx, res);
  } catch (const std::exception& e) {
    log_failure(req, e.what());
    res = generic_error();
  }
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
  auto who = services.authenticate(
      auth::RequestCredentials{head.header("Authorization"), head.remote_address});
  if (!who) {
    ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
    logger::warning("Authentication failed for alias " + support::quoted(alias_name));
    Response res = text_response(401, "");
    res.close = true;
    return res;
  }
  ctx.user_id = who->user_id;
  const auto& allowed = who->allowed_aliases;
  ctx.alias_name = alias_name;
  if (std::find(allowed.begin(), allowed.end(), alias_name) == allowed.end()) {
    ctx.app_code = std::string(detail::CODE_ALIAS_NOT_PERMITTED);
    logger::warning("User " + support::quoted(ctx.user_id) + " not permitted to access alias " +
                    support::quoted(alias_name));
    Response res = text_response(403, "");
    res.close = true;
    return res;
  }
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

// The rest of the request, for a caller that admit_caller let through.
Response API::State::execute(const Request& req, RequestContext& ctx,
                             const std::string& alias_name) {
  auto parsed =
      _parse_params(req.header("Content-Type"), req.content_length.value_or(0), req.body);
  if (parsed.error) {
    ctx.app_code = std::string(detail::CODE_INVALID_REQUEST);
    logger::warning("Invalid request body for alias " + support::quoted(alias_name) + ": " +
                    *parsed.error);
    return text_response(400, *parsed.error);
  }
  const json& params = *parsed.params;

  config::AliasDefPtr alias_cfg = services.get_alias(alias_name);
  if (!alias_cfg || alias_cfg->is_null() || alias_cfg->empty()) {
    std::string message = "Alias " + support::quoted(alias_name) + " not found";
    ctx.app_code = std::string(detail::CODE_ALIAS_NOT_FOUND);
    logger::warning(message);
    return text_response(404, message);
  }
  const std::string type = entry_text(*alias_cfg, "type");
  if (type == "process") {
    ctx.pid = std::string("-");
    ctx.exit_code = std::string("-");
  } else if (type == "container") {
    ctx.container_id = std::string("-");
    ctx.image_id = std::string("-");
    ctx.exit_code = std::string("-");
  }
  auto errors = services.validate_parameters(params, *alias_cfg);
  if (!errors.empty()) {
    ctx.app_code = std::string(detail::CODE_INVALID_PARAMETERS);
    logger::warning("Parameter validation failed for alias " + support::quoted(alias_name) + ": " +
                    join(errors, "; "));
    return errors_response(errors);
  }

  json result = services.execute_alias(alias_name, params);
  if (result.is_object()) {
    // "Present" means not null: a failure before the child started reports a
    // null pid, which leaves the "-" set from the alias type.
    if (auto it = result.find("pid"); it != result.end() && !it->is_null()) {
      ctx.pid = audit_value(*it);
    }
    if (auto it = result.find("container_id"); it != result.end() && !text_of(*it).empty()) {
      ctx.container_id = audit_value(*it);
    }
    if (auto it = result.find("image_id"); it != result.end() && !text_of(*it).empty()) {
      ctx.image_id = audit_value(*it);
    }
    if (auto it = result.find("returncode"); it != result.end() && !it->is_null()) {
      ctx.exit_code = audit_value(*it);
    }
  }

  // A time-out wins over a plain failure; the executor's error text stays in the log.
  if (entry_true(result, "timed_out")) {
    ctx.app_code = std::string(detail::CODE_EXECUTION_TIMEOUT);
    logger::warning("Alias " + support::quoted(alias_name) +
                    " execution timed out: " + entry_text(result, "error"));
    return text_response(408, "Execution timed out");
  }
  if (entry_true(result, "validation_error")) {
    auto run_errors = error_list(result);
    ctx.app_code = std::string(detail::CODE_INVALID_PARAMETERS);
    logger::warning("Parameter validation failed for alias " + support::quoted(alias_name) +
                    " (executor): " + join(run_errors, "; "));
    return errors_response(run_errors);
  }
  if (!entry_true(result, "success")) {
    ctx.app_code = std::string(detail::CODE_PROCESSING_FAILED);
    logger::error("Alias " + support::quoted(alias_name) + " failed: " + entry_text(result, "error"));
    return text_response(500, "Internal server error");
  }

  const json* exit_map = nullptr;
  if (auto it = alias_cfg->find("_exit_code_map"); it != alias_cfg->end() && !it->is_null()) {
    exit_map = &*it;
  }
  validator::ExitStatus mapped = services.resolve_exit_status(exit_map, returncode_of(result));
  ctx.app_code = std::string(mapped.status == 200 ? detail::CODE_SUCCESS
                                                  : detail::CODE_EXECUTION_FAILED);
  Response res = _build_response(*alias_cfg, result);
  if (mapped.reason) {
    res.status = mapped.status;
    res.reason = *mapped.reason;
  }
  return res;
}

Response API::State::internal_health_check(const Request& req, RequestContext& ctx) {
  if (lame_duck.active()) {
    return text_response(503, "Service is shutting down");
  }
  const std::string key = services.get_text("HealthApiKey");
  if (!key.empty() && !support::constant_time_equal(req.header("X-API-Key"), key)) {
    ctx.app_code = std::string(detail::CODE_AUTH_FAILED);
    logger::warning("Unauthorized /internal/health/check from " +
                    (req.remote_address.empty() ? std::string("None") : req.remote_address));
    return text_response(401, "");
  }
  ctx.app_code = std::string(detail::CODE_SUCCESS);
  config::HealthStatus health = services.get_health_status();
  json body = json::object();
  body["last_reload"] =
      health.last_successful_reload ? json(utc_text(*health.last_successful_reload)) : json();
  body["configuration"] = health.is_current ? "Current" : "Degraded";
  return json_response(200, dump(body));
}

Response API::State::internal_logs_reopen(const Request& req, RequestContext& ctx) {
  const std::string key = services.get_text("LogsApiKey");
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
  services.reopen_logs();
  ctx.app_code = std::string(detail::CODE_SUCCESS);
  return json_response(200, dump(json{{"status", "ok"}}));
}

void API::State::serve(const std::string& host, std::uint16_t port) {
  std::optional<TlsFiles> tls;
  std::string ssl_info;
  if (services.get_bool("SslEnabled")) {
    const std::string cert_path = services.get_text("SslCert");
    ssl_info = "SSL enabled" + describe_certificate(cert_path);
    tls = TlsFiles{cert_path, services.get_text("SslKey")};
  } else {
    ssl_info = "SSL disabled";
  }
  logger::info("Listening on " + host + ":" + std::to_string(port) + ", " + ssl_info);

  ServerLimits limits = services.limits;
  if (const std::int64_t cap = services.get_int("MaxBufferedBodyBytes"); cap > 0) {
    limits.max_buffered_body_bytes = static_cast<std::uint64_t>(cap);
  }
  auto created = std::make_shared<HttpServer>(
      host, port, tls, [this](const Request& head) { return admit(head); }, limits);
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
  created->run();
}

API::API(Services services) : state_(std::make_unique<State>(std::move(services))) {}

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

void API::start() {
  std::string host = state_->services.get_text("ListenAddress");
  if (host.empty()) {
    host = "0.0.0.0";
  }
  std::int64_t port = state_->services.get_int("ListenPort");
  if (port == 0) {
    port = 80;
  }
  if (port < 0 || port > 65535) {
    throw std::invalid_argument("ListenPort out of range: " + std::to_string(port));
  }
  state_->serve(host, static_cast<std::uint16_t>(port));
}

void API::start_on(const std::string& host, unsigned short port) { state_->serve(host, port); }

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
  const std::int64_t delay = state_->services.get_int("DrainDelay");
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
