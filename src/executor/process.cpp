// Process aliases: the command line runs through "sh -c" in its own process
// group (and its own cgroup or subreaper, see spawn.cpp), with /dev/null on
// stdin, pipes on stdout/stderr and a time limit enforced by poll().

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "executor/executor.h"
#include "executor/live.h"
#include "executor/spawn.h"
#include "logger/logger.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"
#include "support/fd.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "template/template.h"

namespace velquin::executor {

namespace fs = std::filesystem;
using detail::Child;
using support::UniqueFd;

namespace {
// After a time-out kill, how long descendants that left the group may keep
// the pipes open before we stop reading.
constexpr auto DRAIN_GRACE = std::chrono::seconds(2);
// Longer limits are treated as this; keeps the deadline arithmetic finite.
constexpr double MAX_WAIT_SECONDS = 1e8;

std::system_error os_error(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The service's environment without its own VELQUIN_* variables, which may carry secrets.
EnvList inherited_environment() {
  EnvList env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("VELQUIN_")) {
      continue;
    }
    auto eq = entry.find('=');
    if (eq == std::string_view::npos) {
      continue;
    }
    env.emplace_back(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
  }
  return env;
}

// The same, as the entries of environ themselves: a child that inherits the
// environment costs no copy of it.
std::vector<const char*> inherited_entries() {
  std::vector<const char*> entries;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("VELQUIN_") && entry.find('=') != std::string_view::npos) {
      entries.push_back(*e);
    }
  }
  return entries;
}

// None when the alias gives no environment of its own.
std::optional<EnvList> build_env(const alias::Alias& alias_def, const json& params,
                                 const std::optional<std::string>& run_dir) {
  if (alias_def.environment.empty()) {
    return std::nullopt;
  }
  EnvList env = inherited_environment();
  for (const auto& var : alias_def.environment) {
    std::string rendered = tmpl::render(var.value, params, run_dir);
    auto it =
        std::find_if(env.begin(), env.end(), [&](const auto& kv) { return kv.first == var.name; });
    if (it != env.end()) {
      it->second = std::move(rendered);
    } else {
      env.emplace_back(var.name, std::move(rendered));
    }
  }
  return env;
}

std::system_error write_error(int err, const std::string& path) {
  return os_error(err, "cannot write " + support::quoted(path));
}

// Creates name in dir without following a link. A name that exists already
// (an earlier entry of the same run, an administrator's absolute path) is
// reused only when it is a regular file with no other link: never a device,
// a FIFO, or a hard link to a file elsewhere.
UniqueFd open_new_file(int dir, const std::string& name, const std::string& path) {
  UniqueFd fd(
      ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd || errno != EEXIST) {
    if (!fd) {
      throw write_error(errno, path);
    }
    return fd;
  }
  UniqueFd found(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!found || ::fstat(found.get(), &st) != 0) {
    throw write_error(errno, path);
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    throw write_error(EEXIST, path);
  }
  // Reopened through the descriptor: the same inode, whatever the name means now.
  const std::string self = "/proc/self/fd/" + std::to_string(found.get());
  UniqueFd reopened(::open(self.c_str(), O_WRONLY | O_CLOEXEC));
  if (!reopened || ::ftruncate(reopened.get(), 0) != 0) {
    throw write_error(errno, path);
  }
  return reopened;
}

// Opens the directory of an input file, creating what is missing. Below the
// run directory no component may be a link; an administrator's path outside
// it is taken as written.
UniqueFd open_parent(const std::string& run_dir, const fs::path& path) {
  const fs::path parent = path.parent_path();
  const fs::path rel = parent.lexically_relative(fs::path(run_dir).lexically_normal());
  if (rel.empty() || *rel.begin() == "..") {
    if (!parent.empty()) {
      fs::create_directories(parent);
    }
    UniqueFd dir(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
      throw write_error(errno, path.string());
    }
    return dir;
  }
  UniqueFd dir(::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  for (const auto& part : rel) {
    if (!dir) {
      break;
    }
    const std::string name = part.string();
    if (name.empty() || name == ".") {
      continue;
    }
    if (::mkdirat(dir.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
      throw write_error(errno, path.string());
    }
    dir.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!dir) {
    throw write_error(errno, path.string());
  }
  return dir;
}

void create_process_file(const alias::InputFile& file, const json& params,
                         const std::string& run_dir, std::string_view request_body) {
  const std::string& location_template = file.location.text();
  const std::string location = tmpl::render(file.location, params);
  const std::string path = scratch::join_run_path(
      run_dir, location, file.location.references_parameter(), location_template);
  std::string content;
  if (file.uses_request_body) {
    // A reserved name, never a parameter: no client value can stand in for it.
    json with_body = params;
    with_body["request_body"] = std::string(request_body);
    content = tmpl::render(file.content, with_body, run_dir);
  } else {
    content = tmpl::render(file.content, params, run_dir);
  }
  // The messages name the location as written: the rendered path may carry a value.
  try {
    const fs::path normal = fs::path(path).lexically_normal();
    if (!normal.has_filename()) {
      throw write_error(EISDIR, path);
    }
    UniqueFd dir = open_parent(run_dir, normal);
    UniqueFd fd = open_new_file(dir.get(), normal.filename().string(), path);
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
      ssize_t n = ::write(fd.get(), data, left);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        throw write_error(errno, path);
      }
      data += n;
      left -= static_cast<std::size_t>(n);
    }
    if (::close(fd.release()) != 0) {
      throw write_error(errno, path);
    }
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(),
                            "cannot write input file " + support::quoted(location_template));
  }
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw os_error(errno, "cannot create a pipe");
  }
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::vector<std::string> env_lines(const EnvList& env) {
  std::vector<std::string> lines;
  lines.reserve(env.size());
  for (const auto& [name, value] : env) {
    lines.push_back(name + "=" + value);
  }
  return lines;
}

// Both streams as read so far, each at most `limit` bytes.
struct Captured {
  std::string out;
  std::string err;
  std::size_t limit = SIZE_MAX;
  const char* over = nullptr;  // the first stream that had more than the cap
};

enum class WaitEnd { finished, timed_out, over_cap };

// Never holds more than the cap: the byte beyond it is only looked at, so
// that a stream at the cap does not grow its buffer once more.
bool drain_once(UniqueFd& fd, std::string& sink, std::size_t limit, bool& over) {
  char buf[65536];
  for (;;) {
    const std::size_t room = limit - std::min(limit, sink.size());
    ssize_t n = ::read(fd.get(), buf, room < sizeof buf ? room + 1 : sizeof buf);
    if (n > 0) {
      if (static_cast<std::size_t>(n) > room) {
        sink.append(buf, room);
        over = true;
        fd.reset();  // nothing more is read
        return false;
      }
      sink.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      return true;
    }
    fd.reset();  // end of stream or a broken pipe
    return false;
  }
}

// Reads both pipes and waits for the child until the deadline, or until a
// stream goes over the cap.
WaitEnd wait_child(Child& child, UniqueFd& out_r, UniqueFd& err_r, Captured& cap,
                   std::chrono::steady_clock::time_point deadline, bool stop_on_exit) {
  for (;;) {
    if (cap.over != nullptr) {
      return WaitEnd::over_cap;
    }
    if (!child.reaped() && child.pidfd() < 0) {
      child.try_reap();
    }
    const bool exited = child.reaped();
    if (!out_r && !err_r && (exited || !stop_on_exit)) {
      return WaitEnd::finished;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return WaitEnd::timed_out;
    }
    auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    int wait_ms = static_cast<int>(std::min<long long>(left_ms, INT_MAX));
    if (child.pidfd() < 0 && !exited) {
      wait_ms = std::min(wait_ms, 20);  // no pidfd: poll for the exit
    }
    pollfd fds[3];
    nfds_t n = 0;
    int out_i = -1;
    int err_i = -1;
    int pid_i = -1;
    if (out_r) {
      out_i = static_cast<int>(n);
      fds[n++] = {out_r.get(), POLLIN, 0};
    }
    if (err_r) {
      err_i = static_cast<int>(n);
      fds[n++] = {err_r.get(), POLLIN, 0};
    }
    if (!exited && child.pidfd() >= 0 && stop_on_exit) {
      pid_i = static_cast<int>(n);
      fds[n++] = {child.pidfd(), POLLIN, 0};
    }
    int rc = ::poll(fds, n, wait_ms);
    if (rc < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw os_error(errno, "cannot wait for the process");
    }
    bool over = false;
    if (out_i >= 0 && fds[out_i].revents != 0 && !drain_once(out_r, cap.out, cap.limit, over) &&
        over) {
      cap.over = "stdout";
    }
    if (err_i >= 0 && fds[err_i].revents != 0 && cap.over == nullptr &&
        !drain_once(err_r, cap.err, cap.limit, over) && over) {
      cap.over = "stderr";
    }
    if (pid_i >= 0 && fds[pid_i].revents != 0) {
      child.try_reap();
    }
  }
}

int exit_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return -WTERMSIG(status);
  }
  return status;
}

std::string decode_strict(const std::string& bytes, const char* stream) {
  if (!support::is_valid_utf8(bytes)) {
    throw std::runtime_error(std::string("the ") + stream + " of the process is not valid UTF-8");
  }
  return support::universal_newlines(bytes);
}

// Takes the bytes: an output at the cap must not cost several copies of itself.
std::string decode_lenient(std::string&& bytes) {
  std::string text =
      support::is_valid_utf8(bytes) ? std::move(bytes) : support::decode_utf8_replace(bytes);
  bytes = std::string();
  if (text.find('\r') != std::string::npos) {
    text = support::universal_newlines(text);
  }
  return text;
}

// What goes to stream preservation: never more than the cap, even after
// replacement characters have made the text longer than its bytes.
std::string preserved_text(std::string&& bytes, std::size_t limit) {
  std::string text = decode_lenient(std::move(bytes));
  support::truncate_utf8(text, limit);
  return text;
}

double as_seconds(double t) {
  if (std::isnan(t)) {
    return 0.0;
  }
  return std::min(t, MAX_WAIT_SECONDS);
}

struct RunState {
  std::optional<pid_t> pid;
  std::optional<std::string> captured_stdout;
  std::optional<std::string> captured_stderr;
};

RunResult run_process(const alias::Alias& alias_def, const alias::ProcessSpec& process,
                      const json& params, const RunContext& context,
                      const std::optional<std::string>& run_dir, RunState& state) {
  const std::string cmd = tmpl::render_command(process.command, params, run_dir);
  std::optional<EnvList> env = build_env(alias_def, params, run_dir);
  if (!process.files.empty()) {
    if (!run_dir) {
      throw std::runtime_error("input files need a run directory");
    }
    for (const auto& file : process.files) {
      create_process_file(file, params, *run_dir, context.request_body);
    }
  }
  detail::precreate_output_dirs(alias_def, params, run_dir);
  const TimeLimit& timeout = context.time_limit;

  std::optional<detail::Identity> identity;
  if (!process.user.empty()) {
    identity = detail::lookup_user(process.user);
    if (run_dir) {
      // Its outputs are written by that user.
      scratch::hand_over(*run_dir, identity->uid, identity->gid);
    }
  }

  // The template, not the rendered line: parameter values never go to the log.
  logger::debug("Executing process: " + support::quoted(process.command.text()));

  Pipe out = make_pipe();
  Pipe err = make_pipe();
  const std::vector<std::string> env_text = env ? env_lines(*env) : std::vector<std::string>();
  detail::ShellSpec spec;
  spec.command = cmd;
  if (env) {
    spec.env.reserve(env_text.size());
    for (const auto& line : env_text) {
      spec.env.push_back(line.c_str());
    }
  } else {
    spec.env = inherited_entries();
  }
  spec.identity = identity ? &*identity : nullptr;
  spec.out_w = out.write.get();
  spec.err_w = err.write.get();
  spec.run_id = context.correlation_id;
  const detail::LimitPlan limits = detail::plan_limits(
      context.limits, detail::run_cgroup_controllers(), as_seconds(timeout.seconds));
  // Run cgroups are reused: one that held a limited run is reset for the next.
  if (context.limits.any() || limits.controllers != 0) {
    spec.limits = &limits;
  }
  detail::Child child;
  const auto started_at = std::chrono::steady_clock::now();
  child.start(spec);
  state.pid = child.pid();
  // Our copies of the write ends must go, or the reads never see the end.
  out.write.reset();
  err.write.reset();

  const auto deadline =
      started_at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(as_seconds(timeout.seconds)));
  if (context.live != nullptr) {
    detail::LiveCaptured kept;
    support::ScopeExit keep([&] {
      state.captured_stdout = std::move(kept.out);
      state.captured_stderr = std::move(kept.err);
    });
    RunResult result = detail::run_live(child, out.read, err.read, context, deadline,
                                        !alias_def.preserve_streams.empty(), kept);
    if (result.outcome == RunResult::Outcome::completed) {
      result.file_outputs =
          detail::collect_output_files(alias_def, params, run_dir, context.max_output_size);
    }
    return result;
  }
  Captured cap;
  cap.limit = context.max_output_size;
  const WaitEnd end = wait_child(child, out.read, err.read, cap, deadline, true);
  if (end == WaitEnd::over_cap) {
    child.kill_group();
    out.read.reset();
    err.read.reset();
    child.reap_blocking();
    state.captured_stdout = preserved_text(std::move(cap.out), cap.limit);
    state.captured_stderr = preserved_text(std::move(cap.err), cap.limit);
    throw OutputTooLarge(cap.over, cap.limit);
  }
  if (end == WaitEnd::timed_out) {
    child.kill_group();
    // Whatever is still buffered belongs to the captured output, up to the
    // cap; descendants that escaped the group get a short grace before we
    // stop reading.
    wait_child(child, out.read, err.read, cap, std::chrono::steady_clock::now() + DRAIN_GRACE,
               false);
    out.read.reset();
    err.read.reset();
    child.reap_blocking();
    state.captured_stdout = preserved_text(std::move(cap.out), cap.limit);
    state.captured_stderr = preserved_text(std::move(cap.err), cap.limit);
    RunResult result;
    result.outcome = RunResult::Outcome::timed_out;
    result.pid = *state.pid;
    result.error = "Command timed out after " + timeout.text + " seconds";
    return result;
  }

  const int returncode = exit_status(child.status());
  if (const std::string limit = child.limit_hit(); !limit.empty()) {
    logger::warning("Process " + std::to_string(*state.pid) + " of alias " +
                    support::quoted(alias_def.name) + " was stopped by its " + limit + " (signal " +
                    std::to_string(-returncode) + ")");
  }
  std::string stdout_text;
  std::string stderr_text;
  try {
    stdout_text = decode_strict(cap.out, "standard output");
    stderr_text = decode_strict(cap.err, "standard error");
  } catch (const std::exception&) {
    // Keep what the command wrote for preservation even if it cannot be decoded strictly.
    state.captured_stdout = preserved_text(std::move(cap.out), cap.limit);
    state.captured_stderr = preserved_text(std::move(cap.err), cap.limit);
    throw;
  }
  cap.out = std::string();
  cap.err = std::string();
  if (!alias_def.preserve_streams.empty()) {
    state.captured_stdout = stdout_text;
    state.captured_stderr = stderr_text;
  }
  RunResult result;
  result.file_outputs =
      detail::collect_output_files(alias_def, params, run_dir, context.max_output_size);
  result.outcome = RunResult::Outcome::completed;
  result.returncode = returncode;
  result.pid = *state.pid;
  result.stdout_text = std::move(stdout_text);
  result.stderr_text = std::move(stderr_text);
  return result;
}

RunResult failed(std::string error, const std::optional<pid_t>& pid) {
  RunResult result;
  result.error = std::move(error);
  if (pid) {
    result.pid = *pid;
  }
  return result;
}

}  // namespace

RunResult detail::execute_process(const alias::Alias& alias_def, const json& params,
                                  const RunContext& context) {
  const alias::ProcessSpec& process = *alias_def.process();
  fs::create_directories(context.shared_dir);

  std::optional<scratch::RunInfo> run_info;  // holds the directory's lock until the end
  std::optional<std::string> run_dir;
  if (scratch::needs_run_dir(alias_def)) {
    run_info = scratch::create(context.shared_dir, alias_def, context.correlation_id);
    run_dir = run_info->run_dir;
  }
  // Removed on every way out, also when a later set-up step throws.
  support::ScopeExit remove_run_dir([&] {
    if (run_dir) {
      scratch::cleanup(*run_dir);
    }
  });

  RunState state;
  RunResult result;
  try {
    result = run_process(alias_def, process, params, context, run_dir, state);
  } catch (const std::exception& e) {
    logger::error(std::string("Process execution error: ") + e.what());
    result = failed(e.what(), state.pid);
  } catch (...) {
    const std::string description = "unexpected failure while running the process";
    logger::error("Process execution error: " + description);
    result = failed(description, state.pid);
  }

  preserve::preserve_streams(alias_def.preserve_streams, state.captured_stdout,
                             state.captured_stderr, context.log_dir, context.correlation_id);
  return result;
}

}  // namespace velquin::executor
