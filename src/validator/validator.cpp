#include "validator/validator.h"

#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <unordered_map>

#include <re2/re2.h>

#include "preserve/preserve.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "template/template.h"

namespace velquin::validator {

namespace {

using Json = nlohmann::ordered_json;
using support::quoted;

const std::set<std::string_view> ALIAS_KEYS = {
    "type",    "command",     "image",   "parameters",    "timeout",         "environment",
    "user",    "files",       "volumes", "output",        "preserveStreams", "exitCodes",
    "network", "description", "name",    "_exit_code_map"};
const std::set<std::string_view> PARAMETER_KEYS = {
    "type", "required", "default",    "pattern",    "choices",
    "min",  "max",      "min_length", "max_length", "description"};
const std::set<std::string_view> PARAMETER_TYPES = {"string", "integer", "number", "boolean"};
const std::set<std::string_view> FILE_KEYS = {"location", "content"};
const std::set<std::string_view> VOLUME_KEYS = {"source", "location", "content",
                                                "mode",   "preserve", "preservePrefix"};
const std::set<std::string_view> OUTPUT_KEYS = {"single_value", "multiple_values"};
const std::set<std::string_view> SINGLE_VALUE_KEYS = {"source", "content-type"};
const std::set<std::string_view> MULTIPLE_VALUE_KEYS = {"parameter_name", "source"};
const std::set<std::string_view> STREAM_KEYS = {"stream", "filename", "flatten"};
const std::set<std::string_view> STREAM_NAMES = {"stdout", "stderr"};

constexpr std::string_view RUN_DIR = "run_dir";

// ---------------------------------------------------------------------------
// Compiled parameter patterns, shared by every request thread.

std::mutex pattern_cache_lock;
// Guarded by pattern_cache_lock. Patterns come only from alias files, so the
// cache stays small; it is cleared wholesale if reloads ever make it large.
std::unordered_map<std::string, std::shared_ptr<const re2::RE2>> pattern_cache;

std::shared_ptr<const re2::RE2> compile_pattern(const std::string& pattern, std::string* error) {
  {
    std::lock_guard lock(pattern_cache_lock);
    const auto it = pattern_cache.find(pattern);
    if (it != pattern_cache.end()) {
      return it->second;
    }
  }
  re2::RE2::Options options;
  options.set_log_errors(false);
  auto re = std::make_shared<const re2::RE2>(pattern, options);
  if (!re->ok()) {
    if (error != nullptr) {
      *error = re->error();
    }
    return nullptr;
  }
  std::lock_guard lock(pattern_cache_lock);
  if (pattern_cache.size() >= 4096) {
    pattern_cache.clear();
  }
  pattern_cache.emplace(pattern, re);
  return re;
}

// ---------------------------------------------------------------------------
// Typed reading of parameter values. Form fields arrive as text, so the
// text forms are accepted, but only in a strict shape: a value that passes as
// a number can never carry shell syntax into a command.

bool is_digits(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

std::optional<std::int64_t> as_integer(const Json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return value.get<std::int64_t>();
  }
  if (!value.is_string()) {
    return std::nullopt;
  }
  std::string_view text = value.get_ref<const std::string&>();
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  if (!is_digits(digits)) {
    return std::nullopt;
  }
  if (text.front() == '+') {
    text.remove_prefix(1);
  }
  std::int64_t result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return result;
}

// [+-] digits [. digits] [e [+-] digits], with at least one digit before the exponent.
bool is_decimal_text(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    ++i;
  }
  std::size_t mantissa_digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    ++i;
    ++mantissa_digits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      ++i;
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0) {
    return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      ++i;
    }
    if (!is_digits(text.substr(i))) {
      return false;
    }
    i = text.size();
  }
  return i == text.size();
}

std::optional<long double> as_number(const Json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      return static_cast<long double>(value.get<std::uint64_t>());
    }
    return static_cast<long double>(value.get<std::int64_t>());
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d)) {
      return std::nullopt;
    }
    return d;
  }
  if (!value.is_string()) {
    return std::nullopt;
  }
  std::string_view text = value.get_ref<const std::string&>();
  if (!is_decimal_text(text)) {
    return std::nullopt;
  }
  if (text.front() == '+') {
    text.remove_prefix(1);
  }
  double result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(result)) {
    return std::nullopt;
  }
  return result;
}

std::optional<bool> as_boolean(const Json& value) {
  if (value.is_boolean()) {
    return value.get<bool>();
  }
  // Only the exact words: the text is what a command receives, and a command
  // testing for "true" must not be handed "TRUE".
  if (value == "true") {
    return true;
  }
  if (value == "false") {
    return false;
  }
  return std::nullopt;
}

bool is_plain_number(const Json& value) {
  return value.is_number() && !value.is_boolean();
}

std::size_t utf8_length(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++count;
    }
  }
  return count;
}

std::string parameter_type(const Json& def) {
  if (def.is_object()) {
    const auto it = def.find("type");
    if (it != def.end() && it->is_string()) {
      return it->get<std::string>();
    }
  }
  return "string";
}

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Present and not null.
const Json* given(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return (value == nullptr || value->is_null()) ? nullptr : value;
}

// Present with content: an empty text, list or mapping says nothing.
bool non_empty(const Json& object, std::string_view key) {
  const Json* value = given(object, key);
  if (value == nullptr) {
    return false;
  }
  if (value->is_string()) {
    return !value->get_ref<const std::string&>().empty();
  }
  return !((value->is_array() || value->is_object()) && value->empty());
}

bool has_default(const Json& def) {
  return given(def, "default") != nullptr;
}

bool is_required(const Json& def) {
  const Json* required = member(def, "required");
  return required != nullptr && required->is_boolean() && required->get<bool>();
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

bool same_value(const std::string& type, const Json& choice, const Json& value) {
  if (type == "integer") {
    const auto a = as_integer(choice);
    return a && a == as_integer(value);
  }
  if (type == "number") {
    const auto a = as_number(choice);
    return a && a == as_number(value);
  }
  if (type == "boolean") {
    const auto a = as_boolean(choice);
    return a && a == as_boolean(value);
  }
  return choice.is_string() && value.is_string() && choice == value;
}

// An empty text inserted raw as a word of its own makes that word vanish, and
// the words after it move up one place (`tar -C {{ dir }} -xf a.tar`). Only the
// operator may choose that: as one of the choices, or as the default.
bool client_empty_word(const Json& def, const Json& value) {
  if (!value.is_string() || !value.get_ref<const std::string&>().empty()) {
    return false;
  }
  const Json* default_value = given(def, "default");
  return given(def, "choices") == nullptr && (default_value == nullptr || *default_value != value);
}

std::string plain_word_error(const std::string& who) {
  return who + " must be a plain word (" + std::string(tmpl::PLAIN_WORD_CHARACTERS) + ")";
}

// Checks one present, non-null value against its definition; appends the messages.
// plain_word: the command inserts the value raw where the shell reads a word.
void check_value(const std::string& name, const Json& def, const Json& value,
                 std::vector<std::string>& errors, bool plain_word = false) {
  const std::string type = parameter_type(def);
  const std::string who = quoted(name);
  std::optional<long double> number;
  if (type == "integer") {
    const auto integer = as_integer(value);
    if (!integer) {
      errors.push_back(who + " must be an integer");
      return;
    }
    number = static_cast<long double>(*integer);
  } else if (type == "number") {
    number = as_number(value);
    if (!number) {
      errors.push_back(who + " must be a number");
      return;
    }
  } else if (type == "boolean") {
    if (!as_boolean(value)) {
      errors.push_back(who + " must be a boolean");
      return;
    }
  } else if (!value.is_string()) {
    errors.push_back(who + " must be a string");
    return;
  }

  if (const Json* choices = given(def, "choices"); choices != nullptr && choices->is_array()) {
    bool found = false;
    for (const auto& choice : *choices) {
      found = found || same_value(type, choice, value);
    }
    if (!found) {
      errors.push_back(who + " must be one of " + choices_text(*choices));
    }
  }
  if (value.is_string() && type == "string") {
    const std::string& text = value.get_ref<const std::string&>();
    if (const Json* pattern = given(def, "pattern"); pattern != nullptr && pattern->is_string()) {
      const auto re = compile_pattern(pattern->get<std::string>(), nullptr);
      // A pattern that does not compile matches nothing: fail closed.
      if (!re || !re2::RE2::FullMatch(text, *re)) {
        errors.push_back(who + " does not match the required pattern");
      }
    }
    const std::size_t length = utf8_length(text);
    if (const Json* min_length = given(def, "min_length");
        min_length != nullptr && min_length->is_number_integer() &&
        static_cast<long double>(length) <
            static_cast<long double>(min_length->get<std::int64_t>())) {
      errors.push_back(who + " must be at least " + support::value_text(*min_length) +
                       " characters long");
    }
    if (const Json* max_length = given(def, "max_length");
        max_length != nullptr && max_length->is_number_integer() &&
        static_cast<long double>(length) >
            static_cast<long double>(max_length->get<std::int64_t>())) {
      errors.push_back(who + " must be at most " + support::value_text(*max_length) +
                       " characters long");
    }
  }
  if (number) {
    if (const Json* min = given(def, "min");
        min != nullptr && is_plain_number(*min) && *number < *as_number(*min)) {
      errors.push_back(who + " must be at least " + support::value_text(*min));
    }
    if (const Json* max = given(def, "max");
        max != nullptr && is_plain_number(*max) && *number > *as_number(*max)) {
      errors.push_back(who + " must be at most " + support::value_text(*max));
    }
  }
  if (plain_word && (!tmpl::is_plain_word_value(value) || client_empty_word(def, value))) {
    errors.push_back(plain_word_error(who));
  }
}

tmpl::Interpreter interpreter_of(const Json& alias_cfg) {
  const Json* type = given(alias_cfg, "type");
  return (type != nullptr && *type == "container") ? tmpl::Interpreter::container
                                                   : tmpl::Interpreter::shell;
}

// The parameters that the command inserts raw (no filter, or | json) where the
// shell reads a word: only a plain word is safe there.
std::set<std::string, std::less<>> raw_word_names(const Json& alias_cfg) {
  std::set<std::string, std::less<>> names;
  const Json* command = given(alias_cfg, "command");
  if (command == nullptr || !command->is_string()) {
    return names;
  }
  try {
    for (const auto& ref : tmpl::command_references(command->get_ref<const std::string&>(),
                                                    interpreter_of(alias_cfg))) {
      if (ref.ref.name != RUN_DIR && ref.ref.filter != "shell" &&
          ref.context == tmpl::ShellContext::bare) {
        names.insert(ref.ref.name);
      }
    }
  } catch (const tmpl::RenderError&) {
    // Reported by the template check; such a command never renders.
  }
  return names;
}

// ---------------------------------------------------------------------------
// Alias definition checks.

struct DeclaredParameter {
  std::string type;
  bool restricted = false;  // has a pattern or choices
};
using Declared = std::map<std::string, DeclaredParameter, std::less<>>;

class DefinitionChecker {
 public:
  explicit DefinitionChecker(std::vector<std::string>& errors) : errors_(errors) {}

  void error(std::string text) { errors_.push_back(std::move(text)); }

  void unknown_keys(const Json& object, const std::set<std::string_view>& allowed,
                    const std::string& where) {
    for (const auto& [key, value] : object.items()) {
      if (!allowed.contains(key)) {
        error(where + "unknown key " + quoted(key));
      }
    }
  }

  // A text template: syntax, filters and references. Returns the references.
  std::vector<tmpl::Reference> check_template(const std::string& label, const std::string& text) {
    std::vector<tmpl::Reference> refs;
    try {
      refs = tmpl::references(text);
    } catch (const tmpl::RenderError& e) {
      error(label + ": " + e.what());
      return {};
    }
    for (const auto& ref : refs) {
      if (!ref.filter.empty() && ref.filter != "shell" && ref.filter != "json") {
        error(label + ": unknown template filter " + quoted(ref.filter));
      }
      if (ref.name != RUN_DIR && !declared.contains(ref.name)) {
        error(label + " references undeclared parameter " + quoted(ref.name));
      }
    }
    return refs;
  }

  // An optional text entry that is a template.
  void optional_template(const Json& object, std::string_view key, const std::string& label) {
    const Json* value = given(object, key);
    if (value == nullptr) {
      return;
    }
    if (!value->is_string()) {
      error(label + " must be a text");
      return;
    }
    check_template(label, value->get<std::string>());
  }

  void optional_text(const Json& object, std::string_view key, const std::string& label) {
    const Json* value = given(object, key);
    if (value != nullptr && !value->is_string()) {
      error(label + " must be a text");
    }
  }

  void optional_boolean(const Json& object, std::string_view key, const std::string& label) {
    const Json* value = given(object, key);
    if (value != nullptr && !value->is_boolean()) {
      error(label + " must be true or false");
    }
  }

  void parameters(const Json& alias_cfg);
  void parameter(const std::string& name, const Json& def);
  void timeout(const Json& alias_cfg, std::optional<std::int64_t> max_timeout);
  void environment(const Json& alias_cfg);
  void files(const Json& alias_cfg);
  void volumes(const Json& alias_cfg);
  void output(const Json& alias_cfg);
  void preserve_streams(const Json& alias_cfg);
  void command_lint(const std::string& command, tmpl::Interpreter interpreter);

  Declared declared;
  std::set<std::string, std::less<>> raw_words;

 private:
  std::vector<std::string>& errors_;
};

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
    declared.emplace(name, info);
  }
  for (const auto& [name, def] : params->items()) {
    parameter(name, def);
  }
}

void DefinitionChecker::parameter(const std::string& name, const Json& def) {
  const std::string where = "parameter " + quoted(name) + ": ";
  const std::size_t before = errors_.size();
  if (name == RUN_DIR) {
    error("parameter name 'run_dir' is reserved");
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
  const std::string typ = parameter_type(def);
  const bool numeric = typ == "integer" || typ == "number";
  optional_boolean(def, "required", where + "required");
  optional_text(def, "description", where + "description");

  if (const Json* pattern = given(def, "pattern"); pattern != nullptr) {
    if (typ != "string") {
      error(where + "pattern applies to string parameters only");
    } else if (!pattern->is_string()) {
      error(where + "pattern must be a text");
    } else {
      std::string message;
      if (!compile_pattern(pattern->get<std::string>(), &message)) {
        error(where + "pattern does not compile: " + message);
      }
    }
  }
  if (const Json* choices = given(def, "choices"); choices != nullptr) {
    if (!choices->is_array() || choices->empty()) {
      error(where + "choices must be a non-empty list");
    } else {
      for (const auto& choice : *choices) {
        std::vector<std::string> problems;
        Json type_only = Json::object();
        type_only["type"] = typ;
        check_value(name, type_only, choice, problems);
        if (!problems.empty()) {
          error(where + "choice " + choice_text(choice) + " is not a valid " + typ);
        } else if (raw_words.contains(name) && !tmpl::is_plain_word_value(choice)) {
          error(where + "choice " + choice_text(choice) + " is not a plain word (" +
                std::string(tmpl::PLAIN_WORD_CHARACTERS) + ")");
        }
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
    if (typ != "string") {
      error(where + key + " applies to string parameters only");
    } else if (!bound->is_number_integer() || bound->get<std::int64_t>() < 0) {
      error(where + key + " must be a whole number of at least 0");
    }
  }
  // The default is only judged against a definition that is itself sound.
  if (errors_.size() == before) {
    if (const Json* value = given(def, "default"); value != nullptr) {
      std::vector<std::string> problems;
      check_value(name, def, *value, problems, raw_words.contains(name));
      for (const auto& problem : problems) {
        error(where + "invalid default: " + problem);
      }
    }
  }
}

void DefinitionChecker::timeout(const Json& alias_cfg, std::optional<std::int64_t> max_timeout) {
  const Json* value = given(alias_cfg, "timeout");
  if (value == nullptr) {
    return;
  }
  // 0 keeps its documented meaning: the default time limit.
  const auto seconds = is_plain_number(*value) ? as_number(*value) : std::nullopt;
  if (!seconds || *seconds < 0) {
    error("timeout must be a positive number of seconds");
    return;
  }
  if (max_timeout && *max_timeout > 0 && *seconds > static_cast<long double>(*max_timeout)) {
    error("timeout " + support::value_text(*value) + " exceeds MaxTimeout " +
          std::to_string(*max_timeout));
  }
}

void DefinitionChecker::environment(const Json& alias_cfg) {
  const Json* env = given(alias_cfg, "environment");
  if (env == nullptr) {
    return;
  }
  if (!env->is_object()) {
    error("environment must be a mapping");
    return;
  }
  for (const auto& [name, value] : env->items()) {
    const std::string label = "environment " + quoted(name);
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      error("environment variable name " + quoted(name) + " is not valid");
    }
    if (value.is_string()) {
      check_template(label, value.get<std::string>());
    } else if (!value.is_null() && !value.is_boolean() && !is_plain_number(value)) {
      // null is kept: it becomes the text "None", as stored alias files expect.
      error(label + " must be a text, number or boolean");
    }
  }
}

void DefinitionChecker::files(const Json& alias_cfg) {
  const Json* files = given(alias_cfg, "files");
  if (files == nullptr) {
    return;
  }
  if (!files->is_array()) {
    error("files must be a list of mappings");
    return;
  }
  for (std::size_t i = 0; i < files->size(); ++i) {
    const Json& entry = (*files)[i];
    const std::string where = "files[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, FILE_KEYS, where + ": ");
    const Json* location = given(entry, "location");
    if (location == nullptr || !location->is_string() || location->get<std::string>().empty()) {
      error(where + ".location must be a non-empty text");
    } else {
      check_template(where + ".location", location->get<std::string>());
    }
    optional_template(entry, "content", where + ".content");
  }
}

bool valid_preserve(const Json& value) {
  if (value.is_boolean()) {
    return true;
  }
  if (!value.is_string()) {
    return false;
  }
  std::string lower;
  for (char c : value.get_ref<const std::string&>()) {
    lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
  }
  for (const auto word : preserve::PRESERVE_VALUES) {
    if (lower == word) {
      return true;
    }
  }
  return false;
}

void DefinitionChecker::volumes(const Json& alias_cfg) {
  const Json* volumes = given(alias_cfg, "volumes");
  if (volumes == nullptr) {
    return;
  }
  if (!volumes->is_array()) {
    error("volumes must be a list of mappings");
    return;
  }
  for (std::size_t i = 0; i < volumes->size(); ++i) {
    const Json& entry = (*volumes)[i];
    const std::string where = "volumes[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, VOLUME_KEYS, where + ": ");
    const Json* location = given(entry, "location");
    if (location == nullptr || !location->is_string() ||
        !location->get<std::string>().starts_with('/')) {
      error(where + ".location must be an absolute path inside the container");
    }
    if (const Json* source = given(entry, "source"); source != nullptr) {
      if (!source->is_string()) {
        error(where + ".source must be a text");
      } else if (source->get<std::string>().empty()) {
        error(where + ".source must not be empty; leave it out for an automatic volume");
      } else if (!source->get<std::string>().starts_with('/')) {
        // Absolute sources are bound as written, never rendered.
        check_template(where + ".source", source->get<std::string>());
      }
    }
    optional_template(entry, "content", where + ".content");
    if (const Json* mode = given(entry, "mode"); mode != nullptr) {
      if (!mode->is_string() || (*mode != "rw" && *mode != "ro" && *mode != "")) {
        error(where + ".mode must be 'rw' or 'ro'");
      }
    }
    if (const Json* keep = given(entry, "preserve"); keep != nullptr && !valid_preserve(*keep)) {
      std::string words;
      for (const auto word : preserve::PRESERVE_VALUES) {
        words += (words.empty() ? "" : ", ") + quoted(word);
      }
      error(where + ".preserve must be true, false or one of " + words);
    }
    optional_text(entry, "preservePrefix", where + ".preservePrefix");
  }
}

bool has_control_characters(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return true;
    }
  }
  return false;
}

void DefinitionChecker::output(const Json& alias_cfg) {
  const Json* output = given(alias_cfg, "output");
  if (output == nullptr) {
    return;
  }
  if (!output->is_object()) {
    error("output must be a mapping with single_value or multiple_values");
    return;
  }
  unknown_keys(*output, OUTPUT_KEYS, "output: ");
  auto source_token = [this](const Json& entry, const std::string& where) {
    const Json* source = given(entry, "source");
    if (source == nullptr) {
      return;
    }
    if (!source->is_string()) {
      error(where + ".source must be a text");
    } else if (!source->get<std::string>().starts_with('%')) {
      check_template(where + ".source", source->get<std::string>());
    }
  };
  if (const Json* single = member(*output, "single_value"); single != nullptr) {
    if (!single->is_object()) {
      error("output.single_value must be a mapping with source");
    } else {
      unknown_keys(*single, SINGLE_VALUE_KEYS, "output.single_value: ");
      source_token(*single, "output.single_value");
      // The content type becomes a response header.
      if (const Json* type = given(*single, "content-type");
          type != nullptr && (!type->is_string() || type->get<std::string>().empty() ||
                              has_control_characters(type->get<std::string>()))) {
        error(
            "output.single_value.content-type must be a non-empty text without control characters");
      }
    }
  }
  if (const Json* multiple = member(*output, "multiple_values"); multiple != nullptr) {
    if (!multiple->is_array()) {
      error("output.multiple_values must be a list of mappings");
      return;
    }
    for (std::size_t i = 0; i < multiple->size(); ++i) {
      const Json& entry = (*multiple)[i];
      const std::string where = "output.multiple_values[" + std::to_string(i) + "]";
      if (!entry.is_object()) {
        error(where + " must be a mapping");
        continue;
      }
      unknown_keys(entry, MULTIPLE_VALUE_KEYS, where + ": ");
      const Json* name = given(entry, "parameter_name");
      if (name == nullptr || !name->is_string() || name->get<std::string>().empty()) {
        error(where + ".parameter_name must be a non-empty text");
      }
      source_token(entry, where);
    }
  }
}

void DefinitionChecker::preserve_streams(const Json& alias_cfg) {
  const Json* streams = given(alias_cfg, "preserveStreams");
  if (streams == nullptr || streams->is_boolean()) {
    return;
  }
  if (!streams->is_array()) {
    error("preserveStreams must be true, false or a list of {stream, filename, flatten}");
    return;
  }
  for (std::size_t i = 0; i < streams->size(); ++i) {
    const Json& entry = (*streams)[i];
    const std::string where = "preserveStreams[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, STREAM_KEYS, where + ": ");
    const Json* stream = given(entry, "stream");
    if (stream == nullptr || !stream->is_string() ||
        !STREAM_NAMES.contains(stream->get<std::string>())) {
      error(where + ".stream must be 'stdout' or 'stderr'");
    }
    if (const Json* filename = given(entry, "filename"); filename != nullptr) {
      if (!filename->is_string() || filename->get<std::string>().find('/') != std::string::npos ||
          *filename == "." || *filename == "..") {
        error(where + ".filename must be a file name without '/'");
      }
    }
    optional_boolean(entry, "flatten", where + ".flatten");
  }
}

void DefinitionChecker::command_lint(const std::string& command, tmpl::Interpreter interpreter) {
  std::vector<tmpl::CommandReference> refs;
  try {
    refs = tmpl::command_references(command, interpreter);
  } catch (const tmpl::RenderError&) {
    return;  // reported by the template check
  }
  std::set<std::string> reported;
  auto once = [&](std::string text) {
    if (reported.insert(text).second) {
      error(std::move(text));
    }
  };
  for (const auto& [ref, context] : refs) {
    const auto it = declared.find(ref.name);
    if (ref.name == RUN_DIR || it == declared.end()) {
      continue;
    }
    if (!tmpl::can_quote(context)) {
      once("command inserts parameter " + quoted(ref.name) + " in " +
           std::string(tmpl::context_name(context)) + "; it cannot be quoted there");
    }
    // Integers, numbers and booleans are checked to a strict shape; texts are not.
    if (ref.filter == "shell" || it->second.type != "string" || it->second.restricted) {
      continue;
    }
    once("command inserts parameter " + quoted(ref.name) + " unquoted; write {{ " + ref.name +
         " | shell }} or restrict it with pattern or choices");
  }
}

// ---------------------------------------------------------------------------
// Exit statuses.

std::optional<std::string> standard_reason(int status) {
  static const std::map<int, std::string_view> phrases = {
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-Authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {207, "Multi-Status"},
      {208, "Already Reported"},
      {226, "IM Used"},
      {300, "Multiple Choices"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {303, "See Other"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {307, "Temporary Redirect"},
      {308, "Permanent Redirect"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {402, "Payment Required"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Content Too Large"},
      {414, "URI Too Long"},
      {415, "Unsupported Media Type"},
      {416, "Range Not Satisfiable"},
      {417, "Expectation Failed"},
      {418, "I'm a teapot"},
      {421, "Misdirected Request"},
      {422, "Unprocessable Content"},
      {423, "Locked"},
      {424, "Failed Dependency"},
      {425, "Too Early"},
      {426, "Upgrade Required"},
      {428, "Precondition Required"},
      {429, "Too Many Requests"},
      {431, "Request Header Fields Too Large"},
      {451, "Unavailable For Legal Reasons"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
      {505, "HTTP Version Not Supported"},
      {506, "Variant Also Negotiates"},
      {507, "Insufficient Storage"},
      {508, "Loop Detected"},
      {510, "Not Extended"},
      {511, "Network Authentication Required"},
  };
  const auto it = phrases.find(status);
  if (it != phrases.end()) {
    return std::string(it->second);
  }
  switch (status / 100) {
  case 2:
    return "Success";
  case 3:
    return "Redirection";
  case 4:
    return "Client Error";
  case 5:
    return "Server Error";
  default:
    return std::nullopt;
  }
}

// A final response never carries a 1xx status, so exit codes map to 200-599.
bool valid_status(std::int64_t status) {
  return status >= 200 && status <= 599;
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

// 422, "422" or "422 Bad Input" as {"status": 422, "reason": "Bad Input" or null}.
std::optional<Json> compile_status(const Json& value) {
  std::int64_t status = 0;
  Json reason = nullptr;
  if (value.is_number_integer()) {
    const auto integer = as_integer(value);
    if (!integer) {
      return std::nullopt;
    }
    status = *integer;
  } else if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
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
      reason = phrase;
    }
  } else {
    return std::nullopt;
  }
  if (!valid_status(status)) {
    return std::nullopt;
  }
  return Json{{"status", status}, {"reason", reason}};
}

void exit_codes(Json& alias_cfg, std::vector<std::string>& errors) {
  const Json* codes = given(alias_cfg, "exitCodes");
  if (codes == nullptr) {
    if (const Json* compiled = given(alias_cfg, "_exit_code_map"); compiled != nullptr) {
      bool ok = compiled->is_object();
      if (ok) {
        for (const auto& [key, entry] : compiled->items()) {
          const Json* status = given(entry, "status");
          const Json* reason = member(entry, "reason");
          ok = ok && exit_code_key(key) == key && status != nullptr &&
               status->is_number_integer() && valid_status(status->get<std::int64_t>()) &&
               (reason == nullptr || reason->is_null() ||
                (reason->is_string() && !has_control_characters(reason->get<std::string>())));
        }
      }
      if (!ok) {
        errors.push_back("_exit_code_map must map exit statuses or 'default' to {status, reason}");
      }
    }
    return;
  }
  if (!codes->is_object()) {
    errors.push_back("exitCodes must be a mapping from exit status to HTTP status");
    return;
  }
  Json compiled = Json::object();
  bool ok = true;
  for (const auto& [key, value] : codes->items()) {
    const auto canonical = exit_code_key(key);
    if (!canonical) {
      errors.push_back("exitCodes: key " + quoted(key) + " must be an exit status or 'default'");
      ok = false;
      continue;
    }
    const auto status = compile_status(value);
    if (!status) {
      errors.push_back("exitCodes: entry " + quoted(key) +
                       " must be an HTTP status from 200 to 599, optionally followed by a reason");
      ok = false;
      continue;
    }
    compiled[*canonical] = *status;
  }
  if (ok) {
    alias_cfg["_exit_code_map"] = std::move(compiled);
  }
}

}  // namespace

std::vector<std::string> validate_alias_definition(nlohmann::ordered_json& alias_cfg,
                                                   std::optional<std::int64_t> max_timeout) {
  std::vector<std::string> errors;
  if (!alias_cfg.is_object()) {
    errors.push_back("alias definition must be a mapping");
    return errors;
  }
  DefinitionChecker check(errors);
  check.unknown_keys(alias_cfg, ALIAS_KEYS, "");

  std::string type;
  if (const Json* value = given(alias_cfg, "type"); value == nullptr) {
    check.error("type is required: 'process' or 'container'");
  } else if (!value->is_string() || (*value != "process" && *value != "container")) {
    check.error("type must be 'process' or 'container', not " + quoted(*value));
  } else {
    type = value->get<std::string>();
  }
  const bool process = type == "process";
  const bool container = type == "container";

  // Parameters first: every template below is checked against them.
  check.raw_words = raw_word_names(alias_cfg);
  check.parameters(alias_cfg);

  std::string command_text;
  if (const Json* command = given(alias_cfg, "command");
      command != nullptr && !command->is_string()) {
    check.error("command must be a text");
  } else if (process && (command == nullptr || command->get<std::string>().empty())) {
    check.error("command must be a non-empty text");
  } else if (command != nullptr) {
    command_text = command->get<std::string>();
    check.check_template("command", command_text);
  }
  if (container) {
    const Json* image = given(alias_cfg, "image");
    if (image == nullptr || !image->is_string() || image->get<std::string>().empty()) {
      check.error("image must be a non-empty text");
    }
    const Json* network = given(alias_cfg, "network");
    if (network != nullptr && (!network->is_string() || network->get<std::string>().empty())) {
      check.error("network must be a non-empty text");
    }
  }
  // Keys of the other type would be ignored at run time; an operator should hear of it.
  if (process) {
    for (const char* key : {"image", "volumes", "network"}) {
      if (non_empty(alias_cfg, key)) {
        check.error(std::string(key) + " applies to container aliases only");
      }
    }
  }
  if (container) {
    for (const char* key : {"user", "files"}) {
      if (non_empty(alias_cfg, key)) {
        check.error(std::string(key) + " applies to process aliases only");
      }
    }
  }

  check.timeout(alias_cfg, max_timeout);
  check.environment(alias_cfg);
  check.optional_text(alias_cfg, "user", "user");
  if (!container) {
    check.files(alias_cfg);
  }
  if (!process) {
    check.volumes(alias_cfg);
  }
  check.output(alias_cfg);
  check.preserve_streams(alias_cfg);
  exit_codes(alias_cfg, errors);
  check.optional_text(alias_cfg, "description", "description");
  check.optional_text(alias_cfg, "name", "name");
  check.command_lint(command_text, interpreter_of(alias_cfg));
  return errors;
}

nlohmann::ordered_json apply_defaults(const nlohmann::ordered_json& params,
                                      const nlohmann::ordered_json& alias_cfg) {
  Json result = params.is_object() ? params : Json::object();
  const Json* defs = given(alias_cfg, "parameters");
  if (defs == nullptr || !defs->is_object()) {
    return result;
  }
  for (const auto& [name, def] : defs->items()) {
    const Json* value = given(def, "default");
    if (value == nullptr) {
      continue;
    }
    const auto it = result.find(name);
    if (it == result.end() || it->is_null()) {
      result[name] = *value;
    }
  }
  return result;
}

std::vector<std::string> validate_parameters(const nlohmann::ordered_json& params,
                                             const nlohmann::ordered_json& alias_cfg) {
  std::vector<std::string> errors;
  static const Json empty = Json::object();
  const Json& request = params.is_object() ? params : empty;
  const Json* defs = given(alias_cfg, "parameters");
  if (defs != nullptr && !defs->is_object()) {
    defs = nullptr;
  }
  if (defs != nullptr) {
    const auto raw_words = raw_word_names(alias_cfg);
    for (const auto& [name, def] : defs->items()) {
      const auto it = request.find(name);
      if (it == request.end() || it->is_null()) {
        if (is_required(def) && !has_default(def)) {
          errors.push_back(quoted(name) + " is required");
        }
        continue;
      }
      check_value(name, def, *it, errors, raw_words.contains(name));
    }
  }
  for (const auto& [name, value] : request.items()) {
    if (defs == nullptr || !defs->contains(name)) {
      errors.push_back("unknown parameter " + quoted(name));
    }
  }
  return errors;
}

ExitStatus resolve_exit_status(const nlohmann::ordered_json* exit_code_map,
                               std::optional<std::int64_t> returncode) {
  const std::int64_t code = returncode.value_or(0);
  auto from_entry = [](const Json& entry) -> std::optional<ExitStatus> {
    const Json* status = given(entry, "status");
    if (status == nullptr || !status->is_number_integer() ||
        !valid_status(status->get<std::int64_t>())) {
      return std::nullopt;
    }
    ExitStatus result;
    result.status = static_cast<int>(status->get<std::int64_t>());
    if (const Json* reason = given(entry, "reason"); reason != nullptr && reason->is_string()) {
      result.reason = reason->get<std::string>();
    } else if (result.status != 200) {
      result.reason = standard_reason(result.status);
    }
    return result;
  };
  const bool usable = exit_code_map != nullptr && exit_code_map->is_object();
  if (usable) {
    if (const Json* entry = member(*exit_code_map, std::to_string(code)); entry != nullptr) {
      if (auto result = from_entry(*entry)) {
        return *result;
      }
      return ExitStatus{500, "Internal Server Error"};
    }
  }
  if (code == 0) {
    return ExitStatus{200, std::nullopt};
  }
  if (usable) {
    if (const Json* entry = member(*exit_code_map, "default"); entry != nullptr) {
      if (auto result = from_entry(*entry)) {
        return *result;
      }
    }
  }
  return ExitStatus{500, "Internal Server Error"};
}

}  // namespace velquin::validator
