#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velquin::support {

// The quoted-literal form of a text used in every user-facing message: single
// quotes, or double quotes when the text holds a single quote and no double
// quote; backslash, the enclosing quote and control characters are escaped
// ("\\", "\n", "\r", "\t", otherwise "\xNN").
std::string quoted(std::string_view text);
std::string quoted(const char* text);
// Without this overload a std::string would match string_view and json alike.
std::string quoted(const std::string& text);
std::string quoted(std::int64_t number);

// A JSON value in the same form: text quoted as above, integer in decimal,
// float as number_text(), true/false as "True"/"False", null or absent as "None".
std::string quoted(const nlohmann::ordered_json& value);

}  // namespace velquin::support
