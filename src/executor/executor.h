#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "alias/alias.h"
#include "config/config.h"
#include "docker/docker.h"

namespace velquin::executor {

using json = nlohmann::ordered_json;

// A run's time limit in seconds, and its text as messages show it ("60", "2.5").
struct TimeLimit {
  double seconds = 60;
  std::string text = "60";
};

// Where a streaming run sends its output while the command runs. Lines come
// without their line end ("\r\n", "\n" and a lone "\r" end a line), with
// invalid UTF-8 replaced by U+FFFD.
class LiveOutput {
 public:
  enum class Stream { out, err };
  struct Piece {
    std::string text;
    bool ends_line = true;  // false: cut from an over-long line, or the unended last one
  };
  using Deadline = std::chrono::steady_clock::time_point;

  virtual ~LiveOutput() = default;
  // The child has started: the answer's head may go out. False: the client is gone.
  virtual bool started() = 0;
  // Blocks while the client cannot take more, at most until `deadline`; the
  // child's pipes are not read meanwhile. False: the client is gone or stuck.
  virtual bool send(Stream stream, const std::vector<Piece>& pieces, Deadline deadline) = 0;
  // Polled for POLLRDHUP while the command is quiet: a hang-up ends the run.
  virtual int hangup_fd() const = 0;
};

// What one run reads besides its alias and its parameters.
struct RunContext {
  std::string correlation_id;  // names the run directory, the run's cgroup and preserved files
  std::string shared_dir;      // where run directories go
  std::string external_dir;    // the host's view of shared_dir, for sibling containers
  std::string log_dir;         // where preserved outputs go
  std::string refresh_image;   // RefreshImage
  std::size_t max_output_size = SIZE_MAX;  // cap of each stream and file output
  TimeLimit time_limit;
  // The raw request body, for input files that ask for it; it outlives the run.
  std::string_view request_body;
  alias::RunLimits limits;     // the alias's, with the settings' defaults filled in
  LiveOutput* live = nullptr;  // process runs of a `stream` alias; owned by the caller
};

// The context of one request's run, from the settings snapshot the request holds.
RunContext make_run_context(const alias::Alias& alias_def, const config::Settings& settings,
                            std::string correlation_id);

// File outputs by their source token as written in the output template.
using FileOutputs = std::map<std::string, std::string, std::less<>>;

// What a run came to. Completed: the command ran to its end, whatever its
// exit status. A time-out or a failure carries `error`, for the log only.
struct RunResult {
  enum class Outcome { completed, timed_out, failed };
  Outcome outcome = Outcome::failed;
  std::optional<std::int64_t> returncode;   // completed runs
  std::optional<std::int64_t> pid;          // process runs, once the shell started
  std::optional<std::string> container_id;  // container runs, once created (short id)
  std::optional<std::string> image_id;
  std::string stdout_text;
  std::string stderr_text;
  FileOutputs file_outputs;
  std::string error;
  bool client_gone = false;  // a streaming run ended because its client hung up
};

class Executor {
 public:
  using ClientFactory = std::function<std::shared_ptr<docker::DockerClient>()>;

  // Runs the alias with parameters that the caller has validated and
  // completed with defaults. Never throws for failures of the run itself:
  // they come back as results. Other exceptions reach the caller.
  RunResult execute_alias(const alias::Alias& alias_def, const json& params,
                          const RunContext& context);

  // Created on first use and kept. Throws docker::DockerError.
  std::shared_ptr<docker::DockerClient> get_docker_client();
  // Tests substitute the factory (or a ready client).
  void set_docker_client_factory(ClientFactory factory);

 private:
  std::atomic<std::shared_ptr<docker::DockerClient>> docker_client_;
  ClientFactory factory_;
};

// A run whose output went over the cap: "<what> exceeded MaxOutputSize (<cap> bytes)".
// `what` names the output as the operator wrote it, never a rendered value.
class OutputTooLarge : public std::runtime_error {
 public:
  OutputTooLarge(const std::string& what, std::size_t cap);
};

namespace detail {

RunResult execute_process(const alias::Alias& alias_def, const json& params,
                          const RunContext& context);
RunResult execute_container(Executor& executor, const alias::Alias& alias_def, const json& params,
                            const RunContext& context);

// The alias's limit (absent or 0: 60 s), bounded by MaxTimeout when that is set and not 0.
TimeLimit resolve_timeout(const alias::Alias& alias_def, std::optional<std::int64_t> max_timeout);
std::optional<std::string> short_id(const std::string& full_id);

// Output files and directories. Collection throws OutputTooLarge past the cap.
void precreate_output_dirs(const alias::Alias& alias_def, const json& params,
                           const std::optional<std::string>& run_dir);
FileOutputs collect_output_files(const alias::Alias& alias_def, const json& params,
                                 const std::optional<std::string>& run_dir, std::size_t cap);

// Container volumes: the host view of a path below shared_dir.
std::string to_host_path(const std::string& local_path, const std::string& shared_dir,
                         const std::string& external_dir);

}  // namespace detail

// How a time-out ends every process a run started (the RunContainment
// setting: "auto", "cgroup" or "subreaper"). Creates this instance's cgroup
// when runs can get one; returns the error texts when "cgroup" was asked for
// and cannot work here ("auto" then falls back to a subreaper per run).
std::vector<std::string> set_up_run_containment(const std::string& setting);
// "cgroup" or "subreaper".
std::string run_containment_name();
// The start-up line on how process runs get their limits here.
std::string run_limits_in_force();
// The limits of a definition that process runs cannot apply here ("pids").
std::vector<std::string> unapplied_process_limits(const alias::RunLimits& limits);
// After the daemon fork: this instance's cgroup is named after the serving process.
void run_containment_after_fork();
// Kills and removes what dead instances left in their run cgroups (runs
// that were going on when they died); returns how many runs it ended.
std::size_t end_abandoned_runs();
// At shutdown: removes this instance's cgroup unless a detached run still uses it.
void release_run_containment() noexcept;

}  // namespace velquin::executor
