#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config.h"

namespace velquin::app {

namespace detail {
// Option destination -> settings key, in the order the overrides are applied.
struct CliKey {
  std::string_view dest;
  std::string_view key;
};
extern const std::vector<CliKey> CLI_TO_KEY;
}  // namespace detail

struct CommandLine {
  std::optional<std::string> config;
  bool daemon = false;
  // Run the start-up checks only, then exit 0 or 1.
  bool check = false;
  // Options given on the command line, by destination; an empty value counts.
  std::vector<std::pair<std::string, std::string>> given;
};

// The outcome of parsing: either a command line to run, or an exit code after
// help (0), --version (0) or a malformed command line (2) was printed.
struct ParseOutcome {
  std::optional<CommandLine> command_line;
  int exit_code = 0;
};

ParseOutcome parse_command_line(int argc, char** argv);

// cli_overrides: one entry per CLI_TO_KEY row whose option was given, in table order.
config::Overrides build_overrides(const CommandLine& command_line);

extern const std::string VERSION;

}  // namespace velquin::app
