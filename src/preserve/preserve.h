#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"

namespace velquin::preserve {

inline constexpr std::array<std::string_view, 5> PRESERVE_VALUES = {"none", "false", "flatten",
                                                                    "yes", "true"};
namespace detail {
inline constexpr std::array<std::string_view, 2> DISABLED_VALUES = {"none", "false"};
}

// A volume's "preserve" value as written in its definition: absent "none",
// booleans "true"/"false", words in lower case.
std::string normalize_preserve(const nlohmann::ordered_json& value);
bool is_preserve_enabled(const nlohmann::ordered_json& value);

struct Entry {
  std::string rel_path;
  std::string abs_path;
};
// Lists without following links: a link is an entry unless it names a
// directory; whether it may be copied is decided when it is copied.
std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir);

namespace detail {
std::string dest_path(const std::string& rel_path, const std::string& preserve_mode,
                      const std::optional<std::string>& prefix, const std::string& log_dir,
                      const std::string& correlation_id);
}  // namespace detail

// Copies are written through a fresh file renamed into place, in directories
// entered without following links, so nothing planted at a destination is
// written through. Sources are opened only when they are regular files.
std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir,
                                         const std::string& preserve_mode,
                                         const std::optional<std::string>& prefix,
                                         const std::string& log_dir,
                                         const std::string& correlation_id);

struct PreserveSpec {
  std::string local_path;
  bool is_dir = false;
  std::string preserve_mode;
  std::optional<std::string> prefix;
  // The run directory holding the volume: no link in the path below it is
  // followed. Empty: only the volume's own name is taken without links.
  std::string base = {};
  // When set, messages name this (the volume's source as the operator wrote
  // it) instead of paths that carry a parameter value.
  std::optional<std::string> label = std::nullopt;
};

// Logs every failure ("Volume preserve failed: ..."); never throws.
void preserve_volumes(const std::vector<PreserveSpec>& specs, const std::string& log_dir,
                      const std::string& correlation_id) noexcept;

inline constexpr std::array<std::string_view, 2> STREAM_NAMES = {"stdout", "stderr"};

namespace detail {
std::string stream_filename(const alias::StreamEntry& entry);
std::string stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                             const std::string& correlation_id);
}  // namespace detail

// Writes the requested non-empty streams; OS failures are logged per entry.
void preserve_streams(const std::vector<alias::StreamEntry>& entries,
                      const std::optional<std::string>& stdout_text,
                      const std::optional<std::string>& stderr_text, const std::string& log_dir,
                      const std::string& correlation_id);

}  // namespace velquin::preserve
