#pragma once

#include <optional>
#include <string>

#include "config/config.h"
#include "logger/logger.h"

namespace velquin::app {

// The whole start-up sequence and the serving loop; returns the exit code.
int run(int argc, char** argv);

namespace detail {

// "Config file not found: <path>. Starting with default settings." when the
// default path is used and nothing is there.
std::optional<std::string> missing_config_warning(const std::string& config_path, bool is_default);

// What setup_logging is given for these settings.
logger::LoggingOptions logging_options(const config::Config& cfg);

}  // namespace detail
}  // namespace velquin::app
