// Process aliases: the command line runs through "sh -c" in its own process
// group, with pipes on stdout/stderr and a time limit enforced by poll().

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
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

#include "config/config.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"
#include "support/json_value.h"
#include "support/fd.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "template/template.h"

extern "C" char** environ;

namespace velquin::executor {

namespace fs = std::filesystem;
using support::UniqueFd;

namespace {

using support::is_empty_value;

constexpr const char* SHELL = "/bin/sh";
constexpr const char* DEFAULT_SHARED_DIR = "/tmp/velquin";
// After a time-out kill, how long descendants that left the group may keep
// the pipes open before we stop reading.
constexpr auto DRAIN_GRACE = std::chrono::seconds(2);
// Longer limits are treated as this; keeps the deadline arithmetic finite.
constexpr double MAX_WAIT_SECONDS = 1e8;
// Signals the child must start with at their default action whatever the
// service did with them.
constexpr int DEFAULT_SIGNALS[] = {SIGPIPE, SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGCHLD};

const json& member(const json& object, const char* key) {
  static const json null_value;
  if (!object.is_object()) {
    return null_value;
  }
  auto it = object.find(key);
  return it == object.end() ? null_value : *it;
}

std::string template_text(const json& value) {
  if (value.is_null()) {
    return "";
  }
  return value.is_string() ? value.get<std::string>() : support::value_text(value);
}

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

// None when the alias gives no environment of its own.
std::optional<EnvList> _build_env(const json& alias_cfg, const json& params,
                                  const std::optional<std::string>& run_dir) {
  const json& environment = member(alias_cfg, "environment");
  if (is_empty_value(environment) || !environment.is_object()) {
    return std::nullopt;
  }
  EnvList env = inherited_environment();
  for (const auto& [name, value] : environment.items()) {
    std::string rendered = tmpl::render(_env_value(value), params, run_dir);
    auto it =
        std::find_if(env.begin(), env.end(), [&](const auto& kv) { return kv.first == name; });
    if (it != env.end()) {
      it->second = std::move(rendered);
    } else {
      env.emplace_back(name, std::move(rendered));
    }
  }
  return env;
}

void write_file(const std::string& path, const std::string& content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) {
    throw os_error(errno, "cannot write an input file");
  }
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), data, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw os_error(errno, "cannot write an input file");
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd.release()) != 0) {
    throw os_error(errno, "cannot write an input file");
  }
}

void _create_process_file(const json& file_def, const json& params, const std::string& run_dir) {
  const std::string location_template = template_text(member(file_def, "location"));
  const std::string location = tmpl::render(location_template, params);
  const std::string path = scratch::join_run_path(
      run_dir, location, tmpl::references_parameter(location_template), location_template);
  const std::string content =
      tmpl::render(template_text(member(file_def, "content")), params, run_dir);
  // The messages name the location as written: the rendered path may carry a value.
  try {
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) {
      fs::create_directories(parent);
    }
    write_file(path, content);
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(),
                            "cannot write input file " + support::quoted(location_template));
  }
}

struct Identity {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  bool set_groups = false;
};

Identity lookup_user(const std::string& name) {
  long size_hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  int rc = 0;
  while ((rc = ::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0) {
    throw os_error(rc, "cannot look up user " + support::quoted(name));
  }
  if (found == nullptr) {
    throw std::runtime_error("unknown user " + support::quoted(name));
  }
  Identity id{name, pw.pw_uid, pw.pw_gid, {}, false};
  // Only a privileged service can (and must) drop its own supplementary
  // groups; otherwise root's groups would stay with the child.
  if (::geteuid() == 0) {
    int n = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    while (::getgrouplist(name.c_str(), pw.pw_gid, groups.data(), &n) < 0) {
      groups.resize(static_cast<std::size_t>(n) + 32);
      n = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(n));
    id.groups = std::move(groups);
    id.set_groups = true;
  }
  return id;
}

// A started child and its process group; kills and reaps it unless the
// normal path already did.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill_group();
      reap_blocking();
    }
  }

  void started(pid_t pid) {
    pid_ = pid;
    // Close-on-exec by definition; -1 on kernels without pidfds (we then poll).
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }
  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  bool reaped() const { return reaped_; }
  int status() const { return status_; }

  // The group id is the child's pid; it stays reserved until the leader is reaped.
  void kill_group() {
    if (pid_ > 0 && !reaped_) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
    }
  }
  bool try_reap() {
    if (reaped_) {
      return true;
    }
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = st;
      reaped_ = true;
    }
    return reaped_;
  }
  void reap_blocking() {
    while (!reaped_) {
      int st = 0;
      pid_t r = ::waitpid(pid_, &st, 0);
      if (r == pid_) {
        status_ = st;
        reaped_ = true;
      } else if (r < 0 && errno != EINTR) {
        reaped_ = true;  // not our child any more; nothing left to reap
      }
    }
    pidfd_.reset();
  }

 private:
  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool reaped_ = false;
  int status_ = 0;
};

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

struct SpawnPlan {
  std::vector<std::string> argv_storage;
  std::vector<char*> argv;
  std::vector<std::string> envp_storage;
  std::vector<char*> envp;
};

SpawnPlan make_plan(const std::string& cmd, const EnvList& env) {
  SpawnPlan plan;
  plan.argv_storage = {"sh", "-c", cmd};
  for (auto& a : plan.argv_storage) {
    plan.argv.push_back(a.data());
  }
  plan.argv.push_back(nullptr);
  plan.envp_storage.reserve(env.size());
  for (const auto& [name, value] : env) {
    plan.envp_storage.push_back(name + "=" + value);
  }
  for (auto& e : plan.envp_storage) {
    plan.envp.push_back(e.data());
  }
  plan.envp.push_back(nullptr);
  return plan;
}

void spawn_plain(Child& child, SpawnPlan& plan, int out_w, int err_w) {
  posix_spawn_file_actions_t actions;
  if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) {
    throw os_error(rc, "cannot start the shell");
  }
  support::ScopeExit free_actions([&] { ::posix_spawn_file_actions_destroy(&actions); });
  posix_spawnattr_t attr;
  if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
    throw os_error(rc, "cannot start the shell");
  }
  support::ScopeExit free_attr([&] { ::posix_spawnattr_destroy(&attr); });

  sigset_t empty;
  sigset_t defaults;
  ::sigemptyset(&empty);
  ::sigemptyset(&defaults);
  for (int sig : DEFAULT_SIGNALS) {
    ::sigaddset(&defaults, sig);
  }
  int rc = ::posix_spawn_file_actions_adddup2(&actions, out_w, STDOUT_FILENO);
  if (rc == 0) {
    rc = ::posix_spawn_file_actions_adddup2(&actions, err_w, STDERR_FILENO);
  }
  if (rc == 0) {
    rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  }
  if (rc == 0) {
    rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                               POSIX_SPAWN_SETSIGDEF);
  }
  if (rc == 0) {
    rc = ::posix_spawnattr_setpgroup(&attr, 0);
  }
  if (rc == 0) {
    rc = ::posix_spawnattr_setsigmask(&attr, &empty);
  }
  if (rc == 0) {
    rc = ::posix_spawnattr_setsigdefault(&attr, &defaults);
  }
  if (rc != 0) {
    throw os_error(rc, "cannot start the shell");
  }
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, SHELL, &actions, &attr, plan.argv.data(), plan.envp.data());
  if (rc != 0) {
    throw os_error(rc, "cannot start the shell");
  }
  child.started(pid);
}

// Everything the vfork-style child needs, prepared by the parent: the child
// shares our memory and must not allocate, lock or signal other threads.
struct ChildArgs {
  const char* path;
  char* const* argv;
  char* const* envp;
  int out_w;
  int err_w;
  int report_w;
  const Identity* id;
};

struct ChildFailure {
  int step;
  int err;
};

enum ChildStep { STEP_SETPGID = 1, STEP_SETGROUPS, STEP_SETGID, STEP_SETUID, STEP_DUP, STEP_EXEC };

[[noreturn]] void child_fail(int report_w, int step) {
  ChildFailure f{step, errno};
  ssize_t ignored = ::write(report_w, &f, sizeof f);
  (void)ignored;
  ::_exit(127);
}

int child_main(void* raw) {
  const auto* a = static_cast<const ChildArgs*>(raw);
  if (::setpgid(0, 0) != 0) {
    child_fail(a->report_w, STEP_SETPGID);
  }
  sigset_t empty;
  ::sigemptyset(&empty);
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, _NSIG / 8);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : DEFAULT_SIGNALS) {
    ::sigaction(sig, &dfl, nullptr);
  }
  // Raw system calls: glibc's wrappers would signal every thread of the
  // process, and this child shares the parent's memory.
  if (a->id->set_groups &&
      ::syscall(SYS_setgroups, a->id->groups.size(), a->id->groups.data()) != 0) {
    child_fail(a->report_w, STEP_SETGROUPS);
  }
  if (::syscall(SYS_setgid, a->id->gid) != 0) {
    child_fail(a->report_w, STEP_SETGID);
  }
  if (::syscall(SYS_setuid, a->id->uid) != 0) {
    child_fail(a->report_w, STEP_SETUID);
  }
  if (::dup2(a->out_w, STDOUT_FILENO) < 0 || ::dup2(a->err_w, STDERR_FILENO) < 0) {
    child_fail(a->report_w, STEP_DUP);
  }
  // Keep only the report pipe (close-on-exec) above 2.
  auto report = static_cast<unsigned>(a->report_w);
  if (report > 3) {
    ::syscall(SYS_close_range, 3U, report - 1, 0U);
  }
  ::syscall(SYS_close_range, report + 1, ~0U, 0U);
  ::execve(a->path, a->argv, a->envp);
  child_fail(a->report_w, STEP_EXEC);
}

std::string step_text(int step) {
  switch (step) {
  case STEP_SETPGID:
    return "setpgid";
  case STEP_SETGROUPS:
    return "setgroups";
  case STEP_SETGID:
    return "setgid";
  case STEP_SETUID:
    return "setuid";
  case STEP_DUP:
    return "dup2";
  default:
    return "execve";
  }
}

void spawn_as_user(Child& child, SpawnPlan& plan, int out_w, int err_w, const Identity& id) {
  Pipe report = make_pipe();
  ChildArgs args{SHELL, plan.argv.data(), plan.envp.data(), out_w, err_w, report.write.get(), &id};
  constexpr std::size_t STACK_SIZE = 64 * 1024;
  std::vector<char> stack(STACK_SIZE);
  // The stack grows down on every platform we build for.
  void* top = stack.data() + STACK_SIZE;
  pid_t pid = ::clone(child_main, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
  if (pid < 0) {
    throw os_error(errno, "cannot start the shell");
  }
  // CLONE_VFORK: the child has exec'd or exited by now.
  report.write.reset();
  ChildFailure failure{};
  ssize_t n;
  do {
    n = ::read(report.read.get(), &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    throw os_error(failure.err, "cannot run as user " + support::quoted(id.name) + " (" +
                                    step_text(failure.step) + ")");
  }
  child.started(pid);
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
    int out_i = -1, err_i = -1, pid_i = -1;
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

double as_seconds(const json& timeout) {
  double t = timeout.is_number() ? timeout.get<double>() : 0.0;
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

json run_process(const json& alias_cfg, const json& params,
                 const std::optional<std::string>& run_dir, RunState& state) {
  const std::string cmd_template = template_text(member(alias_cfg, "command"));
  const std::string cmd = tmpl::render_command(cmd_template, params, run_dir);
  std::optional<EnvList> env = _build_env(alias_cfg, params, run_dir);
  const json& files = member(alias_cfg, "files");
  if (files.is_array() && !files.empty()) {
    if (!run_dir) {
      throw std::runtime_error("input files need a run directory");
    }
    for (const auto& file_def : files) {
      _create_process_file(file_def, params, *run_dir);
    }
  }
  _precreate_output_dirs(alias_cfg, params, run_dir);
  const json timeout = _resolve_timeout(alias_cfg);

  std::optional<Identity> identity;
  const std::string user = template_text(member(alias_cfg, "user"));
  if (!user.empty()) {
    identity = lookup_user(user);
  }

  // The template, not the rendered line: parameter values never go to the log.
  logger::debug("Executing process: " + support::quoted(cmd_template));

  SpawnPlan plan = make_plan(cmd, env ? *env : inherited_environment());
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  Child child;
  const auto started_at = std::chrono::steady_clock::now();
  if (identity) {
    spawn_as_user(child, plan, out.write.get(), err.write.get(), *identity);
  } else {
    spawn_plain(child, plan, out.write.get(), err.write.get());
  }
  state.pid = child.pid();
  // Our copies of the write ends must go, or the reads never see the end.
  out.write.reset();
  err.write.reset();

  Captured cap;
  cap.limit = _max_output_size();
  const auto deadline =
      started_at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(as_seconds(timeout)));
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
    return json{{"success", false},
                {"timed_out", true},
                {"returncode", nullptr},
                {"pid", *state.pid},
                {"error", "Command timed out after " + support::value_text(timeout) + " seconds"}};
  }

  const int returncode = exit_status(child.status());
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
  state.captured_stdout = stdout_text;
  state.captured_stderr = stderr_text;
  json file_outputs = _collect_output_files(alias_cfg, params, run_dir);
  return json{{"success", true},
              {"returncode", returncode},
              {"pid", *state.pid},
              {"stdout", std::move(stdout_text)},
              {"stderr", std::move(stderr_text)},
              {"file_outputs", std::move(file_outputs)}};
}

}  // namespace

json Executor::_execute_process(const json& alias_cfg, const json& params) {
  std::string shared_dir = config::config().get_text("SharedDir");
  if (shared_dir.empty()) {
    shared_dir = DEFAULT_SHARED_DIR;
  }
  fs::create_directories(shared_dir);

  std::optional<std::string> run_dir;
  if (scratch::needs_run_dir(alias_cfg)) {
    run_dir = scratch::create(shared_dir, alias_cfg, logger::get_correlation_id()).run_dir;
  }
  // Removed on every way out, also when a later set-up step throws.
  support::ScopeExit remove_run_dir([&] {
    if (run_dir) {
      scratch::cleanup(*run_dir);
    }
  });

  const json stream_entries =
      preserve::expand_preserve_streams(member(alias_cfg, "preserveStreams"));

  RunState state;
  json result;
  try {
    result = run_process(alias_cfg, params, run_dir, state);
  } catch (const std::exception& e) {
    logger::error(std::string("Process execution error: ") + e.what());
    result = json{{"success", false},
                  {"error", e.what()},
                  {"pid", state.pid ? json(*state.pid) : json(nullptr)}};
  } catch (...) {
    const std::string description = "unexpected failure while running the process";
    logger::error("Process execution error: " + description);
    result = json{{"success", false},
                  {"error", description},
                  {"pid", state.pid ? json(*state.pid) : json(nullptr)}};
  }

  preserve::preserve_streams(stream_entries, state.captured_stdout, state.captured_stderr,
                             config::config().get_text("LogDir"), logger::get_correlation_id());
  return result;
}

}  // namespace velquin::executor
