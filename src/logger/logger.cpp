#include "logger/logger.h"

#include "metrics/metrics.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>
#include <spdlog/logger.h>

#include "logger/sinks.h"
#include "logger/testing.h"
#include "support/quoted.h"
#include "support/text.h"

namespace velquin::logger {

namespace {

using detail::CaptureSink;
using detail::Format;
using detail::LineFormatter;
using detail::ReopenableSink;

// What the published logger is built from. Touched by setup_logging,
// reopen_logs and LogCapture, always under setup_lock.
struct LoggerState {
  std::shared_ptr<ReopenableSink> app_sink;
  spdlog::level::level_enum level = spdlog::level::warn;
  std::shared_ptr<CaptureSink> capture;
};

// The audit file; writers hold lock for the whole write.
struct AuditState {
  std::mutex lock;
  int fd = -1;         // guarded by lock
  bool owned = false;  // guarded by lock
  std::string path;    // guarded by lock
};

struct Globals {
  std::mutex setup_lock;
  LoggerState state;  // guarded by setup_lock
  AuditState audit;
};

// Never destroyed: threads may still log while the process runs its exit handlers.
Globals& globals() {
  static auto* g = new Globals;
  return *g;
}

thread_local std::optional<std::string> t_correlation_id;

// Loggers are immutable once published: a change builds a new one and swaps it
// in, so threads that are logging never see a sink list being edited.
std::shared_ptr<spdlog::logger> build_logger(const LoggerState& state) {
  std::vector<spdlog::sink_ptr> sinks;
  sinks.push_back(state.app_sink);
  auto level = state.level;
  if (state.capture) {
    sinks.push_back(state.capture);
    level = spdlog::level::trace;
  }
  auto logger = std::make_shared<spdlog::logger>("velquin", sinks.begin(), sinks.end());
  logger->set_level(level);
  return logger;
}

LoggerState initial_state() {
  LoggerState state;
  // Before setup: warnings and errors still reach the operator on stderr.
  state.app_sink = std::make_shared<ReopenableSink>("/dev/stderr");
  state.app_sink->set_formatter(std::make_unique<LineFormatter>(Format::plain));
  state.app_sink->set_level(spdlog::level::warn);
  state.level = spdlog::level::warn;
  return state;
}

std::atomic<std::shared_ptr<spdlog::logger>>& current() {
  static auto* logger = [] {
    std::lock_guard<std::mutex> lock(globals().setup_lock);
    globals().state = initial_state();
    return new std::atomic<std::shared_ptr<spdlog::logger>>(build_logger(globals().state));
  }();
  return *logger;
}

// Callers hold setup_lock and have called current() before taking it.
void publish_locked() {
  current().store(build_logger(globals().state));
}

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
  case Level::debug:
    return spdlog::level::debug;
  case Level::info:
    return spdlog::level::info;
  case Level::warning:
    return spdlog::level::warn;
  case Level::error:
    return spdlog::level::err;
  }
  return spdlog::level::err;
}

std::optional<spdlog::level::level_enum> parse_level(std::string_view word) {
  const std::string w = support::to_lower(word);
  if (w == "trace") {
    return spdlog::level::trace;
  }
  if (w == "debug") {
    return spdlog::level::debug;
  }
  if (w == "info") {
    return spdlog::level::info;
  }
  if (w == "warn" || w == "warning") {
    return spdlog::level::warn;
  }
  if (w == "error") {
    return spdlog::level::err;
  }
  if (w == "critical") {
    return spdlog::level::critical;
  }
  return std::nullopt;
}

bool is_stream(const std::string& path) {
  return path == "/dev/stdout" || path == "/dev/stderr";
}

void create_parent_directory(const std::string& path) {
  if (is_stream(path)) {
    return;
  }
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::filesystem::create_directories(parent);  // throws filesystem_error (a system_error)
  }
}

nlohmann::ordered_json audit_json(const AuditValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return *number;
  }
  return nullptr;
}

struct Resolved {
  spdlog::level::level_enum level;
  Format format;
};

Resolved resolve(const LoggingOptions& options) {
  const auto log_level = parse_level(options.log_level);
  if (!log_level) {
    throw std::invalid_argument("Invalid LogLevel " + support::quoted(options.log_level));
  }
  auto level = *log_level;
  if (options.app_log_level) {
    const auto app_level = parse_level(*options.app_log_level);
    if (!app_level) {
      throw std::invalid_argument("AppLog: unknown level " +
                                  support::quoted(*options.app_log_level));
    }
    level = *app_level;
  }
  Format format = Format::plain;
  if (options.app_log_format) {
    const std::string f = support::to_lower(*options.app_log_format);
    if (f == "json") {
      format = Format::json;
    } else if (f != "plain") {
      throw std::invalid_argument("AppLog: unknown format " +
                                  support::quoted(*options.app_log_format));
    }
  }
  return {level, format};
}

}  // namespace

void check_logging_options(const LoggingOptions& options) {
  resolve(options);
}

void setup_logging(const LoggingOptions& options) {
  const auto [level, format] = resolve(options);
  const std::string app_path = options.app_log_path.empty() ? "/dev/stderr" : options.app_log_path;

  // Open everything first, so that a failure leaves the old configuration intact.
  create_parent_directory(app_path);
  auto app_sink = std::make_shared<ReopenableSink>(app_path);
  app_sink->set_formatter(std::make_unique<LineFormatter>(format));
  app_sink->set_level(level);

  detail::LogFile audit_file;
  if (!options.audit_log_path.empty()) {
    create_parent_directory(options.audit_log_path);
    audit_file = detail::open_log_file(options.audit_log_path);
  }

  current();  // make sure the initial state exists before replacing it
  {
    std::lock_guard<std::mutex> lock(globals().audit.lock);
    if (globals().audit.owned && globals().audit.fd >= 0) {
      ::close(globals().audit.fd);
    }
    globals().audit.owned = static_cast<bool>(audit_file.owned);
    globals().audit.fd = audit_file.fd;
    audit_file.owned.release();
    globals().audit.path = options.audit_log_path;
  }
  std::lock_guard<std::mutex> lock(globals().setup_lock);
  globals().state.app_sink = std::move(app_sink);
  globals().state.level = level;
  publish_locked();
}

void reopen_logs() {
  std::shared_ptr<ReopenableSink> app_sink;
  {
    std::lock_guard<std::mutex> lock(globals().setup_lock);
    app_sink = globals().state.app_sink;
  }
  if (app_sink) {
    app_sink->reopen();
  }
  std::string audit_path;
  {
    std::lock_guard<std::mutex> lock(globals().audit.lock);
    audit_path = globals().audit.path;
  }
  if (audit_path.empty()) {
    return;
  }
  detail::LogFile fresh = detail::open_log_file(audit_path);
  std::lock_guard<std::mutex> lock(globals().audit.lock);
  if (audit_path != globals().audit.path) {
    return;  // set up again meanwhile; the new file is already fresh
  }
  if (globals().audit.owned && globals().audit.fd >= 0) {
    ::close(globals().audit.fd);
  }
  globals().audit.owned = static_cast<bool>(fresh.owned);
  globals().audit.fd = fresh.fd;
  fresh.owned.release();
}

void log(Level level, std::string_view message) {
  const auto logger = current().load();
  logger->log(to_spdlog(level), spdlog::string_view_t(message.data(), message.size()));
}

bool enabled(Level level) {
  return current().load()->should_log(to_spdlog(level));
}

void set_correlation_id(std::optional<std::string> id) {
  t_correlation_id = std::move(id);
}

std::string get_correlation_id() {
  return t_correlation_id.value_or(std::string());
}

void write_audit(const AuditRecord& record) noexcept {
  std::string failure;
  try {
    nlohmann::ordered_json line;
    line["time"] = detail::utc_time(std::chrono::system_clock::now());
    line["source"] = record.source;
    line["user"] = record.user;
    line["alias"] = record.alias;
    line["duration_ms"] = record.duration_ms;
    line["status"] = record.status;
    line["app_code"] = record.app_code;
    line["correlation_id"] = record.correlation_id;
    line["exit_code"] = audit_json(record.exit_code);
    line["pid"] = audit_json(record.pid);
    line["container_id"] = audit_json(record.container_id);
    line["image_id"] = audit_json(record.image_id);
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';

    std::lock_guard<std::mutex> lock(globals().audit.lock);
    if (globals().audit.fd >= 0 &&
        !detail::write_all(globals().audit.fd, text.data(), text.size())) {
      failure = std::strerror(errno);
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  if (!failure.empty()) {
    metrics::audit_write_failed();
    try {
      error("Audit log write failed: " + failure);
    } catch (...) {
      // Nothing left to report through; the request must still be answered.
    }
  }
}

// ---- LogCapture -----------------------------------------------------------

LogCapture::LogCapture() {
  current();
  std::lock_guard<std::mutex> lock(globals().setup_lock);
  globals().state.capture = std::make_shared<CaptureSink>();
  publish_locked();
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(globals().setup_lock);
  globals().state.capture.reset();
  publish_locked();
}

namespace {
std::shared_ptr<CaptureSink> capture_sink() {
  std::lock_guard<std::mutex> lock(globals().setup_lock);
  return globals().state.capture;
}
}  // namespace

// A capture's view of the process-wide sink: a member, although no state is its own.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::vector<std::pair<Level, std::string>> LogCapture::records() const {
  const auto sink = capture_sink();
  return sink ? sink->records() : std::vector<std::pair<Level, std::string>>{};
}

std::vector<std::string> LogCapture::messages(Level level) const {
  std::vector<std::string> out;
  for (auto& [lvl, message] : records()) {
    if (lvl == level) {
      out.push_back(std::move(message));
    }
  }
  return out;
}

bool LogCapture::contains(Level level, const std::string& message) const {
  for (const auto& [lvl, text] : records()) {
    if (lvl == level && text == message) {
      return true;
    }
  }
  return false;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
void LogCapture::clear() {
  if (const auto sink = capture_sink()) {
    sink->clear();
  }
}

}  // namespace velquin::logger
