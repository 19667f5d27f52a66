#pragma once

// Internal to the logger module: the sinks and line formats behind logger.h.

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/formatter.h>
#include <spdlog/sinks/base_sink.h>

#include "logger/logger.h"
#include "support/fd.h"

namespace velquin::logger::detail {

enum class Format { plain, json };

// "2026-03-01 12:00:05,123" in local time, as the plain line shows it.
std::string plain_time(std::chrono::system_clock::time_point time);
// "2026-03-01T12:00:05.123Z" in UTC.
std::string utc_time(std::chrono::system_clock::time_point time);

class LineFormatter final : public spdlog::formatter {
 public:
  explicit LineFormatter(Format format) : format_(format) {}
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override;
  std::unique_ptr<spdlog::formatter> clone() const override;

 private:
  Format format_;
};

// An open log destination. `owned` is empty for the process's own streams,
// which must never be closed.
struct LogFile {
  support::UniqueFd owned;
  int fd = -1;
};

// Opens a log destination: "/dev/stdout" and "/dev/stderr" name the process's
// own streams (fd 1/2); anything else is opened for appending, with parent
// directories already in place. Throws std::system_error.
LogFile open_log_file(const std::string& path);

// Writes the whole buffer, retrying short writes; false with errno set on failure.
bool write_all(int fd, const char* data, std::size_t size);

// A file sink that can be pointed at a fresh file with the same name while
// other threads log (logrotate moves the old file away first).
class ReopenableSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ReopenableSink(std::string path);
  ~ReopenableSink() override;
  ReopenableSink(const ReopenableSink&) = delete;
  ReopenableSink& operator=(const ReopenableSink&) = delete;

  // Opens the path again; on failure the old descriptor stays in use.
  void reopen();
  const std::string& path() const { return path_; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::string path_;
  int fd_ = -1;  // guarded by mutex_
  bool owned_ = false;
};

// Records every message it sees, for LogCapture.
class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::pair<Level, std::string>> records();
  void clear();

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::vector<std::pair<Level, std::string>> records_;  // guarded by mutex_
};

}  // namespace velquin::logger::detail
