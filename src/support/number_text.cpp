#include "support/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace velquin::support {

std::string number_text(double value) {
  if (std::isnan(value)) {
    return "nan";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  char buf[64];
  // Shortest digits that read back as the same double.
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) {
    return std::to_string(value);
  }
  const std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  const auto e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  const std::string_view exponent_text = sci.substr(e_pos + 1);
  // from_chars takes no '+': to_chars writes one for positive exponents.
  const std::size_t sign = !exponent_text.empty() && exponent_text.front() == '+' ? 1 : 0;
  std::from_chars(exponent_text.data() + sign, exponent_text.data() + exponent_text.size(),
                  exponent);

  bool negative = false;
  if (!mantissa.empty() && mantissa.front() == '-') {
    negative = true;
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') {
      digits.push_back(c);
    }
  }
  const int ndigits = static_cast<int>(digits.size());

  std::string out = negative ? "-" : "";
  // Fixed notation for exponents in [-4, 16), scientific otherwise, like a
  // repr of the number: 1e-05 stays scientific, 0.0001 does not.
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (exponent + 1 >= ndigits) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - ndigits), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (ndigits > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  const int abs_exp = exponent < 0 ? -exponent : exponent;
  if (abs_exp < 10) {
    out += '0';
  }
  out += std::to_string(abs_exp);
  return out;
}

std::string value_text(const nlohmann::ordered_json& value) {
  switch (value.type()) {
  case nlohmann::ordered_json::value_t::string:
    return value.get<std::string>();
  case nlohmann::ordered_json::value_t::number_integer:
    return std::to_string(value.get<std::int64_t>());
  case nlohmann::ordered_json::value_t::number_unsigned:
    return std::to_string(value.get<std::uint64_t>());
  case nlohmann::ordered_json::value_t::number_float:
    return number_text(value.get<double>());
  case nlohmann::ordered_json::value_t::boolean:
    return value.get<bool>() ? "true" : "false";
  case nlohmann::ordered_json::value_t::null:
  case nlohmann::ordered_json::value_t::discarded:
    return "None";
  default:
    // A message must not throw because a text in it is not UTF-8.
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
}

}  // namespace velquin::support
