#pragma once

// What the executor's tests hand a run: a typed alias and a run context.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "executor/executor.h"
#include "support/aliases.h"

namespace velquin::executor::runs {

// The alias of a definition, with every parameter of `params` declared that
// the definition does not declare itself: any text (or a number or boolean),
// so that a test reaches the runner with values the endpoint would refuse.
inline alias::AliasPtr alias_for(json def, const json& params = json::object()) {
  for (const auto& [name, value] : params.items()) {
    if (def.contains("parameters") && def["parameters"].contains(name)) {
      continue;
    }
    json declared = json{{"pattern", "(?s).*"}};
    if (value.is_boolean()) {
      declared = json{{"type", "boolean"}};
    } else if (value.is_number_integer()) {
      declared = json{{"type", "integer"}};
    } else if (value.is_number()) {
      declared = json{{"type", "number"}};
    }
    def["parameters"][name] = declared;
  }
  return velquin::testing::make_alias(std::move(def));
}

// The context a request with these settings gives the run.
inline RunContext context_for(const alias::Alias& alias_def, const std::filesystem::path& shared,
                              const std::filesystem::path& logs, const std::string& correlation_id,
                              std::size_t max_output_size = SIZE_MAX,
                              const std::string& external_dir = "",
                              const std::string& refresh_image = "no") {
  config::Settings settings;
  settings.shared_dir = shared.string();
  settings.log_dir = logs.string();
  settings.external_dir = external_dir;
  settings.refresh_image = refresh_image;
  settings.max_output_size =
      max_output_size == SIZE_MAX ? 0 : static_cast<std::int64_t>(max_output_size);
  return make_run_context(alias_def, settings, correlation_id);
}

}  // namespace velquin::executor::runs
