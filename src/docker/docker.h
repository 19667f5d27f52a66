#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velquin::docker {

class DockerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ImageNotFound : public DockerError {
 public:
  using DockerError::DockerError;
};

struct Bind {
  std::string host_path;
  std::string container_path;
  std::string mode;  // "rw" or "ro"
};

struct RunSpec {
  std::string image;
  std::optional<std::string> command;  // split into words like a POSIX shell; none: image default
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<Bind> binds;
  std::optional<std::string> network;  // none: NetworkMode "none"
  // Resource limits; none: the engine's default.
  std::optional<std::int64_t> memory_bytes;
  std::optional<std::int64_t> pids_limit;
  std::optional<std::int64_t> nano_cpus;
  std::optional<std::int64_t> open_files;
};

struct CappedLog {
  std::string bytes;
  bool exceeded = false;
};

// The subset of the Docker Engine API the service uses. An interface so that
// tests can substitute a fake; the real one talks HTTP through libcurl.
// Every call is safe from several threads at once.
class DockerClient {
 public:
  virtual ~DockerClient() = default;

  virtual void ping() = 0;
  // Creates (not starts) a container; returns its full id. ImageNotFound when
  // the image is missing locally.
  virtual std::string create(const RunSpec& spec) = 0;
  virtual void start(const std::string& id) = 0;
  // The "Image" entry of the container's inspection data ("" when missing).
  virtual std::string inspect_image(const std::string& id) = 0;
  // Blocks until the container stops; its "StatusCode" (nullopt when missing).
  virtual std::optional<std::int64_t> wait(const std::string& id) = 0;
  // Raw bytes of one stream of the container's log.
  virtual std::string logs(const std::string& id, bool stdout_stream) = 0;
  // The same, but never more than max_bytes: a longer stream comes back cut
  // at max_bytes with `exceeded` set, and the rest is not downloaded.
  virtual CappedLog logs_capped(const std::string& id, bool stdout_stream, std::size_t max_bytes);
  // Kill; a container that is not running is not an error.
  virtual void kill(const std::string& id) = 0;
  // Forced removal.
  virtual void remove(const std::string& id) = 0;
  // Pulls image (name[:tag] or name@digest). ImageNotFound when the registry
  // does not know it. timeout_seconds <= 0 means no limit.
  virtual void pull(const std::string& image, double timeout_seconds) = 0;
};

// A client for the engine named by DOCKER_HOST / DOCKER_TLS_VERIFY /
// DOCKER_CERT_PATH / DOCKER_API_VERSION (default unix:///var/run/docker.sock).
// Throws DockerError when the configuration is unusable or the engine does
// not answer a ping (the message names the socket path or URL).
std::shared_ptr<DockerClient> client_from_env();

// Call once before any thread exists (after the daemon fork).
void global_init();

}  // namespace velquin::docker
