#include "config/config.h"

namespace velquin::config {

void Config::record_startup_success() {
  std::lock_guard<std::mutex> lock(_health_lock);
  _auth_current = true;
  _alias_current = true;
  _last_successful_reload = std::chrono::system_clock::now();
}

void Config::record_auth_reload(bool success) {
  std::lock_guard<std::mutex> lock(_health_lock);
  _auth_current = success;
  if (_auth_current && _alias_current) {
    _last_successful_reload = std::chrono::system_clock::now();
  }
}

void Config::record_alias_reload(bool success) {
  std::lock_guard<std::mutex> lock(_health_lock);
  _alias_current = success;
  if (_auth_current && _alias_current) {
    _last_successful_reload = std::chrono::system_clock::now();
  }
}

HealthStatus Config::get_health_status() const {
  std::lock_guard<std::mutex> lock(_health_lock);
  return HealthStatus{_last_successful_reload, _auth_current && _alias_current};
}

}  // namespace velquin::config
