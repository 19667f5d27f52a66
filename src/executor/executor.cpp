#include "executor/executor.h"

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "config/config.h"
#include "support/json_value.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "validator/validator.h"

namespace velquin::executor {

namespace {

using support::is_empty_value;

constexpr std::int64_t DEFAULT_TIMEOUT = 60;

}  // namespace

json Executor::execute_alias(const std::string& alias_name, const json* parameters) {
  json params = (parameters != nullptr && parameters->is_object()) ? *parameters : json::object();

  // The snapshot keeps the definition alive even if a reload replaces the table meanwhile.
  config::AliasDefPtr alias = config::config().get_alias(alias_name);
  if (!alias || alias->is_null() || alias->empty()) {
    return json{{"success", false},
                {"error", "Alias " + support::quoted(alias_name) + " not found"}};
  }
  const json& alias_cfg = *alias;

  params = validator::apply_defaults(params, alias_cfg);
  std::vector<std::string> errors = validator::validate_parameters(params, alias_cfg);
  if (!errors.empty()) {
    std::string joined;
    for (std::size_t i = 0; i < errors.size(); ++i) {
      joined += (i == 0 ? "" : ", ") + errors[i];
    }
    return json{{"success", false},
                {"validation_error", true},
                {"errors", errors},
                {"error", "Parameter validation failed: " + joined}};
  }

  json type;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("type");
    if (it != alias_cfg.end()) {
      type = *it;
    }
  }
  if (type.is_string() && type.get_ref<const std::string&>() == "process") {
    return _execute_process(alias_cfg, params);
  }
  if (type.is_string() && type.get_ref<const std::string&>() == "container") {
    return _execute_container(alias_cfg, params);
  }
  return json{{"success", false}, {"error", "Unknown alias type: " + support::quoted(type)}};
}

std::shared_ptr<docker::DockerClient> Executor::_get_docker_client() {
  if (auto client = _docker_client.load()) {
    return client;
  }
  // Not locked: two first requests may each build a client; the last one stored stays.
  std::shared_ptr<docker::DockerClient> client = factory_ ? factory_() : docker::client_from_env();
  if (!client) {
    throw docker::DockerError("no Docker client could be created");
  }
  // Reaching the engine is part of creating a usable client.
  client->ping();
  _docker_client.store(client);
  return client;
}

void Executor::set_docker_client_factory(
    std::function<std::shared_ptr<docker::DockerClient>()> factory) {
  factory_ = std::move(factory);
  _docker_client.store(nullptr);
}

Executor& executor() {
  static Executor instance;
  return instance;
}

json _resolve_timeout(const json& alias_cfg) {
  json t = DEFAULT_TIMEOUT;
  if (alias_cfg.is_object()) {
    auto it = alias_cfg.find("timeout");
    if (it != alias_cfg.end() && !is_empty_value(*it)) {
      t = *it;
    }
  }
  config::SettingValue m = config::config().get("MaxTimeout");
  if (const auto* max = std::get_if<std::int64_t>(&m); max != nullptr && *max != 0) {
    if (t.is_number() && t.get<double>() > static_cast<double>(*max)) {
      return *max;
    }
  }
  return t;
}

std::optional<std::string> _short_id(const std::string& full_id) {
  if (full_id.empty()) {
    return std::nullopt;
  }
  const auto colon = full_id.rfind(':');
  const std::string piece = colon == std::string::npos ? full_id : full_id.substr(colon + 1);
  return piece.substr(0, 12);
}

std::size_t _max_output_size() {
  const std::int64_t cap = config::config().get_int("MaxOutputSize");
  // Checked positive at load; an unloaded configuration must not mean "nothing fits".
  return cap > 0 ? static_cast<std::size_t>(cap) : SIZE_MAX;
}

OutputTooLarge::OutputTooLarge(const std::string& what, std::size_t cap)
    : std::runtime_error(what + " exceeded MaxOutputSize (" + std::to_string(cap) + " bytes)") {}

std::string _env_value(const json& var_def) {
  if (var_def.is_string()) {
    return var_def.get<std::string>();
  }
  return support::value_text(var_def);
}

}  // namespace velquin::executor
