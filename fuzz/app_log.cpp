// The AppLog setting: "path [level] [format]".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> levels = {"trace",   "debug", "info",    "warn",
                                               "warning", "error", "critical"};
  static const std::set<std::string> formats = {"plain", "json"};

  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const auto spec = velquin::config::parse_app_log(value);
  if (!spec.errors.empty()) {
    return 0;
  }
  // An accepted spec is what the logger will be built from: it must hold no surprises.
  if (!spec.path || spec.path->empty() ||
      spec.path->find_first_of(" \t\n\r\f\v") != std::string::npos) {
    std::abort();
  }
  if ((spec.level && !levels.contains(*spec.level)) ||
      (spec.format && !formats.contains(*spec.format))) {
    std::abort();
  }
  return 0;
}
