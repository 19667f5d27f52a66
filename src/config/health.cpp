#include "config/config.h"

namespace velquin::config {

void Config::record_startup_success() {
  std::lock_guard<std::mutex> lock(health_lock_);
  auth_current_ = true;
  alias_current_ = true;
  last_successful_reload_ = std::chrono::system_clock::now();
}

void Config::record_auth_reload(bool success) {
  std::lock_guard<std::mutex> lock(health_lock_);
  auth_current_ = success;
  if (auth_current_ && alias_current_) {
    last_successful_reload_ = std::chrono::system_clock::now();
  }
}

void Config::record_alias_reload(bool success) {
  std::lock_guard<std::mutex> lock(health_lock_);
  alias_current_ = success;
  if (auth_current_ && alias_current_) {
    last_successful_reload_ = std::chrono::system_clock::now();
  }
}

HealthStatus Config::get_health_status() const {
  std::lock_guard<std::mutex> lock(health_lock_);
  return HealthStatus{last_successful_reload_, auth_current_ && alias_current_};
}

}  // namespace velquin::config
