#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "docker/docker.h"

namespace velquin::executor {

using json = nlohmann::ordered_json;

class Executor {
 public:
  // Never throws for failures of the run itself: they come back as records
  // with "success" false. Other exceptions reach the caller.
  json execute_alias(const std::string& alias_name, const json* parameters = nullptr);

  json _execute_process(const json& alias_cfg, const json& params);
  json _execute_container(const json& alias_cfg, const json& params);

  // Created on first use and kept. Throws docker::DockerError.
  std::shared_ptr<docker::DockerClient> _get_docker_client();
  // Tests substitute the factory (or a ready client).
  void set_docker_client_factory(std::function<std::shared_ptr<docker::DockerClient>()> factory);

 private:
  std::atomic<std::shared_ptr<docker::DockerClient>> _docker_client;
  std::function<std::shared_ptr<docker::DockerClient>()> factory_;
};

// The process-wide executor.
Executor& executor();

// The alias's time limit: a JSON number (integer stays integer).
json _resolve_timeout(const json& alias_cfg);
std::optional<std::string> _short_id(const std::string& full_id);

// Environment value text: booleans "true"/"false", text unchanged, numbers
// printed (2.0 -> "2.0"), null "None".
std::string _env_value(const json& var_def);

// MaxOutputSize: the cap of each captured stream, each file output and the
// files of one directory output together.
std::size_t _max_output_size();

// A run whose output went over the cap: "<what> exceeded MaxOutputSize (<cap> bytes)".
// `what` names the output as the operator wrote it, never a rendered value.
class OutputTooLarge : public std::runtime_error {
 public:
  OutputTooLarge(const std::string& what, std::size_t cap);
};

// Output files and directories. Collection throws OutputTooLarge.
void _precreate_output_dirs(const json& alias_cfg, const json& params,
                            const std::optional<std::string>& run_dir);
json _collect_output_files(const json& alias_cfg, const json& params,
                           const std::optional<std::string>& run_dir);

// Container volumes: the host view of a path below shared_dir.
std::string _to_host_path(const std::string& local_path, const std::string& shared_dir,
                          const std::string& external_dir);

// How a time-out ends every process a run started (the RunContainment
// setting: "auto", "cgroup" or "subreaper"). Creates this instance's cgroup
// when runs can get one; returns the error texts when "cgroup" was asked for
// and cannot work here ("auto" then falls back to a subreaper per run).
std::vector<std::string> set_up_run_containment(const std::string& setting);
// "cgroup" or "subreaper".
std::string run_containment_name();
// After the daemon fork: this instance's cgroup is named after the serving process.
void run_containment_after_fork();
// Kills and removes what dead instances left in their run cgroups (runs
// that were going on when they died); returns how many runs it ended.
std::size_t end_abandoned_runs();
// At shutdown: removes this instance's cgroup unless a detached run still uses it.
void release_run_containment() noexcept;

}  // namespace velquin::executor
