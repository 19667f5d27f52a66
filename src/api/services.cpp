// The front end wired to the objects of the other modules. Kept apart from
// api.cpp so that tests with fakes link without those modules.

#include "api/internal.h"

#include "auth/auth.h"
#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "metrics/metrics.h"
#include "support/scope_exit.h"
#include <chrono>

namespace velquin::api {

namespace {

class ConfigHost : public Host {
 public:
  explicit ConfigHost(config::Config& cfg) : cfg_(cfg) {}
  std::shared_ptr<const config::Settings> settings() const override { return cfg_.settings(); }
  config::HealthStatus get_health_status() const override { return cfg_.get_health_status(); }
  void reopen_logs() override { logger::reopen_logs(); }
  void write_audit(const logger::AuditRecord& record) override { logger::write_audit(record); }

 private:
  config::Config& cfg_;
};

class ConfigAliases : public AliasSource {
 public:
  explicit ConfigAliases(const config::Config& cfg) : cfg_(cfg) {}
  alias::AliasPtr get_alias(std::string_view name) const override { return cfg_.get_alias(name); }

 private:
  const config::Config& cfg_;
};

class AuthAuthenticator : public Authenticator {
 public:
  explicit AuthAuthenticator(const auth::Auth& authn) : auth_(authn) {}
  std::optional<auth::AuthResult>
  authenticate_request(const auth::RequestCredentials& credentials) const override {
    return auth_.authenticate_request(credentials);
  }
  bool webhook_may_sign(const auth::HeaderLookup& header,
                        std::string_view alias_name) const override {
    return auth_.webhook_may_sign(header, alias_name);
  }
  auth::WebhookVerdict verify_webhook(const auth::HeaderLookup& header,
                                      std::string_view body) const override {
    return auth_.verify_webhook(header, body);
  }
  bool record_delivery(const std::string& delivery_key) const override {
    return auth_.record_delivery(delivery_key);
  }

 private:
  const auth::Auth& auth_;
};

class ExecutorRunner : public Runner {
 public:
  explicit ExecutorRunner(executor::Executor& ex) : executor_(ex) {}
  executor::RunResult execute_alias(const alias::Alias& alias_def, const json& params,
                                    const executor::RunContext& context) override {
    // Labelled with the loaded definition's name, so only loaded aliases make series.
    metrics::run_started();
    const auto started = std::chrono::steady_clock::now();
    support::ScopeExit finished(
        [&] { metrics::run_finished(alias_def.name, std::chrono::steady_clock::now() - started); });
    return executor_.execute_alias(alias_def, params, context);
  }

 private:
  executor::Executor& executor_;
};

}  // namespace

struct DefaultServices::Parts {
  ConfigHost host;
  ConfigAliases aliases;
  AuthAuthenticator authenticator;
  ExecutorRunner runner;
};

DefaultServices::DefaultServices(config::Config& cfg, const auth::Auth& authn,
                                 executor::Executor& runner)
    : parts_(std::make_unique<Parts>(Parts{ConfigHost(cfg), ConfigAliases(cfg),
                                           AuthAuthenticator(authn), ExecutorRunner(runner)})) {}

DefaultServices::~DefaultServices() = default;

Services DefaultServices::services() const {
  return Services{parts_->host, parts_->aliases, parts_->authenticator, parts_->runner};
}

}  // namespace velquin::api
