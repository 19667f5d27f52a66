#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "alias/alias.h"
#include "docker/docker.h"

namespace velquin::image_pull {

using AliasList = std::vector<alias::AliasPtr>;

// Makes the engine client; called at most once per operation, and only when
// something is to be pulled. May throw docker::DockerError.
using ClientFactory = std::function<std::shared_ptr<docker::DockerClient>()>;

// For "on-start" refresh or prefetch: pulls every distinct image of the
// container aliases once. Errors: "Cannot pull image 'img' for alias 'name': <engine message>".
std::vector<std::string> startup_pull(const AliasList& aliases, const std::string& refresh_default,
                                      const std::string& prefetch_default);
std::vector<std::string> startup_pull(const AliasList& aliases, const std::string& refresh_default,
                                      const std::string& prefetch_default,
                                      const ClientFactory& make_client);

// "always": pulls the alias's image, bounded by timeout; returns the seconds
// spent (0 otherwise). Throws docker::ImageNotFound / docker::DockerError.
double refresh_before_run(docker::DockerClient& client, const alias::Alias& alias_def,
                          const std::string& refresh_setting, double timeout);

// "on-config-change": pulls images of aliases that are new or whose image changed.
std::vector<std::string> reload_pull(const AliasList& current_aliases, const AliasList& new_aliases,
                                     const std::string& prefetch_image);
std::vector<std::string> reload_pull(const AliasList& current_aliases, const AliasList& new_aliases,
                                     const std::string& prefetch_image,
                                     const ClientFactory& make_client);

}  // namespace velquin::image_pull
