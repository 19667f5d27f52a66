// Parameter validation against a fuzzed definition. Input: one alias
// definition in YAML, a line holding only "===", and the request's JSON object.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

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
  alias["name"] = "fuzz";
  // Requests reach validation only for definitions the loader accepted.
  if (!velquin::validator::validate_alias_definition(alias, 3600).empty()) {
    return 0;
  }
  Json params = Json::parse(request, nullptr, false);
  if (params.is_discarded() || !params.is_object()) {
    return 0;
  }
  if (!velquin::validator::validate_parameters(params, alias).empty()) {
    return 0;
  }
  // The executor validates again once defaults are in: an accepted definition's
  // defaults must not turn an accepted request into a refused one.
  const Json filled = velquin::validator::apply_defaults(params, alias);
  if (!velquin::validator::validate_parameters(filled, alias).empty()) {
    std::abort();
  }
  const Json* exit_codes = alias.contains("_exit_code_map") ? &alias["_exit_code_map"] : nullptr;
  for (const auto code : {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
                          std::optional<std::int64_t>(1), std::optional<std::int64_t>(255),
                          std::optional<std::int64_t>(-9)}) {
    const auto status = velquin::validator::resolve_exit_status(exit_codes, code);
    if (status.status < 100 || status.status > 599) {
      std::abort();
    }
  }
  return 0;
}
