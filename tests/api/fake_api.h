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
#include "support/aliases.h"

namespace velquin::testing {

using api::json;

struct FakeModules {
  mutable std::mutex mutex;
  std::map<std::string, std::string> settings;  // text settings; "SslEnabled" "true"
  std::optional<auth::AuthResult> who;
  std::map<std::string, alias::AliasPtr> aliases;
  executor::RunResult result = completed("hello\n", 0);
  bool execute_throws = false;
  config::HealthStatus health;
  int reopen_calls = 0;
  std::vector<logger::AuditRecord> audits;
  std::vector<json> executed_params;
  std::vector<const alias::Alias*> executed_aliases;
  std::vector<auth::RequestCredentials> credentials;
  mutable int lookups = 0;

  // A gate that holds execute_alias until opened.
  bool gate_closed = false;
  int waiting = 0;
  std::condition_variable cv;

  static executor::RunResult completed(std::string out, std::int64_t returncode);
  // The definition as the loader would make it; a refused one fails the test.
  void add_alias(const std::string& name, json definition);
  void close_gate();
  void open_gate();
  // Waits until n calls are held at the gate.
  void wait_held(int n);
  std::vector<logger::AuditRecord> audit_records() const;

  api::Services services();

 private:
  struct Host : api::Host {
    explicit Host(FakeModules& modules) : m(modules) {}
    std::shared_ptr<const config::Settings> settings() const override;
    config::HealthStatus get_health_status() const override;
    void reopen_logs() override;
    void write_audit(const logger::AuditRecord& record) override;
    FakeModules& m;
  };
  struct Aliases : api::AliasSource {
    explicit Aliases(FakeModules& modules) : m(modules) {}
    alias::AliasPtr get_alias(std::string_view name) const override;
    FakeModules& m;
  };
  struct Authenticator : api::Authenticator {
    explicit Authenticator(FakeModules& modules) : m(modules) {}
    std::optional<auth::AuthResult>
    authenticate_request(const auth::RequestCredentials& c) const override;
    FakeModules& m;
  };
  struct Runner : api::Runner {
    explicit Runner(FakeModules& modules) : m(modules) {}
    executor::RunResult execute_alias(const alias::Alias& alias_def, const json& params,
                                      const executor::RunContext& context) override;
    FakeModules& m;
  };
  Host host_{*this};
  Aliases aliases_{*this};
  Authenticator authenticator_{*this};
  Runner runner_{*this};
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

inline executor::RunResult FakeModules::completed(std::string out, std::int64_t returncode) {
  executor::RunResult r;
  r.outcome = executor::RunResult::Outcome::completed;
  r.stdout_text = std::move(out);
  r.returncode = returncode;
  return r;
}

inline void FakeModules::add_alias(const std::string& name, json definition) {
  auto parsed = make_alias(std::move(definition), name);
  std::lock_guard lock(mutex);
  aliases[name] = std::move(parsed);
}

inline api::Services FakeModules::services() {
  return api::Services{host_, aliases_, authenticator_, runner_};
}

inline std::shared_ptr<const config::Settings> FakeModules::Host::settings() const {
  std::lock_guard lock(m.mutex);
  auto text = [this](const char* key) {
    auto it = m.settings.find(key);
    return it == m.settings.end() ? std::string() : it->second;
  };
  auto s = std::make_shared<config::Settings>();
  s->listen_address = text("ListenAddress");
  s->listen_port = text("ListenPort").empty() ? 0 : std::stoll(text("ListenPort"));
  s->ssl_enabled = text("SslEnabled") == "true";
  s->ssl_cert = text("SslCert");
  s->ssl_key = text("SslKey");
  s->health_api_key = text("HealthApiKey");
  s->logs_api_key = text("LogsApiKey");
  s->shared_dir = text("SharedDir");
  s->log_dir = text("LogDir");
  s->max_buffered_body_bytes =
      text("MaxBufferedBodyBytes").empty() ? 0 : std::stoll(text("MaxBufferedBodyBytes"));
  return s;
}

inline config::HealthStatus FakeModules::Host::get_health_status() const {
  std::lock_guard lock(m.mutex);
  return m.health;
}

inline void FakeModules::Host::reopen_logs() {
  std::lock_guard lock(m.mutex);
  ++m.reopen_calls;
}

inline void FakeModules::Host::write_audit(const logger::AuditRecord& record) {
  std::lock_guard lock(m.mutex);
  m.audits.push_back(record);
}

inline alias::AliasPtr FakeModules::Aliases::get_alias(std::string_view name) const {
  std::lock_guard lock(m.mutex);
  ++m.lookups;
  auto it = m.aliases.find(std::string(name));
  return it == m.aliases.end() ? nullptr : it->second;
}

inline std::optional<auth::AuthResult>
FakeModules::Authenticator::authenticate_request(const auth::RequestCredentials& c) const {
  std::lock_guard lock(m.mutex);
  m.credentials.push_back(c);
  return m.who;
}

inline executor::RunResult FakeModules::Runner::execute_alias(const alias::Alias& alias_def,
                                                              const json& params,
                                                              const executor::RunContext&) {
  std::unique_lock lock(m.mutex);
  m.executed_params.push_back(params);
  m.executed_aliases.push_back(&alias_def);
  ++m.waiting;
  m.cv.notify_all();
  m.cv.wait(lock, [&] { return !m.gate_closed; });
  --m.waiting;
  if (m.execute_throws) {
    throw std::runtime_error("executor exploded");
  }
  return m.result;
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
