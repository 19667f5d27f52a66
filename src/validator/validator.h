#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velquin::validator {

// Checks one alias definition (with "name" set). Compiles "exitCodes" into
// "_exit_code_map" of the same definition when it is valid. Returns the error
// texts in order; empty when the definition is acceptable.
std::vector<std::string> validate_alias_definition(nlohmann::ordered_json& alias_cfg,
                                                   std::optional<std::int64_t> max_timeout);

// The parameters with every absent parameter that has a default filled in.
nlohmann::ordered_json apply_defaults(const nlohmann::ordered_json& params,
                                      const nlohmann::ordered_json& alias_cfg);

// Messages in parameter order, then unknown names in the request's order.
std::vector<std::string> validate_parameters(const nlohmann::ordered_json& params,
                                             const nlohmann::ordered_json& alias_cfg);

struct ExitStatus {
  int status = 200;
  std::optional<std::string> reason;
};

// exit_code_map is the alias's "_exit_code_map" entry or nullptr.
ExitStatus resolve_exit_status(const nlohmann::ordered_json* exit_code_map,
                               std::optional<std::int64_t> returncode);

}  // namespace velquin::validator
