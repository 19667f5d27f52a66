#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velquin::scratch {

struct RunInfo {
  std::string run_dir;
  std::optional<std::string> auto_dir;
};

bool _has_file_output_sources(const nlohmann::ordered_json& alias_config);
bool needs_external_dir(const nlohmann::ordered_json& alias_config);
bool needs_run_dir(const nlohmann::ordered_json& alias_config);
bool needs_auto_dir(const nlohmann::ordered_json& alias_config);

// Creates shared_dir/<run id> (and auto/ when needed). The run id is the
// correlation id, or a fresh UUID when it is empty. Throws std::system_error.
RunInfo create(const std::string& shared_dir, const nlohmann::ordered_json& alias_config,
               const std::string& correlation_id = "");

// Removes the directory tree; never throws.
void cleanup(const std::string& run_dir) noexcept;

class PathEscape : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Joins a rendered path to the run directory (an absolute path replaces it).
// When the path came from a template that references a parameter, the
// normalised result must lie inside run_dir, else PathEscape with
// "path escapes the run directory: " + quoted(source), source being the
// template as the operator wrote it; the rendered value is never named.
std::string join_run_path(const std::string& run_dir, const std::string& rendered,
                          bool from_parameter, std::string_view source = {});

}  // namespace velquin::scratch
