#pragma once

// Typed aliases for tests, made by the loader's own parser (link config).

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "config/alias_parser.h"
#include "support/yaml_value.h"

namespace velquin::testing {

// The alias of a definition given as JSON; a definition the checks refuse
// fails the test (and throws, so that nothing runs on it).
inline alias::AliasPtr make_alias(nlohmann::ordered_json definition,
                                  const std::string& name = "alias") {
  config::ParsedAlias parsed = config::parse_alias(name, std::move(definition), std::nullopt);
  if (!parsed.errors.empty()) {
    std::string all;
    for (const auto& error : parsed.errors) {
      all += "\n  " + error;
    }
    ADD_FAILURE() << "the definition is refused:" << all;
    throw std::invalid_argument("refused definition");
  }
  return parsed.alias;
}

// The same from YAML text.
inline alias::AliasPtr yaml_alias(const std::string& yaml, const std::string& name = "alias") {
  return make_alias(support::parse_yaml(yaml), name);
}

}  // namespace velquin::testing
