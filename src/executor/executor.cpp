#include "executor/executor.h"

#include <cstdint>
#include <string>
#include <utility>

#include "support/number_text.h"

namespace velquin::executor {

namespace {

constexpr std::int64_t DEFAULT_TIMEOUT = 60;
constexpr const char* DEFAULT_SHARED_DIR = "/tmp/velquin";

}  // namespace

RunContext make_run_context(const alias::Alias& alias_def, const config::Settings& settings,
                            std::string correlation_id) {
  RunContext context;
  context.correlation_id = std::move(correlation_id);
  context.shared_dir = settings.shared_dir.empty() ? DEFAULT_SHARED_DIR : settings.shared_dir;
  context.external_dir = settings.external_dir;
  context.log_dir = settings.log_dir;
  context.refresh_image = settings.refresh_image;
  // Checked positive at load; an unloaded configuration must not mean "nothing fits".
  if (settings.max_output_size > 0) {
    context.max_output_size = static_cast<std::size_t>(settings.max_output_size);
  }
  context.time_limit = detail::resolve_timeout(alias_def, settings.max_timeout);
  context.limits = alias_def.limits;
  if (!context.limits.memory) {
    context.limits.memory = settings.default_memory_limit;
  }
  if (!context.limits.pids) {
    context.limits.pids = settings.default_pids_limit;
  }
  return context;
}

RunResult Executor::execute_alias(const alias::Alias& alias_def, const json& params,
                                  const RunContext& context) {
  if (alias_def.type() == alias::Type::process) {
    return detail::execute_process(alias_def, params, context);
  }
  return detail::execute_container(*this, alias_def, params, context);
}

std::shared_ptr<docker::DockerClient> Executor::get_docker_client() {
  if (auto client = docker_client_.load()) {
    return client;
  }
  // Not locked: two first requests may each build a client; the last one stored stays.
  std::shared_ptr<docker::DockerClient> client = factory_ ? factory_() : docker::client_from_env();
  if (!client) {
    throw docker::DockerError("no Docker client could be created");
  }
  // Reaching the engine is part of creating a usable client.
  client->ping();
  docker_client_.store(client);
  return client;
}

void Executor::set_docker_client_factory(ClientFactory factory) {
  factory_ = std::move(factory);
  docker_client_.store(nullptr);
}

OutputTooLarge::OutputTooLarge(const std::string& what, std::size_t cap)
    : std::runtime_error(what + " exceeded MaxOutputSize (" + std::to_string(cap) + " bytes)") {}

namespace detail {

TimeLimit resolve_timeout(const alias::Alias& alias_def, std::optional<std::int64_t> max_timeout) {
  TimeLimit limit{static_cast<double>(DEFAULT_TIMEOUT), std::to_string(DEFAULT_TIMEOUT)};
  if (alias_def.timeout && alias_def.timeout->value != 0) {
    limit = TimeLimit{static_cast<double>(alias_def.timeout->value), alias_def.timeout->text};
  }
  if (max_timeout && *max_timeout != 0 && limit.seconds > static_cast<double>(*max_timeout)) {
    limit = TimeLimit{static_cast<double>(*max_timeout), std::to_string(*max_timeout)};
  }
  return limit;
}

std::optional<std::string> short_id(const std::string& full_id) {
  if (full_id.empty()) {
    return std::nullopt;
  }
  const auto colon = full_id.rfind(':');
  const std::string piece = colon == std::string::npos ? full_id : full_id.substr(colon + 1);
  return piece.substr(0, 12);
}

}  // namespace detail

}  // namespace velquin::executor
