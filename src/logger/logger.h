#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velquin::logger {

enum class Level { debug, info, warning, error };

// What setup_logging needs, already resolved by the settings loader:
// paths are absolute or "/dev/stdout" / "/dev/stderr".
struct LoggingOptions {
  std::string log_level = "warning";          // LogLevel setting
  std::string app_log_path;                   // path part of AppLog
  std::optional<std::string> app_log_level;   // level word of AppLog, when given
  std::optional<std::string> app_log_format;  // "plain" or "json", when given
  std::string audit_log_path;                 // AuditLog setting; empty = no audit file
};

// Configures the "velquin" logger and the audit writer; creates missing log
// directories. Throws std::invalid_argument("Invalid LogLevel " + quoted(v))
// for an unknown level and std::system_error when a log file cannot be opened.
// Before it is called, records at warning level and above go to standard error.
void setup_logging(const LoggingOptions& options);
// The checks of setup_logging that need no file: throws its std::invalid_argument.
void check_logging_options(const LoggingOptions& options);

// Closes and reopens both log files at their paths (logrotate); safe while
// other threads log. Throws std::system_error when a file cannot be reopened.
void reopen_logs();

void log(Level level, std::string_view message);
inline void debug(std::string_view message) {
  log(Level::debug, message);
}
inline void info(std::string_view message) {
  log(Level::info, message);
}
inline void warning(std::string_view message) {
  log(Level::warning, message);
}
inline void error(std::string_view message) {
  log(Level::error, message);
}
bool enabled(Level level);

// Binds the request's correlation id to the calling thread; nullopt unbinds.
void set_correlation_id(std::optional<std::string> id);
// The id bound to the calling thread, or the empty text.
std::string get_correlation_id();

// An audit value: nothing (JSON null), the text "-" or an id, or a number.
using AuditValue = std::variant<std::monostate, std::string, std::int64_t>;

struct AuditRecord {
  std::string source;
  std::string user;
  std::string alias;
  std::int64_t duration_ms = 0;
  int status = 0;
  std::string app_code;
  std::string correlation_id;
  AuditValue exit_code;
  AuditValue pid;
  AuditValue container_id;
  AuditValue image_id;
};

// Appends one JSON line to the audit log. Never throws: a failed write is
// reported on the application log at error level.
void write_audit(const AuditRecord& record) noexcept;

}  // namespace velquin::logger
