#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"

namespace velquin::config {

struct ParsedAlias {
  alias::AliasPtr alias;            // set exactly when errors is empty
  std::vector<std::string> errors;  // in the order found
};

// One alias definition (a YAML mapping, as read) as a typed alias, or every
// message of the definition checks. Its "name" becomes the alias name. Never
// throws for bad content.
ParsedAlias parse_alias(const std::string& name, nlohmann::ordered_json definition,
                        std::optional<std::int64_t> max_timeout);

}  // namespace velquin::config
