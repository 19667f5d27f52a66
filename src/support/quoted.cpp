#include "support/quoted.h"

#include <string_view>

#include "support/number_text.h"

namespace velquin::support {

std::string quoted(std::string_view text) {
  // Single quotes unless that would force escaping and double quotes would not.
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';

  std::string out;
  out.reserve(text.size() + 2);
  out.push_back(quote);
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == quote) {
      out.push_back('\\');
      out.push_back(ch);
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      constexpr std::string_view kHex = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      // Bytes of multi-byte UTF-8 sequences are printable text: kept as they are.
      out.push_back(ch);
    }
  }
  out.push_back(quote);
  return out;
}

std::string quoted(const char* text) {
  return quoted(std::string_view(text == nullptr ? "" : text));
}

std::string quoted(const std::string& text) {
  return quoted(std::string_view(text));
}

std::string quoted(std::int64_t number) {
  return std::to_string(number);
}

std::string quoted(const nlohmann::ordered_json& value) {
  if (value.is_string()) {
    return quoted(std::string_view(value.get_ref<const std::string&>()));
  }
  if (value.is_boolean()) {
    return value.get<bool>() ? "True" : "False";
  }
  return value_text(value);
}

}  // namespace velquin::support
