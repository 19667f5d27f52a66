#pragma once

#include <optional>
#include <string>

namespace velquin::app {

// The whole start-up sequence and the serving loop; returns the exit code.
int run(int argc, char** argv);

namespace detail {

// "Config file not found: <path>. Starting with default settings." when the
// default path is used and nothing is there.
std::optional<std::string> missing_config_warning(const std::string& config_path, bool is_default);

}  // namespace detail
}  // namespace velquin::app
