// The configuration file: "Key Value" lines read through a full load, which
// also runs every check on the merged settings.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include <unistd.h>

#include "config/config.h"

namespace {

// Never freed: the exit handler that removes the file runs after static destructors.
const std::string& config_path() {
  static const std::string* path = [] {
    char dir[] = "/tmp/velquin-fuzz-conf-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
      std::perror("config_file: temporary directory");
      std::abort();
    }
    auto* p = new std::string(std::string(dir) + "/velquin.conf");
    std::atexit([] {
      std::remove(config_path().c_str());
      std::remove(config_path().substr(0, config_path().rfind('/')).c_str());
    });
    return p;
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(config_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  velquin::config::Config config;
  try {
    config.load(config_path());
  } catch (const velquin::config::ConfigError& e) {
    if (e.errors.empty()) {
      std::abort();  // a refusal must say why
    }
    return 0;
  } catch (const std::system_error&) {
    return 0;  // not UTF-8
  }
  // A load that succeeds leaves every setting with its declared type.
  for (const auto& def : velquin::config::PARAM_DEFS) {
    const auto value = config.get(def.key);
    const bool typed =
        std::holds_alternative<std::monostate>(value) ||
        (def.type == velquin::config::SettingType::text &&
         std::holds_alternative<std::string>(value)) ||
        (def.type == velquin::config::SettingType::integer &&
         std::holds_alternative<std::int64_t>(value)) ||
        (def.type == velquin::config::SettingType::boolean && std::holds_alternative<bool>(value));
    if (!typed) {
      std::abort();
    }
  }
  return 0;
}
