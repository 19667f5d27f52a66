#include "logger/sinks.h"

#include "metrics/metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <nlohmann/json.hpp>

namespace velquin::logger::detail {

namespace {

std::string_view plain_level(spdlog::level::level_enum level) {
  switch (level) {
  case spdlog::level::trace:
  case spdlog::level::debug:
    return "DEBUG";
  case spdlog::level::info:
    return "INFO";
  case spdlog::level::warn:
    return "WARNING";
  case spdlog::level::err:
    return "ERROR";
  default:
    return "CRITICAL";
  }
}

std::string_view json_level(spdlog::level::level_enum level) {
  switch (level) {
  case spdlog::level::trace:
  case spdlog::level::debug:
    return "debug";
  case spdlog::level::info:
    return "info";
  case spdlog::level::warn:
    return "warning";
  case spdlog::level::err:
    return "error";
  default:
    return "critical";
  }
}

Level our_level(spdlog::level::level_enum level) {
  switch (level) {
  case spdlog::level::trace:
  case spdlog::level::debug:
    return Level::debug;
  case spdlog::level::info:
    return Level::info;
  case spdlog::level::warn:
    return Level::warning;
  default:
    return Level::error;
  }
}

std::string format_time(std::chrono::system_clock::time_point time, bool utc, const char* pattern,
                        char ms_separator) {
  const auto since_epoch = time.time_since_epoch();
  const auto secs = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - secs).count();
  const auto t = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  if (utc) {
    gmtime_r(&t, &tm);
  } else {
    localtime_r(&t, &tm);
  }
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  char ms[8];
  const int m = std::snprintf(ms, sizeof ms, "%c%03d", ms_separator, static_cast<int>(millis));
  return std::string(buf, n).append(ms, static_cast<std::size_t>(m));
}

}  // namespace

std::string plain_time(std::chrono::system_clock::time_point time) {
  return format_time(time, false, "%Y-%m-%d %H:%M:%S", ',');
}

std::string utc_time(std::chrono::system_clock::time_point time) {
  return format_time(time, true, "%Y-%m-%dT%H:%M:%S", '.') + "Z";
}

void LineFormatter::format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) {
  const std::string_view message(msg.payload.data(), msg.payload.size());
  // Formatting runs on the logging thread, so this is the caller's id.
  const std::string correlation_id = get_correlation_id();
  std::string line;
  if (format_ == Format::plain) {
    line = plain_time(msg.time);
    line += ' ';
    line += plain_level(msg.level);
    line += " velquin [";
    line += correlation_id.empty() ? "-" : correlation_id;
    line += "] ";
    line += message;
  } else {
    nlohmann::ordered_json record;
    record["time"] = utc_time(msg.time);
    record["level"] = json_level(msg.level);
    record["logger"] = "velquin";
    record["correlation_id"] = correlation_id.empty() ? nlohmann::ordered_json(nullptr)
                                                      : nlohmann::ordered_json(correlation_id);
    record["message"] = std::string(message);
    line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
  line += '\n';
  dest.append(line.data(), line.data() + line.size());
}

std::unique_ptr<spdlog::formatter> LineFormatter::clone() const {
  return std::make_unique<LineFormatter>(format_);
}

LogFile open_log_file(const std::string& path) {
  if (path == "/dev/stdout") {
    return LogFile{support::UniqueFd(), STDOUT_FILENO};
  }
  if (path == "/dev/stderr") {
    return LogFile{support::UniqueFd(), STDERR_FILENO};
  }
  support::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(), "Cannot open log file " + path);
  }
  const int raw = fd.get();
  return LogFile{std::move(fd), raw};
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ReopenableSink::ReopenableSink(std::string path) : path_(std::move(path)) {
  LogFile file = open_log_file(path_);
  owned_ = static_cast<bool>(file.owned);
  fd_ = file.fd;
  file.owned.release();
}

ReopenableSink::~ReopenableSink() {
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
  }
}

void ReopenableSink::reopen() {
  LogFile fresh = open_log_file(path_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
  }
  owned_ = static_cast<bool>(fresh.owned);
  fd_ = fresh.fd;
  fresh.owned.release();
}

void ReopenableSink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t buf;
  formatter_->format(msg, buf);
  if (!write_all(fd_, buf.data(), buf.size())) {
    metrics::app_log_write_failed();
    // spdlog's error handler reports this on stderr; nowhere better to go.
    throw spdlog::spdlog_ex("cannot write to log file " + path_, errno);
  }
}

std::vector<std::pair<Level, std::string>> CaptureSink::records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void CaptureSink::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

void CaptureSink::sink_it_(const spdlog::details::log_msg& msg) {
  records_.emplace_back(our_level(msg.level), std::string(msg.payload.data(), msg.payload.size()));
}

}  // namespace velquin::logger::detail
