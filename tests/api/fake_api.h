#pragma once

#include <stdexcept>

// An in-process API on a free loopback port, with every other module faked.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/api.h"
#include "api/internal.h"

namespace velquin::testing {

using api::json;

struct FakeModules {
  mutable std::mutex mutex;
  std::map<std::string, std::string> settings;  // text settings; "SslEnabled" "true"
  std::optional<auth::AuthResult> who;
  std::map<std::string, json> aliases;
  std::vector<std::string> validation_errors;
  json result = json{{"success", true}, {"stdout", "hello\n"}, {"returncode", 0}};
  validator::ExitStatus exit_status;
  bool execute_throws = false;
  config::HealthStatus health;
  int reopen_calls = 0;
  std::vector<logger::AuditRecord> audits;
  std::vector<json> executed_params;
  std::vector<auth::RequestCredentials> credentials;

  // A gate that holds execute_alias until opened.
  bool gate_closed = false;
  int waiting = 0;
  std::condition_variable cv;

  void close_gate();
  void open_gate();
  // Waits until n calls are held at the gate.
  void wait_held(int n);
  std::vector<logger::AuditRecord> audit_records() const;

  api::Services services();
};

class FakeApi {
 public:
  explicit FakeApi(FakeModules& modules, api::ServerLimits limits = {});
  ~FakeApi();

  // Serves on a thread of its own; throws what start threw. from_settings
  // uses start() with the listen settings instead of a free loopback port.
  void start(bool from_settings = false);
  std::uint16_t port() const { return port_; }
  api::API& api() { return *api_; }
  // Ends serving and waits for start() to return.
  void shutdown(double timeout = 30);

 private:
  std::unique_ptr<api::API> api_;
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool ended_ = false;
  std::exception_ptr failure_;
};

// ---- definitions (header-only: the test glob builds *_test.cpp files only)
inline void FakeModules::close_gate() {
  std::lock_guard lock(mutex);
  gate_closed = true;
}

inline void FakeModules::open_gate() {
  std::lock_guard lock(mutex);
  gate_closed = false;
  cv.notify_all();
}

inline void FakeModules::wait_held(int n) {
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return waiting >= n; });
}

inline std::vector<logger::AuditRecord> FakeModules::audit_records() const {
  std::lock_guard lock(mutex);
  return audits;
}

inline api::Services FakeModules::services() {
  api::Services s;
  s.get_text = [this](std::string_view key) {
    std::lock_guard lock(mutex);
    auto it = settings.find(std::string(key));
    return it == settings.end() ? std::string() : it->second;
  };
  s.get_int = [this](std::string_view key) -> std::int64_t {
    std::lock_guard lock(mutex);
    auto it = settings.find(std::string(key));
    return it == settings.end() ? 0 : std::stoll(it->second);
  };
  s.get_bool = [this](std::string_view key) {
    std::lock_guard lock(mutex);
    auto it = settings.find(std::string(key));
    return it != settings.end() && it->second == "true";
  };
  s.authenticate = [this](const auth::RequestCredentials& c) {
    std::lock_guard lock(mutex);
    credentials.push_back(c);
    return who;
  };
  s.get_alias = [this](std::string_view name) -> config::AliasDefPtr {
    std::lock_guard lock(mutex);
    auto it = aliases.find(std::string(name));
    return it == aliases.end() ? nullptr : std::make_shared<const json>(it->second);
  };
  s.validate_parameters = [this](const json&, const json&) {
    std::lock_guard lock(mutex);
    return validation_errors;
  };
  s.execute_alias = [this](const std::string&, const json& params) {
    std::unique_lock lock(mutex);
    executed_params.push_back(params);
    ++waiting;
    cv.notify_all();
    cv.wait(lock, [&] { return !gate_closed; });
    --waiting;
    if (execute_throws) {
      throw std::runtime_error("executor exploded");
    }
    return result;
  };
  s.resolve_exit_status = [this](const json*, std::optional<std::int64_t>) {
    std::lock_guard lock(mutex);
    return exit_status;
  };
  s.get_health_status = [this] {
    std::lock_guard lock(mutex);
    return health;
  };
  s.reopen_logs = [this] {
    std::lock_guard lock(mutex);
    ++reopen_calls;
  };
  s.write_audit = [this](const logger::AuditRecord& record) {
    std::lock_guard lock(mutex);
    audits.push_back(record);
  };
  return s;
}

inline FakeApi::FakeApi(FakeModules& modules, api::ServerLimits limits) {
  api::Services s = modules.services();
  s.limits = limits;
  api_ = std::make_unique<api::API>(std::move(s));
}

inline FakeApi::~FakeApi() {
  if (thread_.joinable()) {
    shutdown(0);
  }
}

inline void FakeApi::start(bool from_settings) {
  thread_ = std::thread([this, from_settings] {
    try {
      if (from_settings) {
        api_->start();
      } else {
        api_->start_on("127.0.0.1", 0);
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    cv_.notify_all();
  });
  // Listening as soon as the port is known: the socket is bound before serving.
  for (;;) {
    port_ = api_->port();
    std::unique_lock lock(mutex_);
    if (port_ != 0 || ended_) {
      break;
    }
    cv_.wait_for(lock, std::chrono::milliseconds(2));
  }
  std::lock_guard lock(mutex_);
  if (failure_) {
    thread_.join();
    std::rethrow_exception(failure_);
  }
}

inline void FakeApi::shutdown(double timeout) {
  api_->graceful_shutdown(timeout);
  if (thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace velquin::testing
