#include "docker/docker.h"

namespace velquin::docker {

std::shared_ptr<DockerClient> client_from_env() {
  throw DockerError("Docker Engine client is not available in this build");
}

void global_init() {}

}  // namespace velquin::docker
