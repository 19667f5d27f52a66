#include "image_pull/image_pull.h"

#include <chrono>
#include <map>
#include <optional>
#include <utility>

#include "logger/logger.h"
#include "support/quoted.h"

namespace velquin::image_pull {

namespace {

// Pulls outside a request have no alias time limit; this bound keeps a
// registry that never answers from stalling start-up or reloads for ever.
constexpr double kBackgroundPullSeconds = 900.0;

struct ImageUse {
  std::string image;
  std::string alias;  // the first alias that names the image
};

// The image of a container alias; empty for a process alias.
std::string image_of(const alias::Alias& def) {
  const alias::ContainerSpec* container = def.container();
  return container != nullptr ? container->image : std::string();
}

// Distinct non-empty images of the container aliases that pass the filter, in alias order.
template <typename Filter>
std::vector<ImageUse> images_to_pull(const AliasList& aliases, Filter wanted) {
  std::vector<ImageUse> uses;
  std::set<std::string> seen;
  for (const auto& def : aliases) {
    if (!def || def->container() == nullptr || !wanted(*def)) {
      continue;
    }
    std::string image = image_of(*def);
    if (image.empty() || !seen.insert(image).second) {
      continue;
    }
    uses.push_back(ImageUse{std::move(image), def->name});
  }
  return uses;
}

std::string pull_error(const ImageUse& use, const std::string& message) {
  return "Cannot pull image " + support::quoted(use.image) + " for alias " +
         support::quoted(use.alias) + ": " + message;
}

// One client for all pulls; when it cannot be made, every image gets that error.
std::vector<std::string> pull_all(const std::vector<ImageUse>& uses,
                                  const ClientFactory& make_client) {
  std::vector<std::string> errors;
  if (uses.empty()) {
    return errors;
  }
  std::shared_ptr<docker::DockerClient> client;
  try {
    client = make_client();
    if (!client) {
      throw docker::DockerError("no Docker client");
    }
  } catch (const std::exception& e) {
    for (const auto& use : uses) {
      errors.push_back(pull_error(use, e.what()));
    }
    return errors;
  }
  for (const auto& use : uses) {
    logger::info("Pulling image " + support::quoted(use.image) + " for alias " +
                 support::quoted(use.alias));
    try {
      client->pull(use.image, kBackgroundPullSeconds);
    } catch (const std::exception& e) {
      errors.push_back(pull_error(use, e.what()));
    }
  }
  return errors;
}

ClientFactory default_factory() {
  return [] { return docker::client_from_env(); };
}

}  // namespace

std::vector<std::string> startup_pull(const AliasList& aliases, const std::string& refresh_default,
                                      const std::string& prefetch_default) {
  return startup_pull(aliases, refresh_default, prefetch_default, default_factory());
}

std::vector<std::string> startup_pull(const AliasList& aliases, const std::string& refresh_default,
                                      const std::string& prefetch_default,
                                      const ClientFactory& make_client) {
  if (refresh_default != "on-start" && prefetch_default != "on-start") {
    return {};
  }
  return pull_all(images_to_pull(aliases, [](const alias::Alias&) { return true; }), make_client);
}

double refresh_before_run(docker::DockerClient& client, const alias::Alias& alias_def,
                          const std::string& refresh_setting, double timeout) {
  if (refresh_setting != "always") {
    return 0.0;
  }
  const std::string image = image_of(alias_def);
  if (image.empty()) {
    return 0.0;
  }
  const auto start = std::chrono::steady_clock::now();
  client.pull(image, timeout);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> reload_pull(const AliasList& current_aliases, const AliasList& new_aliases,
                                     const std::string& prefetch_image) {
  return reload_pull(current_aliases, new_aliases, prefetch_image, default_factory());
}

std::vector<std::string> reload_pull(const AliasList& current_aliases, const AliasList& new_aliases,
                                     const std::string& prefetch_image,
                                     const ClientFactory& make_client) {
  if (prefetch_image != "on-config-change") {
    return {};
  }
  // A process alias has no image: turning it into a container alias counts as a change.
  std::map<std::string, std::string, std::less<>> current_images;
  for (const auto& def : current_aliases) {
    if (def && def->container() != nullptr) {
      current_images.emplace(def->name, image_of(*def));
    }
  }
  const auto changed = [&current_images](const alias::Alias& def) {
    const auto it = current_images.find(def.name);
    return it == current_images.end() || it->second != image_of(def);
  };
  return pull_all(images_to_pull(new_aliases, changed), make_client);
}

}  // namespace velquin::image_pull
