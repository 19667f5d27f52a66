// The rules of an alias's parameters, its command's quoting and its exit
// statuses. The typed parameters are built as they are checked.

#include <re2/re2.h>

#include <algorithm>
#include <cctype>

#include "config/alias_checks.h"
#include "config/pattern_cache.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "validator/validator.h"

namespace velquin::config::detail {

namespace {

using alias::ParameterType;
using support::quoted;
using validator::as_boolean;
using validator::as_integer;
using validator::as_number;

const std::set<std::string_view> PARAMETER_KEYS = {"type", "required", "default", "pattern",
                                                   "choices", "min", "max", "min_length",
                                                   "max_length", "description",
                                                   // taken from the event a webhook delivers
                                                   "from", "header"};
const std::map<std::string_view, ParameterType> PARAMETER_TYPES = {
    {"string", ParameterType::string},
    {"integer", ParameterType::integer},
    {"number", ParameterType::number},
    {"boolean", ParameterType::boolean}};
std::string_view type_name(ParameterType type) {
  for (const auto& [name, value] : PARAMETER_TYPES) {
    if (value == type) {
      return name;
    }
  }
  return "string";
}

std::string choice_text(const Json& value) {
  return value.is_string() ? quoted(value.get_ref<const std::string&>())
                           : support::value_text(value);
}

std::string choices_text(const Json& choices) {
  std::string out = "[";
  bool first = true;
  for (const auto& choice : choices) {
    if (!first) {
      out += ", ";
    }
    first = false;
    out += choice_text(choice);
  }
  return out + "]";
}

// The choices in the parameter's own type; each was checked to be valid for it.
alias::Choices typed_choices(ParameterType type, const Json& choices) {
  alias::Choices out;
  out.text = choices_text(choices);
  for (const auto& choice : choices) {
    switch (type) {
    case ParameterType::integer:
      out.integers.push_back(*as_integer(choice));
      break;
    case ParameterType::number:
      out.numbers.push_back(*as_number(choice));
      break;
    case ParameterType::boolean:
      out.booleans.push_back(*as_boolean(choice));
      break;
    case ParameterType::string:
      out.texts.push_back(choice.get<std::string>());
      break;
    }
  }
  return out;
}

bool valid_parameter_name(std::string_view name) {
  if (name.empty()) {
    return false;
  }
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) {
      return false;
    }
  }
  return true;
}

}  // namespace

ParameterType parameter_type(const Json& def) {
  if (const Json* type = given(def, "type"); type != nullptr && type->is_string()) {
    const auto it = PARAMETER_TYPES.find(type->get_ref<const std::string&>());
    if (it != PARAMETER_TYPES.end()) {
      return it->second;
    }
  }
  return ParameterType::string;
}

void DefinitionChecker::parameters(const Json& alias_cfg) {
  const Json* params = given(alias_cfg, "parameters");
  if (params == nullptr) {
    return;
  }
  if (!params->is_object()) {
    error("parameters must be a mapping");
    return;
  }
  // Declare every name first so that references are judged against all of them.
  for (const auto& [name, def] : params->items()) {
    DeclaredParameter info;
    info.type = parameter_type(def);
    info.restricted = given(def, "pattern") != nullptr || given(def, "choices") != nullptr;
    declared_.emplace(name, info);
  }
  for (const auto& [name, def] : params->items()) {
    parameter(name, def);
  }
}

void DefinitionChecker::parameter(const std::string& name, const Json& def) {
  const std::string where = "parameter " + quoted(name) + ": ";
  const std::size_t before = errors_.size();
  alias::Parameter& built = out_.parameters.emplace_back();
  built.name = name;
  built.raw_word = raw_words_.contains(name);
  if (name == RUN_DIR) {
    error("parameter name 'run_dir' is reserved");
  } else if (name == REQUEST_BODY) {
    error("parameter name 'request_body' is reserved");
  } else if (!valid_parameter_name(name)) {
    error("parameter name " + quoted(name) + " may only hold letters, digits, '_', '-' and '.'");
  }
  if (def.is_null()) {
    return;  // "name:" alone: an optional text parameter
  }
  if (!def.is_object()) {
    error("parameter " + quoted(name) + " must be a mapping");
    return;
  }
  unknown_keys(def, PARAMETER_KEYS, where);

  const Json* type = given(def, "type");
  if (type != nullptr &&
      !(type->is_string() && PARAMETER_TYPES.contains(type->get<std::string>()))) {
    error(where + "type must be one of string, integer, number, boolean");
    return;
  }
  const ParameterType typ = parameter_type(def);
  const std::string typ_name(type_name(typ));
  const bool numeric = typ == ParameterType::integer || typ == ParameterType::number;
  built.type = typ;
  optional_boolean(def, "required", where + "required");
  const Json* required = member(def, "required");
  built.required = required != nullptr && required->is_boolean() && required->get<bool>();
  optional_text(def, "description", where + "description");
  event_source(def, where, built);

  if (const Json* pattern = given(def, "pattern"); pattern != nullptr) {
    if (typ != ParameterType::string) {
      error(where + "pattern applies to string parameters only");
    } else if (!pattern->is_string()) {
      error(where + "pattern must be a text");
    } else {
      auto re = compiled_pattern(pattern->get<std::string>());
      if (!re->ok()) {
        error(where + "pattern does not compile: " + re->error());
      } else {
        built.pattern = std::move(re);
      }
    }
  }
  if (const Json* choices = given(def, "choices"); choices != nullptr) {
    if (!choices->is_array() || choices->empty()) {
      error(where + "choices must be a non-empty list");
    } else {
      alias::Parameter type_only;
      type_only.name = name;
      type_only.type = typ;
      const std::size_t choices_before = errors_.size();
      for (const auto& choice : *choices) {
        std::vector<std::string> problems;
        validator::check_value(type_only, choice, problems);
        if (!problems.empty()) {
          error(where + "choice " + choice_text(choice) + " is not a valid " + typ_name);
        } else if (built.raw_word && !tmpl::is_plain_word_value(choice)) {
          error(where + "choice " + choice_text(choice) + " is not a plain word (" +
                std::string(tmpl::PLAIN_WORD_CHARACTERS) + ")");
        }
      }
      if (errors_.size() == choices_before) {
        built.choices = typed_choices(typ, *choices);
      }
    }
  }
  for (const char* key : {"min", "max"}) {
    const Json* bound = given(def, key);
    if (bound == nullptr) {
      continue;
    }
    if (!numeric) {
      error(where + key + " applies to integer and number parameters only");
    } else if (!is_plain_number(*bound) || !as_number(*bound)) {
      error(where + key + " must be a number");
    } else {
      (std::string_view(key) == "min" ? built.min : built.max) =
          alias::Number{*as_number(*bound), support::value_text(*bound)};
    }
  }
  if (const Json* min = given(def, "min"), *max = given(def, "max");
      min != nullptr && max != nullptr && as_number(*min) && as_number(*max) &&
      is_plain_number(*min) && is_plain_number(*max) && *as_number(*min) > *as_number(*max)) {
    error(where + "min is greater than max");
  }
  for (const char* key : {"min_length", "max_length"}) {
    const Json* bound = given(def, key);
    if (bound == nullptr) {
      continue;
    }
    if (typ != ParameterType::string) {
      error(where + key + " applies to string parameters only");
    } else if (!bound->is_number_integer() || bound->get<std::int64_t>() < 0) {
      error(where + key + " must be a whole number of at least 0");
    } else {
      (std::string_view(key) == "min_length" ? built.min_length : built.max_length) =
          bound->get<std::int64_t>();
    }
  }
  // The default is only judged against a definition that is itself sound.
  if (errors_.size() == before) {
    if (const Json* value = given(def, "default"); value != nullptr) {
      // Set first: a default the operator wrote is judged as the operator's.
      built.default_value = *value;
      std::vector<std::string> problems;
      validator::check_value(built, *value, problems);
      for (const auto& problem : problems) {
        error(where + "invalid default: " + problem);
      }
    }
  }
}

// `from` (a JSON pointer into the body) or `header` (a request header).
void DefinitionChecker::event_source(const Json& def, const std::string& where,
                                     alias::Parameter& built) {
  const Json* from = given(def, "from");
  const Json* header = given(def, "header");
  if (from != nullptr && header != nullptr) {
    error(where + "from and header exclude each other");
    return;
  }
  if (from != nullptr) {
    try {
      if (!from->is_string() || from->get_ref<const std::string&>().empty()) {
        throw std::invalid_argument("empty");
      }
      (void)Json::json_pointer(from->get<std::string>());
      built.from = from->get<std::string>();
    } catch (const std::exception&) {
      error(where + "from must be a JSON pointer such as '/repository/full_name'");
    }
  }
  if (header != nullptr) {
    const bool token =
        header->is_string() && !header->get_ref<const std::string&>().empty() &&
        std::all_of(header->get_ref<const std::string&>().begin(),
                    header->get_ref<const std::string&>().end(), [](char c) {
                      return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                             std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
                    });
    if (!token) {
      error(where + "header must be a header name such as 'X-GitHub-Event'");
    } else {
      built.header = header->get<std::string>();
    }
  }
}

void DefinitionChecker::command_lint(const std::optional<tmpl::Command>& command) {
  if (!command) {
    return;  // a syntax error: reported by the template check
  }
  std::set<std::string> reported;
  auto once = [&](std::string text) {
    if (reported.insert(text).second) {
      error(std::move(text));
    }
  };
  for (const auto& [ref, context] : command->references()) {
    const auto it = declared_.find(ref.name);
    if (ref.name == RUN_DIR || it == declared_.end()) {
      continue;
    }
    if (!tmpl::can_quote(context)) {
      once("command inserts parameter " + quoted(ref.name) + " in " +
           std::string(tmpl::context_name(context)) + "; it cannot be quoted there");
    }
    // Integers, numbers and booleans are checked to a strict shape; texts are not.
    if (ref.filter == "shell" || it->second.type != ParameterType::string ||
        it->second.restricted) {
      continue;
    }
    once("command inserts parameter " + quoted(ref.name) + " unquoted; write {{ " + ref.name +
         " | shell }} or restrict it with pattern or choices");
  }
}

// A final response never carries a 1xx status, so exit codes map to 200-599.
namespace {

bool valid_status(std::int64_t status) {
  return status >= 200 && status <= 599;
}

bool is_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "3", "-9" or "default"; the key in its canonical form, or nullopt.
std::optional<std::string> exit_code_key(const std::string& key) {
  if (key == "default") {
    return key;
  }
  const auto code = as_integer(Json(key));
  if (!code || key.front() == '+') {
    return std::nullopt;
  }
  return std::to_string(*code);
}

// 422, "422" or "422 Bad Input".
std::optional<alias::HttpStatus> compile_status(const Json& value) {
  alias::HttpStatus result;
  std::int64_t status = 0;
  if (value.is_number_integer()) {
    const auto integer = as_integer(value);
    if (!integer) {
      return std::nullopt;
    }
    status = *integer;
  } else if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    const auto space = text.find(' ');
    const std::string digits = text.substr(0, space);
    if (digits.size() != 3 || !is_digits(digits)) {
      return std::nullopt;
    }
    status = std::stoi(digits);
    if (space != std::string::npos) {
      std::string phrase = text.substr(space + 1);
      while (!phrase.empty() && phrase.front() == ' ') {
        phrase.erase(0, 1);
      }
      while (!phrase.empty() && phrase.back() == ' ') {
        phrase.pop_back();
      }
      // The reason goes into the status line: nothing that could end it.
      if (phrase.empty() || has_control_characters(phrase)) {
        return std::nullopt;
      }
      result.reason = phrase;
    }
  } else {
    return std::nullopt;
  }
  if (!valid_status(status)) {
    return std::nullopt;
  }
  result.status = static_cast<int>(status);
  return result;
}

void put_exit_code(alias::ExitCodeMap& map, const std::string& canonical,
                   alias::HttpStatus status) {
  if (canonical == "default") {
    map.fallback = std::move(status);
  } else {
    map.codes[*as_integer(Json(canonical))] = std::move(status);
  }
}

// A hand-written compiled map ({"3": {status, reason}}) is taken when sound;
// "exitCodes" is the documented form.
}  // namespace

void DefinitionChecker::exit_codes(const Json& alias_cfg) {
  const Json* codes = given(alias_cfg, "exitCodes");
  if (codes == nullptr) {
    if (const Json* compiled = given(alias_cfg, "_exit_code_map"); compiled != nullptr) {
      bool ok = compiled->is_object();
      alias::ExitCodeMap map;
      if (ok) {
        for (const auto& [key, entry] : compiled->items()) {
          const Json* status = given(entry, "status");
          const Json* reason = member(entry, "reason");
          ok = ok && exit_code_key(key) == key && status != nullptr &&
               status->is_number_integer() && valid_status(status->get<std::int64_t>()) &&
               (reason == nullptr || reason->is_null() ||
                (reason->is_string() && !has_control_characters(reason->get<std::string>())));
          if (ok) {
            alias::HttpStatus http{static_cast<int>(status->get<std::int64_t>()), std::nullopt};
            if (reason != nullptr && reason->is_string()) {
              http.reason = reason->get<std::string>();
            }
            put_exit_code(map, key, std::move(http));
          }
        }
      }
      if (!ok) {
        error("_exit_code_map must map exit statuses or 'default' to {status, reason}");
      } else {
        out_.exit_codes = std::move(map);
      }
    }
    return;
  }
  if (!codes->is_object()) {
    error("exitCodes must be a mapping from exit status to HTTP status");
    return;
  }
  alias::ExitCodeMap map;
  for (const auto& [key, value] : codes->items()) {
    const auto canonical = exit_code_key(key);
    if (!canonical) {
      error("exitCodes: key " + quoted(key) + " must be an exit status or 'default'");
      continue;
    }
    const auto status = compile_status(value);
    if (!status) {
      error("exitCodes: entry " + quoted(key) +
            " must be an HTTP status from 200 to 599, optionally followed by a reason");
      continue;
    }
    put_exit_code(map, *canonical, *status);
  }
  out_.exit_codes = std::move(map);
}

}  // namespace velquin::config::detail
