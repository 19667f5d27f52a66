#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "docker/docker.h"
#include "executor/executor.h"
#include "executor/volumes.h"
#include "image_pull/image_pull.h"
#include "logger/logger.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "template/template.h"

namespace velquin::executor {

namespace {

using Clock = std::chrono::steady_clock;

RunResult failure(std::string error, const std::optional<std::string>& container_id,
                  const std::optional<std::string>& image_id) {
  RunResult result;
  result.error = std::move(error);
  result.container_id = container_id;
  result.image_id = image_id;
  return result;
}

// Valid text (the usual case) is taken over without another copy.
std::string decode_log(std::string&& bytes) {
  if (support::is_valid_utf8(bytes)) {
    return std::move(bytes);
  }
  return support::decode_utf8_replace(bytes);
}

// Engine messages can echo a command word or a bind path built from a
// parameter. Values shorter than this cannot be told from the message's own
// words and stay; longer ones are masked before the text reaches a log.
constexpr std::size_t kShortestMaskedValue = 3;

std::string without_values(std::string text, const json& params) {
  static const std::string mask = "<value>";
  if (!params.is_object()) {
    return text;
  }
  for (const auto& [name, value] : params.items()) {
    const std::string v = value.is_string() ? value.get<std::string>() : value.dump();
    if (v.size() < kShortestMaskedValue) {
      continue;
    }
    for (auto pos = text.find(v); pos != std::string::npos; pos = text.find(v, pos + mask.size())) {
      text.replace(pos, v.size(), mask);
    }
  }
  return text;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Creates and starts the container. An image missing locally gets one pull
// bounded by the time left (which the pull then uses up); an image that
// cannot be obtained surfaces as ImageNotFound.
std::string create_and_start(docker::DockerClient& client, const docker::RunSpec& spec,
                             double& remaining_timeout) {
  std::string id;
  try {
    id = client.create(spec);
  } catch (const docker::ImageNotFound& missing) {
    const auto pull_start = Clock::now();
    try {
      client.pull(spec.image, remaining_timeout > 0 ? remaining_timeout : 0.001);
    } catch (const docker::ImageNotFound&) {
      throw;
    } catch (const docker::DockerError& pull_error) {
      throw docker::ImageNotFound(std::string(missing.what()) +
                                  " (pull failed: " + pull_error.what() + ")");
    }
    remaining_timeout = std::max(0.0, remaining_timeout - seconds_since(pull_start));
    id = client.create(spec);
  }
  try {
    client.start(id);
  } catch (...) {
    // The container exists even though it never ran: leave nothing behind.
    try {
      client.remove(id);
    } catch (const std::exception&) {
    }
    throw;
  }
  return id;
}

// The one worker of a run: owns the blocking wait so that the request thread
// can enforce the time limit. Joined on every path out of the run.
class WaitWorker {
 public:
  WaitWorker(std::shared_ptr<docker::DockerClient> client, std::string id) {
    std::promise<std::optional<std::int64_t>> promise;
    result_ = promise.get_future();
    thread_ = std::thread(
        [client = std::move(client), id = std::move(id), promise = std::move(promise)]() mutable {
          try {
            promise.set_value(client->wait(id));
          } catch (...) {
            promise.set_exception(std::current_exception());
          }
        });
  }
  WaitWorker(const WaitWorker&) = delete;
  WaitWorker& operator=(const WaitWorker&) = delete;
  ~WaitWorker() { join(); }

  bool finished_within(double seconds) {
    return result_.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
  }
  std::optional<std::int64_t> result() { return result_.get(); }
  void join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  std::future<std::optional<std::int64_t>> result_;
  std::thread thread_;
};

}  // namespace

std::pair<std::optional<std::string>, std::optional<std::string>>
detail::safe_container_logs(docker::DockerClient& client, const std::string& container_id,
                            std::size_t cap) {
  try {
    // Best effort after a time-out: a stream over the cap gives what came before it.
    std::string out = decode_log(client.logs_capped(container_id, true, cap).bytes);
    std::string err = decode_log(client.logs_capped(container_id, false, cap).bytes);
    return {std::move(out), std::move(err)};
  } catch (const std::exception&) {
    return {std::nullopt, std::nullopt};
  }
}

RunResult detail::execute_container(Executor& executor, const alias::Alias& alias_def,
                                    const json& params, const RunContext& context) {
  const alias::ContainerSpec& container = *alias_def.container();

  // Set-up: failures here reach the caller.
  const std::string& shared_dir = context.shared_dir;
  std::filesystem::create_directories(shared_dir);
  const std::size_t cap = context.max_output_size;
  const std::string& correlation_id = context.correlation_id;

  std::optional<scratch::RunInfo> run_info;  // holds the directory's lock until the end
  std::optional<std::string> run_dir;
  if (scratch::needs_run_dir(alias_def)) {
    run_info = scratch::create(shared_dir, alias_def, correlation_id);
    run_dir = run_info->run_dir;
  }
  // Last step of every way out, after preservation has copied what it needs.
  support::ScopeExit remove_run_dir([&run_dir] {
    if (run_dir) {
      scratch::cleanup(*run_dir);
    }
  });
  std::vector<preserve::PreserveSpec> preserve_specs;
  std::optional<std::string> captured_stdout;
  std::optional<std::string> captured_stderr;
  std::optional<std::string> container_id;
  std::optional<std::string> image_id;

  std::shared_ptr<docker::DockerClient> client;
  try {
    client = executor.get_docker_client();
  } catch (const std::exception& e) {
    logger::error(std::string("Docker client unavailable: ") + e.what());
    return failure(std::string("Docker not available: ") + e.what(), std::nullopt, std::nullopt);
  }

  RunResult result;
  try {
    std::optional<std::string> command;
    if (!container.command.empty()) {
      command = tmpl::render_command(container.command, params);
    }

    docker::RunSpec spec;
    spec.image = container.image;
    spec.command = command;
    for (const auto& var : alias_def.environment) {
      spec.env.emplace_back(var.name, tmpl::render(var.value, params, run_dir));
    }
    spec.network = container.network;
    const alias::RunLimits& limits = context.limits;
    spec.memory_bytes = limits.memory;
    spec.pids_limit = limits.pids;
    if (limits.cpus) {
      spec.nano_cpus = static_cast<std::int64_t>(std::llround(*limits.cpus * 1e9));
    }
    spec.open_files = limits.open_files;

    VolumeSetup volumes =
        build_volumes(container, params, run_dir, shared_dir, context.external_dir);
    spec.binds = std::move(volumes.bindings);
    preserve_specs = std::move(volumes.preserve_specs);

    precreate_output_dirs(alias_def, params, run_dir);

    const TimeLimit& timeout = context.time_limit;
    const double pull_elapsed =
        image_pull::refresh_before_run(*client, alias_def, context.refresh_image, timeout.seconds);
    // Capped so that an absurd limit cannot overflow the clock arithmetic of the wait.
    constexpr double kLongestWaitSeconds = 1e9;
    double remaining_timeout =
        std::min(kLongestWaitSeconds, std::max(0.0, timeout.seconds - pull_elapsed));

    // The template, not the rendered command: parameter values never go to the log.
    logger::debug(
        "Running container: image=" + support::quoted(std::string_view(spec.image)) +
        " cmd=" + (command ? support::quoted(std::string_view(container.command.text())) : "None"));

    const std::string full_id = create_and_start(*client, spec, remaining_timeout);
    // Forced removal on every way out from here, errors dropped.
    struct Remover {
      docker::DockerClient& client;
      const std::string& id;
      ~Remover() {
        try {
          client.remove(id);
        } catch (const std::exception&) {
        }
      }
    } remover{*client, full_id};

    container_id = short_id(full_id);
    const std::string image_ref = client->inspect_image(full_id);
    image_id = short_id(image_ref);

    WaitWorker worker(client, full_id);
    if (!worker.finished_within(remaining_timeout)) {
      bool killed = true;
      try {
        client->kill(full_id);
      } catch (const std::exception&) {
        killed = false;
      }
      std::tie(captured_stdout, captured_stderr) = safe_container_logs(*client, full_id, cap);
      if (!killed) {
        // The wait returns only once the container stops; removal stops it.
        try {
          client->remove(full_id);
        } catch (const std::exception&) {
        }
      }
      worker.join();
      result =
          failure("Container timed out after " + timeout.text + " seconds", container_id, image_id);
      result.outcome = RunResult::Outcome::timed_out;
    } else {
      const std::optional<std::int64_t> status = worker.result();
      docker::CappedLog out_log = client->logs_capped(full_id, true, cap);
      docker::CappedLog err_log = client->logs_capped(full_id, false, cap);
      std::string out = decode_log(std::move(out_log.bytes));
      std::string err = decode_log(std::move(err_log.bytes));
      if (!alias_def.preserve_streams.empty()) {
        captured_stdout = out;
        captured_stderr = err;
      }
      if (out_log.exceeded) {
        throw OutputTooLarge("stdout", cap);
      }
      if (err_log.exceeded) {
        throw OutputTooLarge("stderr", cap);
      }
      result.file_outputs = collect_output_files(alias_def, params, run_dir, cap);
      result.outcome = RunResult::Outcome::completed;
      result.returncode = status.value_or(0);
      result.container_id = container_id;
      result.image_id = image_id;
      result.stdout_text = std::move(out);
      result.stderr_text = std::move(err);
    }
  } catch (const docker::ImageNotFound& e) {
    result = failure(std::string("Container image not found: ") + e.what(), container_id, image_id);
  } catch (const docker::DockerError& e) {
    std::string description = without_values(e.what(), params);
    logger::error("Container execution error: " + description);
    result = failure(std::move(description), container_id, image_id);
  } catch (const std::exception& e) {
    logger::error(std::string("Container execution error: ") + e.what());
    result = failure(e.what(), container_id, image_id);
  }

  // Finish: after every outcome of the run, while the run directory exists.
  // Preserved streams are capped like captured ones, also after replacement
  // characters made the text longer than its bytes.
  for (std::optional<std::string>* captured : {&captured_stdout, &captured_stderr}) {
    if (*captured) {
      support::truncate_utf8(**captured, cap);
    }
  }
  support::ScopeExit preserve_volumes(
      [&] { preserve::preserve_volumes(preserve_specs, context.log_dir, correlation_id); });
  preserve::preserve_streams(alias_def.preserve_streams, captured_stdout, captured_stderr,
                             context.log_dir, correlation_id);
  return result;
}

}  // namespace velquin::executor
