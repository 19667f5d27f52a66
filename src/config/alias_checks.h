#pragma once

// Inside the config module only: the checks of one alias definition, shared
// by the parser that builds the typed alias from what they accept.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"

namespace velquin::config::detail {

// What the checks learned on the way, for the parser to keep.
struct CheckedDefinition {
  std::vector<std::string> errors;           // in the order found
  std::vector<alias::Parameter> parameters;  // complete only when errors is empty
  std::optional<tmpl::Command> command;      // when the command parsed
  alias::ExitCodeMap exit_codes;
  std::optional<std::int64_t> concurrency;
  std::int64_t queue = 0;
  alias::RunLimits limits;
};

// Every rule of the definition format, messages in a fixed order: unknown
// keys, type, parameters, command, type-specific keys, the other entries,
// then the command's quoting.
CheckedDefinition check_definition(const nlohmann::ordered_json& alias_cfg,
                                   std::optional<std::int64_t> max_timeout);

using Json = nlohmann::ordered_json;

inline constexpr std::string_view RUN_DIR = "run_dir";
// The raw request body, for input file contents only.
inline constexpr std::string_view REQUEST_BODY = "request_body";

inline const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Present and not null.
inline const Json* given(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return (value == nullptr || value->is_null()) ? nullptr : value;
}

// Present with content: an empty text, list or mapping says nothing.
inline bool non_empty(const Json& object, std::string_view key) {
  const Json* value = given(object, key);
  if (value == nullptr) {
    return false;
  }
  if (value->is_string()) {
    return !value->get_ref<const std::string&>().empty();
  }
  return !((value->is_array() || value->is_object()) && value->empty());
}

inline bool is_plain_number(const Json& value) {
  return value.is_number() && !value.is_boolean();
}

inline bool has_control_characters(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return true;
    }
  }
  return false;
}

// A parameter's declared type; "string" when absent or not one of the four.
alias::ParameterType parameter_type(const Json& def);

struct DeclaredParameter {
  alias::ParameterType type = alias::ParameterType::string;
  bool restricted = false;  // has a pattern or choices
};

// Collects the messages of one definition in order, and what the parser keeps.
class DefinitionChecker {
 public:
  explicit DefinitionChecker(CheckedDefinition& out) : out_(out), errors_(out.errors) {}

  void error(std::string text) { errors_.push_back(std::move(text)); }

  void unknown_keys(const Json& object, const std::set<std::string_view>& allowed,
                    const std::string& where);
  // A text template: syntax, filters and references.
  void check_template(const std::string& label, const std::string& text,
                      bool request_body_allowed = false);
  // An optional text entry that is a template.
  void optional_template(const Json& object, std::string_view key, const std::string& label);
  void optional_text(const Json& object, std::string_view key, const std::string& label);
  void optional_boolean(const Json& object, std::string_view key, const std::string& label);
  // The parameters that the command inserts raw (no filter, or | json) where
  // the shell reads a word: only a plain word is safe there.
  void note_raw_words(const std::optional<tmpl::Command>& command);

  void parameters(const Json& alias_cfg);
  void parameter(const std::string& name, const Json& def);
  void event_source(const Json& def, const std::string& where, alias::Parameter& built);
  void timeout(const Json& alias_cfg, std::optional<std::int64_t> max_timeout);
  void environment(const Json& alias_cfg);
  void files(const Json& alias_cfg);
  void volumes(const Json& alias_cfg);
  void output(const Json& alias_cfg);
  void preserve_streams(const Json& alias_cfg);
  void exit_codes(const Json& alias_cfg);
  // concurrency and queue; limits (alias_check_limits.cpp).
  void admission(const Json& alias_cfg);
  void limits(const Json& alias_cfg);
  void live_output(const Json& alias_cfg, bool container);
  void command_lint(const std::optional<tmpl::Command>& command);

 private:
  CheckedDefinition& out_;
  std::vector<std::string>& errors_;
  std::map<std::string, DeclaredParameter, std::less<>> declared_;  // every parameter name
  std::set<std::string, std::less<>> raw_words_;
};

}  // namespace velquin::config::detail
