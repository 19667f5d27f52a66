#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "alias/alias.h"
#include "support/fd.h"

namespace velquin::scratch {

struct RunInfo {
  std::string run_dir;
  std::optional<std::string> auto_dir;
  // A shared flock on run_dir, held until the last copy goes: a starting
  // instance never removes a directory that a live run holds.
  std::shared_ptr<support::UniqueFd> lock;
};

namespace detail {
// An output source other than the streams: a file the run leaves behind.
bool has_file_output_sources(const alias::Alias& alias_def);
}  // namespace detail

// A container alias with an automatic or run-directory volume: sibling
// containers reach those only through ExternalDir.
bool needs_external_dir(const alias::Alias& alias_def);
bool needs_run_dir(const alias::Alias& alias_def);
bool needs_auto_dir(const alias::Alias& alias_def);

// Creates shared_dir/<run id> (and auto/ when needed). The run id is the
// correlation id, or a fresh UUID when it is empty. Throws std::system_error.
RunInfo create(const std::string& shared_dir, const alias::Alias& alias_def,
               const std::string& correlation_id = "");

// Removes the directory tree without following links; never throws.
void cleanup(const std::string& run_dir) noexcept;

// After a crash: removes the run directories in shared_dir (names like run
// ids) that no live run holds. Returns how many it removed; never throws.
std::size_t remove_abandoned(const std::string& shared_dir) noexcept;

// Hands the tree the service made for a run to the user that runs it, so
// that the command can write its outputs. Links are changed, not followed.
// Throws std::system_error.
void hand_over(const std::string& run_dir, uid_t uid, gid_t gid);

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
