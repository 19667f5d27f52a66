#include <array>

#include "config/config.h"
#include "support/quoted.h"
#include "support/text.h"

namespace velquin::config {

namespace detail {
// "warn" and "warning" are both accepted and kept as written.
inline constexpr std::array<std::string_view, 7> APP_LOG_LEVELS = {
    "trace", "debug", "info", "warn", "warning", "error", "critical"};
inline constexpr std::array<std::string_view, 2> APP_LOG_FORMATS = {"plain", "json"};
}  // namespace detail

namespace {

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& words, std::string_view word) {
  for (const auto w : words) {
    if (w == word) {
      return true;
    }
  }
  return false;
}

// One of the two settings (level or format) while tokens are read.
struct Slot {
  std::optional<std::string>& value;
  bool explicit_token = false;
};

void keyed_token(Slot& slot, std::string_view name, std::string_view v, bool known,
                 std::vector<std::string>& errors) {
  if (slot.value) {
    errors.push_back("AppLog: conflicting " + std::string(name) + " specifications");
  } else if (known) {
    slot.value = support::to_lower(v);
    slot.explicit_token = true;
  } else {
    errors.push_back("AppLog: unknown " + std::string(name) + " " + support::quoted(v));
  }
}

void bare_token(Slot& slot, std::string_view name, const std::string& token,
                const std::string& lower, std::vector<std::string>& errors) {
  if (!slot.value) {
    slot.value = lower;
  } else if (slot.explicit_token) {
    errors.push_back("AppLog: bare '" + token + "' conflicts with explicit " + std::string(name) +
                     "= specification");
  } else {
    errors.push_back("AppLog: duplicate " + std::string(name) + " specification");
  }
}

}  // namespace

AppLogSpec parse_app_log(std::string_view value) {
  AppLogSpec spec;
  const std::vector<std::string> tokens = support::split_whitespace(value);
  if (tokens.empty()) {
    spec.errors.emplace_back("AppLog: value is empty");
    return spec;
  }
  spec.path = tokens.front();
  Slot level{spec.level};
  Slot format{spec.format};
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    const auto eq = token.find('=');
    if (eq != std::string::npos) {
      const std::string_view k(token.data(), eq);
      const std::string_view v = std::string_view(token).substr(eq + 1);
      const std::string lower_v = support::to_lower(v);
      if (k == "level") {
        keyed_token(level, "level", v, contains(detail::APP_LOG_LEVELS, lower_v), spec.errors);
      } else if (k == "format") {
        keyed_token(format, "format", v, contains(detail::APP_LOG_FORMATS, lower_v), spec.errors);
      } else {
        spec.errors.push_back("AppLog: unknown parameter key '" + std::string(k) + "'");
      }
      continue;
    }
    const std::string lower = support::to_lower(token);
    if (contains(detail::APP_LOG_LEVELS, lower)) {
      bare_token(level, "level", token, lower, spec.errors);
    } else if (contains(detail::APP_LOG_FORMATS, lower)) {
      bare_token(format, "format", token, lower, spec.errors);
    } else {
      spec.errors.push_back("AppLog: unrecognized token '" + token +
                            "' (expected level or format)");
    }
  }
  return spec;
}

}  // namespace velquin::config
