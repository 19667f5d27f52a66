#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"

namespace velquin::app::detail {

bool is_running_in_container(const config::SettingValue& container_setting);
std::string container_mode_description(const config::SettingValue& container_setting);
// Pings the engine named by the environment; false on any error.
bool docker_socket_available();
std::vector<std::string> validate_docker_socket(const config::SettingValue& container_setting,
                                                const std::vector<config::AliasDefPtr>& aliases);
std::optional<std::string>
external_dir_startup_warning(const config::SettingValue& container_setting,
                             const std::string& external_dir);
std::vector<std::string> run_startup_image_pull(const std::vector<config::AliasDefPtr>& aliases,
                                                const std::string& refresh_default,
                                                const std::string& prefetch_default);

}  // namespace velquin::app::detail
