// Request parameters against the alias's typed parameter definitions.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include <re2/re2.h>

#include "support/number_text.h"
#include "support/quoted.h"
#include "template/template.h"
#include "validator/validator.h"

namespace velquin::validator {

namespace {

using Json = nlohmann::ordered_json;
using alias::ParameterType;
using support::quoted;

// An empty text inserted raw as a word of its own makes that word vanish, and
// the words after it move up one place (`tar -C {{ dir }} -xf a.tar`). Only the
// operator may choose that: as one of the choices, or as the default.
bool client_empty_word(const alias::Parameter& def, const Json& value) {
  if (!value.is_string() || !value.get_ref<const std::string&>().empty()) {
    return false;
  }
  return !def.choices && (!def.default_value || *def.default_value != value);
}

bool is_digits(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
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

std::size_t utf8_length(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++count;
    }
  }
  return count;
}

bool in_choices(const alias::Parameter& def, const Json& value) {
  const alias::Choices& choices = *def.choices;
  switch (def.type) {
  case ParameterType::integer: {
    const auto v = as_integer(value);
    return v && std::find(choices.integers.begin(), choices.integers.end(), *v) !=
                    choices.integers.end();
  }
  case ParameterType::number: {
    const auto v = as_number(value);
    return v &&
           std::find(choices.numbers.begin(), choices.numbers.end(), *v) != choices.numbers.end();
  }
  case ParameterType::boolean: {
    const auto v = as_boolean(value);
    return v && std::find(choices.booleans.begin(), choices.booleans.end(), *v) !=
                    choices.booleans.end();
  }
  case ParameterType::string:
    break;
  }
  if (!value.is_string()) {
    return false;
  }
  const auto& text = value.get_ref<const std::string&>();
  return std::find(choices.texts.begin(), choices.texts.end(), text) != choices.texts.end();
}

}  // namespace

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

void check_value(const alias::Parameter& def, const Json& value, std::vector<std::string>& errors) {
  const std::string who = quoted(def.name);
  std::optional<long double> number;
  switch (def.type) {
  case ParameterType::integer: {
    const auto integer = as_integer(value);
    if (!integer) {
      errors.push_back(who + " must be an integer");
      return;
    }
    number = static_cast<long double>(*integer);
    break;
  }
  case ParameterType::number:
    number = as_number(value);
    if (!number) {
      errors.push_back(who + " must be a number");
      return;
    }
    break;
  case ParameterType::boolean:
    if (!as_boolean(value)) {
      errors.push_back(who + " must be a boolean");
      return;
    }
    break;
  case ParameterType::string:
    if (!value.is_string()) {
      errors.push_back(who + " must be a string");
      return;
    }
    break;
  }

  if (def.choices && !in_choices(def, value)) {
    errors.push_back(who + " must be one of " + def.choices->text);
  }
  if (def.type == ParameterType::string) {
    const auto& text = value.get_ref<const std::string&>();
    if (def.pattern && !re2::RE2::FullMatch(text, *def.pattern)) {
      errors.push_back(who + " does not match the required pattern");
    }
    const auto length = static_cast<std::int64_t>(utf8_length(text));
    if (def.min_length && length < *def.min_length) {
      errors.push_back(who + " must be at least " + std::to_string(*def.min_length) +
                       " characters long");
    }
    if (def.max_length && length > *def.max_length) {
      errors.push_back(who + " must be at most " + std::to_string(*def.max_length) +
                       " characters long");
    }
  }
  if (number) {
    if (def.min && *number < def.min->value) {
      errors.push_back(who + " must be at least " + def.min->text);
    }
    if (def.max && *number > def.max->value) {
      errors.push_back(who + " must be at most " + def.max->text);
    }
  }
  if (def.raw_word && (!tmpl::is_plain_word_value(value) || client_empty_word(def, value))) {
    errors.push_back(who + " must be a plain word (" + std::string(tmpl::PLAIN_WORD_CHARACTERS) +
                     ")");
  }
}

void apply_defaults(Json& params, const alias::Alias& alias_def) {
  if (!params.is_object()) {
    params = Json::object();
  }
  for (const auto& def : alias_def.parameters) {
    if (!def.default_value) {
      continue;
    }
    const auto it = params.find(def.name);
    if (it == params.end()) {
      params[def.name] = *def.default_value;
    } else if (it->is_null()) {
      *it = *def.default_value;
    }
  }
}

std::vector<std::string> validate_parameters(const Json& params, const alias::Alias& alias_def) {
  std::vector<std::string> errors;
  static const Json empty = Json::object();
  const Json& request = params.is_object() ? params : empty;
  for (const auto& def : alias_def.parameters) {
    const auto it = request.find(def.name);
    if (it == request.end() || it->is_null()) {
      if (def.required && !def.default_value) {
        errors.push_back(quoted(def.name) + " is required");
      }
      continue;
    }
    check_value(def, *it, errors);
  }
  for (const auto& [name, value] : request.items()) {
    if (alias_def.parameter(name) == nullptr) {
      errors.push_back("unknown parameter " + quoted(name));
    }
  }
  return errors;
}

}  // namespace velquin::validator
