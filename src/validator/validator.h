#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"

namespace velquin::validator {

// Messages in parameter order, then unknown names in the request's order.
std::vector<std::string> validate_parameters(const nlohmann::ordered_json& params,
                                             const alias::Alias& alias_def);

// Fills in place every absent (or null) parameter that has a default.
void apply_defaults(nlohmann::ordered_json& params, const alias::Alias& alias_def);

// Appends the messages for one present, non-null value of the parameter; the
// loader judges defaults and choices with it too.
void check_value(const alias::Parameter& def, const nlohmann::ordered_json& value,
                 std::vector<std::string>& errors);

// Typed readings of a value. Form fields arrive as text, so text forms count,
// but only in a strict shape: a value that passes as a number can never carry
// shell syntax into a command.
std::optional<std::int64_t> as_integer(const nlohmann::ordered_json& value);
std::optional<long double> as_number(const nlohmann::ordered_json& value);
std::optional<bool> as_boolean(const nlohmann::ordered_json& value);

struct ExitStatus {
  int status = 200;
  std::optional<std::string> reason;
};

// Listed code, else 0 -> (200, none), else the default entry, else (500,
// "Internal Server Error"). A status other than 200 always has a reason.
ExitStatus resolve_exit_status(const alias::ExitCodeMap& exit_codes,
                               std::optional<std::int64_t> returncode);

}  // namespace velquin::validator
