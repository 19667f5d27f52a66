#include "support/yaml_value.h"

#include "support/file.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <system_error>

namespace velquin::support {

namespace {

using Json = nlohmann::ordered_json;

// Deeper documents are refused rather than risking the stack.
constexpr int kMaxDepth = 512;

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool is_null_word(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_word(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") {
    return true;
  }
  if (s == "false" || s == "False" || s == "FALSE") {
    return false;
  }
  return std::nullopt;
}

bool all_of(std::string_view s, bool (*pred)(char)) {
  return !s.empty() && std::ranges::all_of(s, pred);
}

bool is_dec(char c) {
  return c >= '0' && c <= '9';
}
bool is_oct(char c) {
  return c >= '0' && c <= '7';
}
bool is_hex(char c) {
  return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Digits too long for 64 bits still read as a number, as a float.
Json integer_value(std::string_view digits, int base, bool negative) {
  std::uint64_t magnitude = 0;
  const auto [ptr, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec == std::errc() && ptr == digits.data() + digits.size()) {
    constexpr auto kMaxNeg =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    if (!negative &&
        magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(magnitude);
    }
    if (negative && magnitude <= kMaxNeg) {
      return magnitude == kMaxNeg ? std::numeric_limits<std::int64_t>::min()
                                  : -static_cast<std::int64_t>(magnitude);
    }
    if (!negative) {
      return magnitude;
    }
  }
  double value = 0;
  for (const char c : digits) {
    const int d = is_dec(c) ? c - '0' : (c >= 'a' ? c - 'a' + 10 : c - 'A' + 10);
    value = value * base + d;
  }
  return negative ? -value : value;
}

std::optional<Json> int_value(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s.substr(2), is_oct)) {
    return integer_value(s.substr(2), 8, false);
  }
  if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s.substr(2), is_hex)) {
    return integer_value(s.substr(2), 16, false);
  }
  bool negative = false;
  std::string_view digits = s;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (all_of(digits, is_dec)) {
    return integer_value(digits, 10, negative);
  }
  return std::nullopt;
}

std::optional<Json> float_value(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    const double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  // [0-9]+(\.[0-9]*)?  or  \.[0-9]+ , then an optional exponent.
  std::size_t i = 0;
  std::size_t int_digits = 0;
  while (i < body.size() && is_dec(body[i])) {
    ++i;
    ++int_digits;
  }
  std::size_t frac_digits = 0;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_dec(body[i])) {
      ++i;
      ++frac_digits;
    }
    if (int_digits == 0 && frac_digits == 0) {
      return std::nullopt;
    }
  } else if (int_digits == 0) {
    return std::nullopt;
  }
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '-' || body[i] == '+')) {
      ++i;
    }
    std::size_t exp_digits = 0;
    while (i < body.size() && is_dec(body[i])) {
      ++i;
      ++exp_digits;
    }
    if (exp_digits == 0) {
      return std::nullopt;
    }
  }
  if (i != body.size()) {
    return std::nullopt;
  }
  const std::string text(s);
  return std::strtod(text.c_str(), nullptr);
}

// Core schema resolution of an untagged plain scalar.
Json resolve_plain(const std::string& s) {
  if (is_null_word(s)) {
    return nullptr;
  }
  if (const auto b = bool_word(s)) {
    return *b;
  }
  if (auto i = int_value(s)) {
    return std::move(*i);
  }
  if (auto f = float_value(s)) {
    return std::move(*f);
  }
  return s;
}

// An explicit standard tag asks for one type; a value that does not fit it stays text.
Json resolve_tagged(const std::string& tag, const std::string& s) {
  const std::string_view type = std::string_view(tag).substr(kTagPrefix.size());
  if (type == "null" && is_null_word(s)) {
    return nullptr;
  }
  if (type == "bool") {
    if (const auto b = bool_word(s)) {
      return *b;
    }
  }
  if (type == "int") {
    if (auto i = int_value(s)) {
      return std::move(*i);
    }
  }
  if (type == "float") {
    if (auto i = int_value(s)) {
      return i->is_number_float() ? *i : Json(i->get<double>());
    }
    if (auto f = float_value(s)) {
      return std::move(*f);
    }
  }
  return s;
}

std::string key_text(const YAML::Node& key) {
  if (key.IsScalar()) {
    return key.Scalar();
  }
  if (key.IsNull()) {
    return "null";
  }
  YAML::Emitter out;
  out << YAML::Flow << key;
  return out.c_str();
}

Json convert(const YAML::Node& node, int depth) {
  if (depth > kMaxDepth) {
    throw YamlError("document nesting is too deep");
  }
  switch (node.Type()) {
  case YAML::NodeType::Undefined:
  case YAML::NodeType::Null:
    return nullptr;
  case YAML::NodeType::Scalar: {
    const std::string& tag = node.Tag();
    if (tag == "?") {
      return resolve_plain(node.Scalar());
    }
    if (tag.rfind(kTagPrefix, 0) == 0) {
      return resolve_tagged(tag, node.Scalar());
    }
    return node.Scalar();  // quoted ("!") or a local tag: text
  }
  case YAML::NodeType::Sequence: {
    Json out = Json::array();
    for (const auto& item : node) {
      out.push_back(convert(item, depth + 1));
    }
    return out;
  }
  case YAML::NodeType::Map: {
    Json out = Json::object();
    for (const auto& entry : node) {
      out[key_text(entry.first)] = convert(entry.second, depth + 1);
    }
    return out;
  }
  }
  return nullptr;
}

}  // namespace

nlohmann::ordered_json parse_yaml(std::string_view text) {
  YAML::Node root;
  try {
    root = YAML::Load(std::string(text));
  } catch (const YAML::Exception& e) {
    throw YamlError(e.what());
  }
  try {
    return convert(root, 0);
  } catch (const YAML::Exception& e) {
    throw YamlError(e.what());
  }
}

nlohmann::ordered_json load_yaml_file(const std::string& path) {
  return parse_yaml(read_whole_file(path));
}

}  // namespace velquin::support
