#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"
#include "docker/docker.h"
#include "preserve/preserve.h"

// Internal to the executor: the container runner's volume preparation.
namespace velquin::executor::detail {

struct VolumeSetup {
  // In first-seen order of host path; a later entry for the same host path
  // replaces the earlier one in place.
  std::vector<docker::Bind> bindings;
  std::vector<preserve::PreserveSpec> preserve_specs;
};

// Turns the alias's volumes into bind mounts, creating run-directory files
// and directories on the way. Throws on a render error, a path escaping the
// run directory or a file system failure.
VolumeSetup build_volumes(const alias::ContainerSpec& container,
                          const nlohmann::ordered_json& params,
                          const std::optional<std::string>& run_dir, const std::string& shared_dir,
                          const std::string& external_dir);

// Renders the content template (no run_dir) into local_path, creating its
// parent directories; an existing file is truncated, a symlink is refused.
void write_volume_file(const std::string& local_path, const tmpl::Template& content,
                       const nlohmann::ordered_json& params);

// Reads both log streams, each up to the cap; any failure gives (none, none).
std::pair<std::optional<std::string>, std::optional<std::string>>
safe_container_logs(docker::DockerClient& client, const std::string& container_id, std::size_t cap);

}  // namespace velquin::executor::detail
