#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logger/logger.h"

namespace velquin::logger {

// Collects every application log record (all levels, the logger's level
// notwithstanding) while it lives. For tests; one at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::pair<Level, std::string>> records() const;
  // Messages of one level, in order.
  std::vector<std::string> messages(Level level) const;
  bool contains(Level level, const std::string& message) const;
  void clear();
};

}  // namespace velquin::logger
