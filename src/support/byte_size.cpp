#include "support/byte_size.h"

#include <cctype>
#include <cmath>
#include <string>

namespace velquin::support {

std::optional<std::int64_t> parse_byte_size(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[i])) != 0 || (text[i] == '.' && i > 0))) {
    ++i;
  }
  const std::string number(text.substr(0, i));
  if (number.empty() || number.back() == '.' || number.find('.') != number.rfind('.')) {
    return std::nullopt;
  }
  std::string unit(text.substr(i));
  if (!unit.empty()) {
    unit[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
  }
  long double scale = 0;
  if (unit.empty()) {
    scale = 1;
  } else if (unit.size() <= 2 && (unit.size() == 1 || unit[1] == 'i')) {
    const std::string_view letters = "KMGT";
    const std::size_t power = letters.find(unit[0]);
    if (power == std::string_view::npos) {
      return std::nullopt;
    }
    scale = std::pow(unit.size() == 2 ? 1024.0L : 1000.0L, static_cast<long double>(power + 1));
  } else {
    return std::nullopt;
  }
  const long double bytes = std::floor(std::stold(number) * scale);
  if (!(bytes >= 1) || bytes > 4611686018427387904.0L) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(bytes);
}

}  // namespace velquin::support
