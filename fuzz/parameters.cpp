// Parameter validation against a fuzzed definition. Input: one alias
// definition in YAML, a line holding only "===", and the request's JSON object.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "config/alias_parser.h"
#include "support/yaml_value.h"
#include "validator/validator.h"

namespace {

using Json = nlohmann::ordered_json;

std::string_view next_section(std::string_view& rest) {
  const auto end = rest.find("\n===\n");
  const std::string_view section = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 5);
  return section;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view definition = next_section(rest);
  const std::string_view request = rest;

  Json alias;
  try {
    alias = velquin::support::parse_yaml(definition);
  } catch (const velquin::support::YamlError&) {
    return 0;
  }
  if (!alias.is_object()) {
    return 0;
  }
  // Requests reach validation only for definitions the loader accepted.
  const velquin::config::ParsedAlias parsed =
      velquin::config::parse_alias("fuzz", std::move(alias), 3600);
  if (!parsed.errors.empty()) {
    return 0;
  }
  const velquin::alias::Alias& alias_def = *parsed.alias;
  Json params = Json::parse(request, nullptr, false);
  if (params.is_discarded() || !params.is_object()) {
    return 0;
  }
  if (!velquin::validator::validate_parameters(params, alias_def).empty()) {
    return 0;
  }
  // Defaults are filled after validation: an accepted definition's defaults
  // must not turn an accepted request into a refused one.
  Json filled = params;
  velquin::validator::apply_defaults(filled, alias_def);
  if (!velquin::validator::validate_parameters(filled, alias_def).empty()) {
    std::abort();
  }
  for (const auto code : {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
                          std::optional<std::int64_t>(1), std::optional<std::int64_t>(255),
                          std::optional<std::int64_t>(-9)}) {
    const auto status = velquin::validator::resolve_exit_status(alias_def.exit_codes, code);
    if (status.status < 100 || status.status > 599) {
      std::abort();
    }
  }
  return 0;
}
