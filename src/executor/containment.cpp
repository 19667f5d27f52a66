// How a run's processes are contained: a cgroup v2 per run below this
// instance's own cgroup, or (where none can be made) a subreaper per run.
//
// Layout, below the service's own cgroup:
//   velquin.<pid>.<start time>/           one per live instance
//     run-<n>/                            one per running run, kept for the next
//     <run id>.detached/                  what a finished run left running
// The pid and start time tell a dead instance's leftovers from a live one's,
// also when several instances share one cgroup.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "executor/executor.h"
#include "executor/spawn.h"
#include "logger/logger.h"
#include "support/file.h"
#include "support/uuid.h"

namespace velquin::executor {

using detail::Containment;

namespace detail {
// A run left processes behind in a ".detached" cgroup.
void detached_left();
}  // namespace detail
using support::UniqueFd;

namespace {

constexpr const char* INSTANCE_PREFIX = "velquin.";
constexpr const char* DETACHED_SUFFIX = ".detached";
constexpr int ABANDONED_WAIT_MS = 2000;
// How long a killed run's processes may take to be gone before they are detached.
constexpr int KILLED_WAIT_MS = 2000;
// Empty run cgroups kept beyond this are removed.
constexpr std::size_t MAX_POOLED = 64;

// Written under setup_lock at start-up (or on first use); the descriptors
// stay open for the life of the process.
struct State {
  std::mutex setup_lock;
  std::atomic<bool> ready{false};
  std::atomic<Containment> mode{Containment::subreaper};
  int service_fd = -1;   // the service's own cgroup
  int instance_fd = -1;  // ours, below it
  std::string instance_name;
  std::atomic<bool> clone3_ok{true};
  std::atomic<unsigned> controllers{0};  // Controller bits of run cgroups
  std::atomic<int> detached{0};
  std::atomic<std::int64_t> last_sweep_ms{0};
  std::mutex sweep_lock;
  // Empty run cgroups, ready for the next runs: starting a process in a
  // cgroup that exists costs nothing measurable, while making and removing
  // one per run added about a sixth to a spawn.
  std::mutex pool_lock;
  std::vector<detail::RunCgroup> pool;  // guarded by pool_lock
  unsigned next_run_cgroup = 0;         // guarded by pool_lock
  std::vector<std::string> stuck;       // guarded by pool_lock: busy, swept later
};

State& state() {
  static State s;
  return s;
}

std::string read_small_file(const std::string& path) {
  std::string text;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return text;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return text;
    }
  }
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// mountinfo escapes blanks and backslashes as \ooo.
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const std::string octal = s.substr(i + 1, 3);
      if (octal.size() == 3 && octal.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::stoi(octal, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = s.find(sep, start);
    parts.push_back(s.substr(start, end - start));
    if (end == std::string::npos) {
      return parts;
    }
    start = end + 1;
  }
}

// The service's own cgroup v2 directory: its path from /proc/self/cgroup,
// below the cgroup2 mount found in /proc/self/mountinfo.
std::optional<std::string> service_cgroup_dir(std::string& why) {
  std::string own;
  for (const auto& line : split(read_small_file("/proc/self/cgroup"), '\n')) {
    if (line.rfind("0::", 0) == 0) {
      own = line.substr(3);
    }
  }
  if (own.empty() || own.front() != '/') {
    why = "this process is in no cgroup v2 hierarchy";
    return std::nullopt;
  }
  for (const auto& line : split(read_small_file("/proc/self/mountinfo"), '\n')) {
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) {
      continue;
    }
    const auto left = split(line.substr(0, dash), ' ');
    const auto right = split(line.substr(dash + 3), ' ');
    if (left.size() < 5 || right.empty() || right[0] != "cgroup2") {
      continue;
    }
    const std::string root = unescape(left[3]);
    const std::string mount_point = unescape(left[4]);
    std::string rel;
    if (root == "/") {
      rel = own;
    } else if (own == root || own.rfind(root + "/", 0) == 0) {
      rel = own.substr(root.size());
    } else {
      continue;
    }
    if (rel == "/") {
      rel.clear();
    }
    return (mount_point == "/" ? "" : mount_point) + rel;
  }
  why = "no cgroup2 file system is mounted";
  return std::nullopt;
}

std::optional<std::string> start_time(pid_t pid) {
  const std::string stat = read_small_file("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  // Field 22 (start time); the text after ')' begins with field 3.
  const auto fields = split(stat.substr(close + 2), ' ');
  if (fields.size() < 20) {
    return std::nullopt;
  }
  return fields[19];
}

std::string instance_name_for(pid_t pid) {
  return INSTANCE_PREFIX + std::to_string(pid) + "." + start_time(pid).value_or("0");
}

// A directory name "velquin.<pid>.<start time>" whose process is gone.
bool dead_instance(const std::string& name) {
  if (name.rfind(INSTANCE_PREFIX, 0) != 0) {
    return false;
  }
  const auto parts = split(name.substr(std::strlen(INSTANCE_PREFIX)), '.');
  if (parts.size() != 2 || parts[0].empty() || parts[1].empty() ||
      parts[0].find_first_not_of("0123456789") != std::string::npos ||
      parts[1].find_first_not_of("0123456789") != std::string::npos || parts[0].size() > 9) {
    return false;
  }
  return start_time(static_cast<pid_t>(std::stol(parts[0]))) != parts[1];
}

std::vector<std::string> subdirectories(int dir_fd) {
  return support::directory_names(dir_fd, true);
}

void write_word(int dir_fd, const char* file, const char* word) {
  UniqueFd fd(::openat(dir_fd, file, O_WRONLY | O_CLOEXEC));
  if (fd) {
    ssize_t ignored = ::write(fd.get(), word, std::strlen(word));
    (void)ignored;
  }
}

// Whether a cgroup.events file holds `state` now.
bool has_event(int events_fd, const char* state) {
  char buf[256];
  ssize_t n = ::pread(events_fd, buf, sizeof buf - 1, 0);
  if (n <= 0) {
    return false;
  }
  buf[n] = '\0';
  return std::strstr(buf, state) != nullptr;
}

// Waits up to wait_ms until a cgroup.events file holds `state`.
bool wait_for_event(int events_fd, const char* state, int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (has_event(events_fd, state)) {
      return true;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      return false;
    }
    pollfd p{events_fd, POLLPRI, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

UniqueFd open_events(int cgroup_fd) {
  return UniqueFd(::openat(cgroup_fd, "cgroup.events", O_RDONLY | O_CLOEXEC));
}

// Moves what runs in a cgroup into a new cgroup "<target>.detached" below
// parent_fd (cgroup v2 cannot rename one). The processes are frozen
// meanwhile, so none can fork behind our back and stay where it was.
void detach(int parent_fd, int from_fd, int from_events, const std::string& target_name,
            bool ours) {
  std::string target = target_name + DETACHED_SUFFIX;
  if (::mkdirat(parent_fd, target.c_str(), 0755) != 0) {
    target = support::uuid4() + DETACHED_SUFFIX;
    if (::mkdirat(parent_fd, target.c_str(), 0755) != 0) {
      return;
    }
  }
  if (ours) {
    detail::detached_left();
  }
  UniqueFd to_procs(::openat(parent_fd, (target + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
  if (!to_procs) {
    return;
  }
  write_word(from_fd, "cgroup.freeze", "1");
  wait_for_event(from_events, "frozen 1", 1000);
  for (int pass = 0; pass < 100; ++pass) {
    const std::string procs =
        read_small_file("/proc/self/fd/" + std::to_string(from_fd) + "/cgroup.procs");
    if (procs.empty()) {
      break;
    }
    for (const auto& pid : split(procs, '\n')) {
      if (!pid.empty()) {
        ssize_t ignored = ::write(to_procs.get(), pid.data(), pid.size());
        (void)ignored;
      }
    }
  }
  write_word(from_fd, "cgroup.freeze", "0");
}

// Ends a run cgroup that a dead instance left; true when a run was going on in it.
bool end_abandoned_run(int instance_fd, const std::string& name) {
  UniqueFd dir(::openat(instance_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd events = dir ? open_events(dir.get()) : UniqueFd();
  if (!events) {
    return false;
  }
  const bool running = has_event(events.get(), "populated 1");
  if (running) {
    write_word(dir.get(), "cgroup.kill", "1");
    if (!wait_for_event(events.get(), "populated 0", ABANDONED_WAIT_MS)) {
      detach(instance_fd, dir.get(), events.get(), name, false);
    }
  }
  events.reset();
  dir.reset();
  ::unlinkat(instance_fd, name.c_str(), AT_REMOVEDIR);
  return running;
}

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Creates this instance's cgroup and proves that a run can be started in one
// and killed there. Called with setup_lock held.
bool open_instance(std::string& why) {
  State& s = state();
  const auto dir = service_cgroup_dir(why);
  if (!dir) {
    return false;
  }
  UniqueFd service(::open(dir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!service) {
    why = "cannot open " + *dir + ": " + std::strerror(errno);
    return false;
  }
  // Enabling controllers (memory.max, pids.max) for runs would need them in
  // this cgroup's subtree_control, which cgroup v2 allows only once the
  // service itself sits in a leaf: that move belongs here, before the
  // instance cgroup is made.
  const std::string name = instance_name_for(::getpid());
  if (::mkdirat(service.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
    why = "cannot create a cgroup in " + *dir + ": " + std::strerror(errno);
    return false;
  }
  UniqueFd instance(::openat(service.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string failure;
  if (!instance) {
    failure = "cannot open a cgroup in " + *dir + ": " + std::strerror(errno);
  } else if (::mkdirat(instance.get(), "probe", 0755) != 0 && errno != EEXIST) {
    failure = "cannot create a cgroup in " + *dir + "/" + name + ": " + std::strerror(errno);
  } else {
    UniqueFd probe(::openat(instance.get(), "probe", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd kill(probe ? ::openat(probe.get(), "cgroup.kill", O_WRONLY | O_CLOEXEC) : -1);
    if (!kill) {
      failure = errno == ENOENT ? "cgroup.kill is missing (it needs Linux 5.14 or later)"
                                : std::string("cannot use cgroup.kill: ") + std::strerror(errno);
    } else if (::write(kill.get(), "1", 1) != 1) {
      failure = std::string("cannot use cgroup.kill: ") + std::strerror(errno);
    } else {
      failure = detail::probe_cgroup_spawn(probe.get());
    }
    probe.reset();
    ::unlinkat(instance.get(), "probe", AT_REMOVEDIR);
  }
  if (!failure.empty()) {
    instance.reset();
    ::unlinkat(service.get(), name.c_str(), AT_REMOVEDIR);
    why = failure;
    return false;
  }
  s.service_fd = service.release();
  s.instance_fd = instance.release();
  s.instance_name = name;
  return true;
}

std::vector<std::string> set_up_locked(const std::string& setting) {
  State& s = state();
  std::vector<std::string> errors;
  Containment mode = Containment::subreaper;
  if (setting != "subreaper") {
    std::string why;
    if (s.instance_fd >= 0 || open_instance(why)) {
      mode = Containment::cgroup;
      s.controllers.store(detail::enable_run_controllers(s.instance_fd));
    } else if (setting == "cgroup") {
      errors.push_back("RunContainment is cgroup, but runs cannot get a cgroup here: " + why);
    }
  }
  s.mode.store(mode, std::memory_order_release);
  s.ready.store(true, std::memory_order_release);
  return errors;
}

}  // namespace

std::vector<std::string> set_up_run_containment(const std::string& setting) {
  std::lock_guard lock(state().setup_lock);
  return set_up_locked(setting);
}

unsigned detail::run_cgroup_controllers() {
  return detail::containment() == Containment::cgroup ? state().controllers.load() : 0;
}

std::string run_limits_in_force() {
  const unsigned bits = detail::run_cgroup_controllers();
  std::string cgroup;
  for (const auto& [bit, name] : {std::pair{detail::CONTROLLER_MEMORY, "memory"},
                                  {detail::CONTROLLER_PIDS, "pids"},
                                  {detail::CONTROLLER_CPU, "cpu"}}) {
    if ((bits & bit) != 0) {
      cgroup += (cgroup.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (bits == (detail::CONTROLLER_MEMORY | detail::CONTROLLER_PIDS | detail::CONTROLLER_CPU)) {
    return "Process run limits: per run through its cgroup (" + cgroup +
           "); openFiles as RLIMIT_NOFILE";
  }
  return "Process run limits: " +
         (cgroup.empty() ? std::string("no cgroup controllers here, so per process")
                         : "cgroup for " + cgroup + ", the rest per process") +
         ": memory as RLIMIT_AS, cpus as RLIMIT_CPU, openFiles as RLIMIT_NOFILE" +
         ((bits & detail::CONTROLLER_PIDS) != 0 ? "" : "; pids not applied");
}

std::string run_containment_name() {
  return detail::containment() == Containment::cgroup ? "cgroup" : "subreaper";
}

void run_containment_after_fork() {
  State& s = state();
  std::lock_guard lock(s.setup_lock);
  if (s.instance_fd < 0) {
    return;
  }
  const std::string name = instance_name_for(::getpid());
  if (name == s.instance_name) {
    return;
  }
  // Under the old name another instance's start would take our runs for a dead
  // one's. cgroup v2 cannot rename: a new cgroup replaces the (empty) old one.
  if (::mkdirat(s.service_fd, name.c_str(), 0755) == 0 || errno == EEXIST) {
    const int fd = ::openat(s.service_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(s.instance_fd);
      ::unlinkat(s.service_fd, s.instance_name.c_str(), AT_REMOVEDIR);
      s.instance_fd = fd;
      s.instance_name = name;
      s.controllers.store(detail::enable_run_controllers(fd));
      return;
    }
  }
  logger::error(std::string("Cannot create this instance's cgroup after the daemon fork (") +
                std::strerror(errno) + "); runs use a subreaper");
  s.controllers.store(0);
  s.mode.store(Containment::subreaper, std::memory_order_release);
}

std::size_t end_abandoned_runs() {
  State& s = state();
  std::lock_guard lock(s.setup_lock);
  UniqueFd found;
  int service = s.service_fd;
  if (service < 0) {
    std::string why;
    const auto dir = service_cgroup_dir(why);
    if (!dir) {
      return 0;
    }
    found.reset(::open(dir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!found) {
      return 0;
    }
    service = found.get();
  }
  std::size_t ended = 0;
  for (const auto& name : subdirectories(service)) {
    if (name == s.instance_name || !dead_instance(name)) {
      continue;
    }
    UniqueFd instance(::openat(service, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!instance) {
      continue;
    }
    for (const auto& run : subdirectories(instance.get())) {
      if (ends_with(run, DETACHED_SUFFIX)) {
        // Left running on purpose by a finished run; only removed once empty.
        ::unlinkat(instance.get(), run.c_str(), AT_REMOVEDIR);
        continue;
      }
      if (end_abandoned_run(instance.get(), run)) {
        ++ended;
      }
    }
    instance.reset();
    ::unlinkat(service, name.c_str(), AT_REMOVEDIR);
  }
  return ended;
}

void release_run_containment() noexcept {
  State& s = state();
  detail::sweep_detached();
  {
    std::lock_guard lock(s.pool_lock);
    for (auto& cgroup : s.pool) {
      cgroup.dir.reset();
      cgroup.events.reset();
      ::unlinkat(s.instance_fd, cgroup.name.c_str(), AT_REMOVEDIR);
    }
    s.pool.clear();
  }
  std::lock_guard lock(s.setup_lock);
  if (s.instance_fd >= 0 && ::unlinkat(s.service_fd, s.instance_name.c_str(), AT_REMOVEDIR) == 0) {
    ::close(s.instance_fd);
    s.instance_fd = -1;
    s.ready.store(false, std::memory_order_release);
  }
}

namespace detail {

Containment containment() {
  State& s = state();
  if (!s.ready.load(std::memory_order_acquire)) {
    // Not set up at start-up (a program other than the service): the default applies.
    std::lock_guard lock(s.setup_lock);
    if (!s.ready.load(std::memory_order_acquire)) {
      set_up_locked("auto");
    }
  }
  return s.mode.load(std::memory_order_acquire);
}

int instance_cgroup_fd() {
  return state().instance_fd;
}

bool clone3_usable() {
  return state().clone3_ok.load(std::memory_order_relaxed);
}

void clone3_unusable() {
  state().clone3_ok.store(false, std::memory_order_relaxed);
}

void detached_left() {
  state().detached.fetch_add(1, std::memory_order_relaxed);
}

void sweep_detached() noexcept {
  State& s = state();
  if (s.detached.load(std::memory_order_relaxed) <= 0 || s.instance_fd < 0) {
    return;
  }
  std::unique_lock lock(s.sweep_lock, std::try_to_lock);
  if (!lock.owns_lock()) {
    return;
  }
  try {
    int removed = 0;
    for (const auto& name : subdirectories(s.instance_fd)) {
      if (ends_with(name, DETACHED_SUFFIX) &&
          ::unlinkat(s.instance_fd, name.c_str(), AT_REMOVEDIR) == 0) {
        ++removed;
      }
    }
    {
      std::lock_guard pool(s.pool_lock);
      std::erase_if(s.stuck, [&](const std::string& name) {
        const bool gone = ::unlinkat(s.instance_fd, name.c_str(), AT_REMOVEDIR) == 0;
        removed += gone ? 1 : 0;
        return gone;
      });
    }
    s.detached.fetch_sub(removed, std::memory_order_relaxed);
  } catch (...) {
  }
}

void sweep_detached_if_due() noexcept {
  State& s = state();
  if (s.detached.load(std::memory_order_relaxed) <= 0) {
    return;
  }
  std::int64_t last = s.last_sweep_ms.load(std::memory_order_relaxed);
  const std::int64_t now = now_ms();
  if (now - last < 1000 ||
      !s.last_sweep_ms.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
    return;
  }
  sweep_detached();
}

RunCgroup take_run_cgroup() {
  State& s = state();
  std::string name;
  {
    std::lock_guard lock(s.pool_lock);
    if (!s.pool.empty()) {
      RunCgroup cgroup = std::move(s.pool.back());
      s.pool.pop_back();
      return cgroup;
    }
    name = "run-" + std::to_string(s.next_run_cgroup++);
  }
  if (::mkdirat(s.instance_fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), "cannot create the run's cgroup");
  }
  RunCgroup cgroup;
  cgroup.name = name;
  cgroup.dir.reset(::openat(s.instance_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (cgroup.dir) {
    cgroup.events = open_events(cgroup.dir.get());
  }
  if (!cgroup.events) {
    const int err = errno;
    ::unlinkat(s.instance_fd, name.c_str(), AT_REMOVEDIR);
    throw std::system_error(err, std::generic_category(), "cannot open the run's cgroup");
  }
  return cgroup;
}

void give_back_run_cgroup(RunCgroup cgroup, const std::string& run_id, bool killed) noexcept {
  State& s = state();
  try {
    if (killed) {
      wait_for_event(cgroup.events.get(), "populated 0", KILLED_WAIT_MS);
    }
    if (has_event(cgroup.events.get(), "populated 1")) {
      detach(s.instance_fd, cgroup.dir.get(), cgroup.events.get(),
             support::is_uuid(run_id) ? run_id : support::uuid4(), true);
    }
    const bool empty = has_event(cgroup.events.get(), "populated 0");
    std::lock_guard lock(s.pool_lock);
    // Linux kills what later starts in a cgroup once killed through
    // cgroup.kill (clone3 compares kill counts): such a cgroup is not reused.
    if (empty && !killed && s.pool.size() < MAX_POOLED) {
      s.pool.push_back(std::move(cgroup));
      return;
    }
    const std::string name = cgroup.name;
    cgroup.dir.reset();
    cgroup.events.reset();
    if (::unlinkat(s.instance_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno == EBUSY) {
      // Processes that could not be moved: removed by a later sweep.
      s.stuck.push_back(name);
      detached_left();
    }
  } catch (...) {
  }
}

}  // namespace detail

}  // namespace velquin::executor
