// Alias files: YAML loading and every definition check, through the loader
// that start-up and reloads use. The input is the one file of AliasDir.

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

struct AliasDir {
  std::string dir;
  std::string file;
  velquin::config::Config config;
};

AliasDir& alias_dir() {
  static AliasDir* state = [] {
    char dir[] = "/tmp/velquin-fuzz-alias-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
      std::perror("aliases: temporary directory");
      std::abort();
    }
    auto* s = new AliasDir{dir, std::string(dir) + "/fuzz.yaml", {}};
    s->config.load(s->dir + "/none.conf", velquin::config::Overrides{{"AliasDir", s->dir}});
    std::atexit([] {
      std::remove(alias_dir().file.c_str());
      std::remove(alias_dir().dir.c_str());
    });
    return s;
  }();
  return *state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AliasDir& state = alias_dir();
  {
    std::ofstream out(state.file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    auto [table, errors] = state.config.load_aliases();
    // Whatever is refused is refused with a reason; whatever is kept is named.
    for (const auto& definition : table->definitions()) {
      if (definition == nullptr || definition->name.empty()) {
        std::abort();
      }
    }
  } catch (const std::system_error&) {
    // Not UTF-8: the loader reports it as an I/O failure.
  }
  return 0;
}
