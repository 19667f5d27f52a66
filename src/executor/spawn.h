#pragma once

// Internal to the executor: starting a run's shell and ending every process
// the run started, through a cgroup per run or a subreaper per run.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alias/alias.h"
#include "support/fd.h"

namespace velquin::executor::detail {

struct Identity {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  bool set_groups = false;
};

// Looks the user up in the service process; throws for an unknown user.
Identity lookup_user(const std::string& name);

enum class Containment { cgroup, subreaper };

// One run's cgroup; a run takes it empty and gives it back.
struct RunCgroup {
  std::string name;
  support::UniqueFd dir;
  support::UniqueFd events;  // its cgroup.events
};

// Per-process limits of a run's shell, inherited by what it forks; 0: unchanged.
struct ChildRlimits {
  std::uint64_t address_space = 0;  // RLIMIT_AS, bytes
  std::uint64_t open_files = 0;     // RLIMIT_NOFILE
  std::uint64_t cpu_seconds = 0;    // RLIMIT_CPU
};

// Controllers that this instance's run cgroups have (run_limits.cpp).
enum Controller : unsigned { CONTROLLER_MEMORY = 1, CONTROLLER_PIDS = 2, CONTROLLER_CPU = 4 };

// How one run's limits are applied: through its cgroup where the controller
// is there, else as rlimits; `unapplied` names what neither can do.
struct LimitPlan {
  unsigned controllers = 0;  // the run cgroup's files to write
  alias::RunLimits cgroup;
  ChildRlimits rlimits;
  std::vector<std::string> unapplied;
};

LimitPlan plan_limits(const alias::RunLimits& limits, unsigned controllers, double timeout_seconds);
// Writes memory.max, pids.max and cpu.max of each controller in `plan`
// ("max" where the run has no limit: run cgroups are reused). Throws std::system_error.
void write_cgroup_limits(int cgroup_fd, const LimitPlan& plan);
// A counter of a cgroup's events file ("oom_kill" of memory.events); 0 when unreadable.
std::uint64_t cgroup_event_count(int cgroup_fd, const char* file, const char* key);
// What the run's cgroup counted while it ran: kills for memory, refused forks.
struct CgroupEvents {
  std::uint64_t oom_kills = 0;
  std::uint64_t pids_refused = 0;
};
CgroupEvents read_cgroup_events(int cgroup_fd, unsigned controllers);
// The limit that ended a run killed by `signal`, as "limits.<key>"; empty
// when none did. `during` is what the run's cgroup counted while it ran.
std::string limit_that_stopped(const LimitPlan& plan, int signal, const CgroupEvents& during);

// Enables what it can of memory, pids and cpu below the instance cgroup;
// returns the Controller bits run cgroups have.
unsigned enable_run_controllers(int instance_fd);
unsigned run_cgroup_controllers();

struct ShellSpec {
  std::string command;
  // NAME=value entries; the caller keeps them alive until start() returns.
  std::vector<const char*> env;
  const Identity* identity = nullptr;
  int out_w = -1;
  int err_w = -1;
  std::string run_id;  // names the run's cgroup
  const LimitPlan* limits = nullptr;
};

// Every process a run starts: the shell and whatever it forks, wherever it
// goes. The owner kills and reaps it; after a normal exit of the shell, what
// it left running goes on (detached).
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Throws std::system_error (or std::runtime_error) when the shell cannot start.
  void start(const ShellSpec& spec);

  // The shell's pid (what the audit reports).
  pid_t pid() const { return pid_; }
  // Readable once the shell has exited: its pidfd, or the subreaper's report
  // channel. -1 when neither exists (then poll try_reap).
  int pidfd() const { return exit_fd_.get(); }
  bool reaped() const { return reaped_; }
  // The shell's wait status, once reaped.
  int status() const { return status_; }
  bool try_reap();
  void reap_blocking();

  // Kills every process the run started, also those that left the shell's
  // process group or session; the one way to end a run early.
  void kill_group();

  // The limit that ended the run ("limits.memory"); empty when none did. Once reaped.
  std::string limit_hit() const;

 private:
  void start_in_cgroup(const ShellSpec& spec, const std::vector<char*>& argv,
                       const std::vector<char*>& envp);
  void start_with_reaper(const ShellSpec& spec);
  bool read_report(bool block);
  void wait_for_reaper_exit() noexcept;
  void release() noexcept;

  Containment mode_ = Containment::cgroup;
  pid_t pid_ = -1;
  bool reaper_alive_ = false;
  support::UniqueFd exit_fd_;
  RunCgroup cgroup_;
  std::string run_id_;
  const LimitPlan* limits_ = nullptr;
  CgroupEvents events_before_;  // a reused cgroup's counters go on
  std::string report_buf_;
  bool reaped_ = false;
  bool killed_ = false;
  int status_ = 0;
};

// Process-wide containment state (containment.cpp).
Containment containment();
// Whether clone3 with CLONE_INTO_CGROUP may be tried (cleared on ENOSYS).
bool clone3_usable();
void clone3_unusable();

// Hands out an empty cgroup of this instance for one run. Throws std::system_error.
RunCgroup take_run_cgroup();
// Takes a run's cgroup back once the run is over (after a kill, once its
// processes are gone, for a moment at most). What is still running is moved
// into "<run id>.detached", removed once empty. Never throws.
void give_back_run_cgroup(RunCgroup cgroup, const std::string& run_id, bool killed) noexcept;
// Removes the ".detached" cgroups that are empty now.
void sweep_detached() noexcept;
// The same, at most once a second: runs call it as they end.
void sweep_detached_if_due() noexcept;

// Starts a child that only joins the cgroup and exits: proves that runs can
// be placed there. Returns an error text, empty on success.
std::string probe_cgroup_spawn(int cgroup_fd);

// The subreaper factory (reaper.cpp): runs when the binary is re-executed
// for it, before anything else of the program.
constexpr const char* REAPER_ENV = "VELQUIN_RUN_REAPER=1";

// Messages between the service and its subreaper, in host byte order.
struct ReaperReport {
  int kind;
  int a;
  int b;
};
enum ReportKind { REPORT_STARTED = 1, REPORT_FAILED, REPORT_EXITED };
constexpr char REAPER_KILL = 'K';    // end every process of the run
constexpr char REAPER_DETACH = 'D';  // leave what is left running; exit

// The step of a child's start that failed.
enum ChildStep {
  STEP_CGROUP = 1,
  STEP_SETPGID,
  STEP_SETGROUPS,
  STEP_SETGID,
  STEP_SETUID,
  STEP_DUP,
  STEP_EXEC,
  STEP_CLONE,
  STEP_RLIMIT
};

// Everything the vfork-style child needs, prepared by the parent: the child
// shares our memory and must not allocate, lock or signal other threads.
struct ChildArgs {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int in_fd = -1;
  int out_fd = -1;
  int err_fd = -1;
  int procs_fd = -1;  // >= 0: join the run's cgroup by writing to its cgroup.procs
  const Identity* id = nullptr;
  const ChildRlimits* rlimits = nullptr;
  bool probe = false;  // exit right after joining the cgroup
  // Written by the child when a step fails (the parent is suspended meanwhile).
  volatile int fail_step = 0;
  volatile int fail_errno = 0;
};

// Starts child_main on a fresh stack with CLONE_VM | CLONE_VFORK; returns its
// pid (the child has exec'd or exited by then). With cgroup_fd >= 0 and
// clone3 available the child starts inside that cgroup and pidfd receives its
// pidfd. Throws std::system_error.
pid_t spawn_vfork(ChildArgs& args, int cgroup_fd, support::UniqueFd* pidfd);
std::string child_step_text(int step);

}  // namespace velquin::executor::detail
