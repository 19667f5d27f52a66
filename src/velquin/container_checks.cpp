#include "velquin/container_checks.h"

#include <algorithm>

#include "docker/docker.h"
#include "image_pull/image_pull.h"

namespace velquin::app::detail {
namespace {

bool has_container_alias(const std::vector<alias::AliasPtr>& aliases) {
  return std::ranges::any_of(aliases, [](const alias::AliasPtr& alias) {
    return alias && alias->type() == alias::Type::container;
  });
}

}  // namespace

bool is_running_in_container(const config::SettingValue& container_setting) {
  return config::is_running_in_container(container_setting);
}

std::string container_mode_description(const config::SettingValue& container_setting) {
  bool present = !std::holds_alternative<std::monostate>(container_setting);
  return std::string("Running on ") +
         (is_running_in_container(container_setting) ? "container" : "host") + " (" +
         (present ? "configured" : "DETECTED") + ")";
}

bool docker_socket_available() {
  try {
    auto client = docker::client_from_env();
    client->ping();
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<std::string> validate_docker_socket(const config::SettingValue& container_setting,
                                                const std::vector<alias::AliasPtr>& aliases) {
  if (!is_running_in_container(container_setting) || !has_container_alias(aliases)) {
    return {};
  }
  if (!docker_socket_available()) {
    return {
        "Velquin is running in a container and at least one alias has type 'container', but the "
        "Docker socket is not reachable. Mount the Docker socket (e.g. -v "
        "/var/run/docker.sock:/var/run/docker.sock)."};
  }
  return {};
}

std::optional<std::string>
external_dir_startup_warning(const config::SettingValue& container_setting,
                             const std::string& external_dir) {
  if (is_running_in_container(container_setting) && external_dir.empty()) {
    return "Velquin is running in a container but ExternalDir is not set; this is fine as long as "
           "no alias mounts a SharedDir-relative volume in a sibling container";
  }
  return std::nullopt;
}

std::vector<std::string> run_startup_image_pull(const std::vector<alias::AliasPtr>& aliases,
                                                const std::string& refresh_default,
                                                const std::string& prefetch_default) {
  if (!has_container_alias(aliases)) {
    return {};
  }
  return image_pull::startup_pull(aliases, refresh_default, prefetch_default);
}

}  // namespace velquin::app::detail
