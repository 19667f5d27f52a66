// Starting a run's shell so that every process it starts can be ended: a
// vfork-style child that is inside the run's cgroup before it can fork, or a
// subreaper process per run that adopts whatever leaves the shell's tree.

#include "executor/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "support/quoted.h"
#include "support/scope_exit.h"

namespace velquin::executor::detail {

[[noreturn]] void reaper_factory_main();

namespace {

using support::UniqueFd;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* SHELL = "/bin/sh";
constexpr const char* SELF = "/proc/self/exe";
constexpr std::size_t CHILD_STACK_SIZE = std::size_t{64} * 1024;
// Signals the child must start with at their default action whatever the
// service did with them.
constexpr int DEFAULT_SIGNALS[] = {SIGPIPE, SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGCHLD};

std::system_error os_error(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

// The child shares the parent's memory, so a sanitizer's bookkeeping must not
// run in it: its interceptors (sigaction, dup2, execve, _exit) would change
// the parent's state, and a function-entry hook would grow the parent
// thread's shadow stack with a frame that never returns.
#if defined(__clang__) && __has_attribute(disable_sanitizer_instrumentation)
#define VELQUIN_VFORK_CHILD                                                                        \
  __attribute__((no_sanitize("thread"), disable_sanitizer_instrumentation))
#else
#define VELQUIN_VFORK_CHILD __attribute__((no_sanitize("thread")))
#endif

// The kernel's struct sigaction, for a raw rt_sigaction with SIG_DFL.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  std::uint64_t mask;
};

[[noreturn]] VELQUIN_VFORK_CHILD inline void child_fail(ChildArgs* a, int step) {
  a->fail_errno = errno;
  a->fail_step = step;
  ::syscall(SYS_exit_group, 127);
  __builtin_unreachable();
}

// to's copy keeps no close-on-exec flag, also when from already is to.
VELQUIN_VFORK_CHILD inline bool child_dup_onto(int from, int to) {
  if (from == to) {
    return ::syscall(SYS_fcntl, to, F_SETFD, 0) == 0;
  }
  return ::syscall(SYS_dup3, from, to, 0) == to;
}

// Runs in the vfork-style child: raw system calls only (see ChildArgs).
VELQUIN_VFORK_CHILD int child_main(void* raw) {
  auto* a = static_cast<ChildArgs*>(raw);
  // "0" moves the writing process itself; nothing has forked yet, so no
  // descendant can be left outside.
  if (a->procs_fd >= 0 && ::syscall(SYS_write, a->procs_fd, "0", 1) != 1) {
    child_fail(a, STEP_CGROUP);
  }
  if (a->probe) {
    ::syscall(SYS_exit_group, 0);
  }
  if (::syscall(SYS_setpgid, 0, 0) != 0) {
    child_fail(a, STEP_SETPGID);
  }
  // Before setuid: a limit above the service's own hard limit needs its privilege.
  if (a->rlimits != nullptr) {
    const std::pair<int, std::uint64_t> wanted[] = {{RLIMIT_AS, a->rlimits->address_space},
                                                    {RLIMIT_NOFILE, a->rlimits->open_files},
                                                    {RLIMIT_CPU, a->rlimits->cpu_seconds}};
    for (const auto& [resource, value] : wanted) {
      if (value == 0) {
        continue;
      }
      struct rlimit limit {
        static_cast<rlim_t>(value), static_cast<rlim_t>(value)
      };
      if (::syscall(SYS_prlimit64, 0, resource, &limit, nullptr) != 0) {
        child_fail(a, STEP_RLIMIT);
      }
    }
  }
  const std::uint64_t empty = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, sizeof empty);
  KernelSigaction dfl{};
  dfl.handler = SIG_DFL;
  for (int sig : DEFAULT_SIGNALS) {
    ::syscall(SYS_rt_sigaction, sig, &dfl, nullptr, sizeof dfl.mask);
  }
  // Raw system calls: glibc's wrappers would signal every thread of the
  // process, and this child shares the parent's memory.
  if (a->id != nullptr) {
    if (a->id->set_groups &&
        ::syscall(SYS_setgroups, a->id->groups.size(), a->id->groups.data()) != 0) {
      child_fail(a, STEP_SETGROUPS);
    }
    if (::syscall(SYS_setgid, a->id->gid) != 0) {
      child_fail(a, STEP_SETGID);
    }
    if (::syscall(SYS_setuid, a->id->uid) != 0) {
      child_fail(a, STEP_SETUID);
    }
  }
  if (!child_dup_onto(a->in_fd, STDIN_FILENO) || !child_dup_onto(a->out_fd, STDOUT_FILENO) ||
      !child_dup_onto(a->err_fd, STDERR_FILENO)) {
    child_fail(a, STEP_DUP);
  }
  ::syscall(SYS_close_range, 3U, ~0U, 0U);
  ::syscall(SYS_execve, a->path, a->argv, a->envp);
  child_fail(a, STEP_EXEC);
}

// struct clone_args of <linux/sched.h> up to its cgroup member (Linux 5.7).
struct CloneArgs {
  std::uint64_t flags;
  std::uint64_t pidfd;
  std::uint64_t child_tid;
  std::uint64_t parent_tid;
  std::uint64_t exit_signal;
  std::uint64_t stack;
  std::uint64_t stack_size;
  std::uint64_t tls;
  std::uint64_t set_tid;
  std::uint64_t set_tid_size;
  std::uint64_t cgroup;
};
constexpr std::uint64_t CLONE_INTO_CGROUP_FLAG = 0x200000000ULL;
constexpr std::uint64_t CLONE_PIDFD_FLAG = 0x1000ULL;

#if defined(__x86_64__)
// glibc has no clone3 wrapper, and syscall() cannot start a CLONE_VM child on
// a stack of its own: the child would return through the caller's frames on
// a stack that holds none. So the child branch is written here: it calls
// fn(arg) on the new stack and exits with its result. Returns -errno on failure.
long clone3_call(CloneArgs* args, int (*fn)(void*), void* arg) {
  register long fn_reg asm("r12") = reinterpret_cast<long>(fn);
  register long arg_reg asm("r13") = reinterpret_cast<long>(arg);
  long ret = SYS_clone3;
  asm volatile("syscall\n\t"
               "testq %%rax, %%rax\n\t"
               "jnz 1f\n\t"
               "xorl %%ebp, %%ebp\n\t"
               "andq $-16, %%rsp\n\t"
               "movq %%r13, %%rdi\n\t"
               "callq *%%r12\n\t"
               "movl %%eax, %%edi\n\t"
               "movl $60, %%eax\n\t"  // SYS_exit
               "syscall\n\t"
               "hlt\n\t"
               "1:\n\t"
               : "+a"(ret)
               : "D"(args), "S"(sizeof(CloneArgs)), "r"(fn_reg), "r"(arg_reg)
               : "rcx", "r11", "memory", "cc");
  return ret;
}
#endif

// /dev/null for the children's standard input, opened once.
int dev_null() {
  static const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw os_error(errno, "cannot open /dev/null");
  }
  return fd;
}

struct Argv {
  std::vector<std::string> storage;
  std::vector<char*> pointers;
  explicit Argv(std::vector<std::string> strings) : storage(std::move(strings)) {
    for (auto& s : storage) {
      pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
  }
};

std::string failure_text(const ChildArgs& args, const Identity* id) {
  if (id != nullptr && args.fail_step >= STEP_SETGROUPS && args.fail_step <= STEP_SETUID) {
    return "cannot run as user " + support::quoted(id->name) + " (" +
           child_step_text(args.fail_step) + ")";
  }
  return "cannot start the shell (" + child_step_text(args.fail_step) + ")";
}

void reap_now(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
}

// What the subreaper needs to start the shell, as NUL-terminated fields:
// has identity, uid, gid, set_groups, group count, groups, user name,
// command, environment entries.
std::string reaper_request(const ShellSpec& spec) {
  std::string blob;
  auto field = [&blob](std::string_view text) {
    // execve reads C strings: cut where it would, or a NUL in a client's
    // value would start a field (an environment entry) of its own.
    blob.append(text, 0, text.find('\0'));
    blob.push_back('\0');
  };
  const Identity* id = spec.identity;
  field(id != nullptr ? "1" : "0");
  field(id != nullptr ? std::to_string(id->uid) : "0");
  field(id != nullptr ? std::to_string(id->gid) : "0");
  field(id != nullptr && id->set_groups ? "1" : "0");
  field(std::to_string(id != nullptr ? id->groups.size() : 0));
  if (id != nullptr) {
    for (gid_t g : id->groups) {
      field(std::to_string(g));
    }
  }
  const ChildRlimits none;
  const ChildRlimits& rl = spec.limits != nullptr ? spec.limits->rlimits : none;
  for (std::uint64_t value : {rl.address_space, rl.open_files, rl.cpu_seconds}) {
    field(std::to_string(value));
  }
  field(id != nullptr ? id->name : "");
  field(spec.command);
  for (const char* e : spec.env) {
    field(e);
  }
  return blob;
}

bool send_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Starts the subreapers: one small process per instance (this binary,
// re-executed once) that forks a subreaper for each run. Re-executing the
// binary for every run would cost a start of its forty-odd libraries each time.
class ReaperFactory {
 public:
  // The new subreaper gets /dev/null, out_w, err_w and ctl as its 0 to 3.
  void start_reaper(int out_w, int err_w, int ctl) {
    std::lock_guard lock(lock_);
    for (int attempt = 0;; ++attempt) {
      if (!socket_) {
        launch();
      }
      if (send_fds(out_w, err_w, ctl)) {
        return;
      }
      const int err = errno;
      socket_.reset();  // it died; one more try with a new one
      if (attempt > 0) {
        throw os_error(err, "cannot start the run's subreaper");
      }
    }
  }

 private:
  bool send_fds(int out_w, int err_w, int ctl) {
    const int fds[3] = {out_w, err_w, ctl};
    char byte = 'R';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(cmsg), fds, sizeof fds);
    ssize_t n;
    do {
      n = ::sendmsg(socket_.get(), &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1;
  }

  void launch() {
    if (pid_ > 0) {
      // The previous one is gone (its socket broke): collect it.
      ::kill(pid_, SIGKILL);
      reap_now(pid_);
      pid_ = -1;
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
      throw os_error(errno, "cannot start the run's subreaper");
    }
    UniqueFd ours(sv[0]);
    UniqueFd theirs(sv[1]);
    posix_spawn_file_actions_t actions;
    if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) {
      throw os_error(rc, "cannot start the run's subreaper");
    }
    support::ScopeExit free_actions([&] { ::posix_spawn_file_actions_destroy(&actions); });
    posix_spawnattr_t attr;
    if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
      throw os_error(rc, "cannot start the run's subreaper");
    }
    support::ScopeExit free_attr([&] { ::posix_spawnattr_destroy(&attr); });
    sigset_t empty;
    sigset_t defaults;
    ::sigemptyset(&empty);
    ::sigemptyset(&defaults);
    for (int sig : DEFAULT_SIGNALS) {
      ::sigaddset(&defaults, sig);
    }
    int rc = 0;
    for (int fd = 0; fd < 3 && rc == 0; ++fd) {
      rc = ::posix_spawn_file_actions_adddup2(&actions, dev_null(), fd);
    }
    if (rc == 0) {
      rc = ::posix_spawn_file_actions_adddup2(&actions, theirs.get(), 3);
    }
    if (rc == 0) {
      rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 4);
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
      throw os_error(rc, "cannot start the run's subreaper");
    }
    // Its environment holds nothing but the mode: a run's environment travels
    // over the socket, so no alias variable (LD_PRELOAD...) reaches a process
    // that keeps the service's privileges.
    std::string arg0 = "velquin-reaper";
    std::string mode = REAPER_ENV;
    char* argv[] = {arg0.data(), nullptr};
    std::vector<std::string> env_strings{mode};
    if (kSanitized) {
      // A sanitizer build's reports must reach the file its options name.
      for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name); value != nullptr) {
          env_strings.push_back(std::string(name) + "=" + value);
        }
      }
    }
    std::vector<char*> envp;
    envp.reserve(env_strings.size() + 1);
    for (auto& e : env_strings) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    rc = ::posix_spawn(&pid_, SELF, &actions, &attr, argv, envp.data());
    if (rc != 0) {
      pid_ = -1;
      throw os_error(rc, "cannot start the run's subreaper");
    }
    socket_ = std::move(ours);
  }

  std::mutex lock_;
  UniqueFd socket_;  // guarded by lock_
  pid_t pid_ = -1;   // guarded by lock_
};

ReaperFactory& reaper_factory() {
  static ReaperFactory factory;
  return factory;
}

}  // namespace

// Before the program's own static objects: a binary re-executed as a run's
// subreaper does nothing else. Here rather than in main() so that every
// program that can start runs (the tests too) can also serve as their subreaper.
__attribute__((constructor(101))) void enter_reaper_mode_when_asked() {
  const char* value = std::getenv("VELQUIN_RUN_REAPER");
  if (value != nullptr && std::strcmp(value, "1") == 0) {
    reaper_factory_main();
  }
}

std::string child_step_text(int step) {
  switch (step) {
  case STEP_CGROUP:
    return "joining the run's cgroup";
  case STEP_SETPGID:
    return "setpgid";
  case STEP_RLIMIT:
    return "setrlimit";
  case STEP_SETGROUPS:
    return "setgroups";
  case STEP_SETGID:
    return "setgid";
  case STEP_SETUID:
    return "setuid";
  case STEP_DUP:
    return "dup2";
  case STEP_CLONE:
    return "clone";
  default:
    return "execve";
  }
}

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

pid_t spawn_vfork(ChildArgs& args, int cgroup_fd, UniqueFd* pidfd) {
  std::unique_ptr<char[]> stack(new char[CHILD_STACK_SIZE]);
  pid_t pid = -1;
#if defined(__x86_64__)
  if (cgroup_fd >= 0 && clone3_usable()) {
    int raw_pidfd = -1;
    CloneArgs clone_args{};
    clone_args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD_FLAG | CLONE_INTO_CGROUP_FLAG;
    clone_args.pidfd = reinterpret_cast<std::uint64_t>(&raw_pidfd);
    clone_args.exit_signal = SIGCHLD;
    clone_args.stack = reinterpret_cast<std::uint64_t>(stack.get());
    clone_args.stack_size = CHILD_STACK_SIZE;
    clone_args.cgroup = static_cast<std::uint64_t>(cgroup_fd);
    long r = clone3_call(&clone_args, child_main, &args);
    if (r >= 0) {
      pid = static_cast<pid_t>(r);
      if (pidfd != nullptr) {
        pidfd->reset(raw_pidfd);
      } else {
        ::close(raw_pidfd);
      }
      return pid;
    }
    if (r != -ENOSYS && r != -E2BIG) {
      throw os_error(static_cast<int>(-r), "cannot start the shell");
    }
    // Filtered (container seccomp profiles answer ENOSYS) or too old.
    clone3_unusable();
  }
#endif
  // Elsewhere the child joins the cgroup itself, before it can fork.
  UniqueFd procs;
  if (cgroup_fd >= 0) {
    procs.reset(::openat(cgroup_fd, "cgroup.procs", O_WRONLY | O_CLOEXEC));
    if (!procs) {
      throw os_error(errno, "cannot open the run's cgroup");
    }
    args.procs_fd = procs.get();
  }
  // The stack grows down on every platform we build for.
  pid =
      ::clone(child_main, stack.get() + CHILD_STACK_SIZE, CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
  if (pid < 0) {
    throw os_error(errno, "cannot start the shell");
  }
  if (pidfd != nullptr) {
    // Close-on-exec by definition; -1 on kernels without pidfds (we then poll).
    pidfd->reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }
  return pid;
}

std::string probe_cgroup_spawn(int cgroup_fd) {
  ChildArgs args;
  args.probe = true;
  try {
    pid_t pid = spawn_vfork(args, cgroup_fd, nullptr);
    reap_now(pid);
  } catch (const std::exception& e) {
    return e.what();
  }
  if (args.fail_step != 0) {
    return std::string("a process cannot join a run's cgroup: ") + std::strerror(args.fail_errno);
  }
  return "";
}

Child::~Child() {
  release();
}

void Child::start(const ShellSpec& spec) {
  mode_ = containment();
  if (mode_ == Containment::subreaper) {
    start_with_reaper(spec);
    return;
  }
  Argv argv({"sh", "-c", spec.command});
  // execve takes char* const[] and changes nothing.
  std::vector<char*> envp;
  envp.reserve(spec.env.size() + 1);
  for (const char* e : spec.env) {
    envp.push_back(const_cast<char*>(e));
  }
  envp.push_back(nullptr);
  start_in_cgroup(spec, argv.pointers, envp);
}

void Child::start_in_cgroup(const ShellSpec& spec, const std::vector<char*>& argv,
                            const std::vector<char*>& envp) {
  cgroup_ = take_run_cgroup();
  run_id_ = spec.run_id;
  limits_ = spec.limits;
  if (limits_ != nullptr && limits_->controllers != 0) {
    write_cgroup_limits(cgroup_.dir.get(), *limits_);
    events_before_ = read_cgroup_events(cgroup_.dir.get(), limits_->controllers);
  }
  ChildArgs args;
  args.path = SHELL;
  args.argv = argv.data();
  args.envp = envp.data();
  args.in_fd = dev_null();
  args.out_fd = spec.out_w;
  args.err_fd = spec.err_w;
  args.id = spec.identity;
  args.rlimits = spec.limits != nullptr ? &spec.limits->rlimits : nullptr;
  UniqueFd pidfd;
  const pid_t pid = spawn_vfork(args, cgroup_.dir.get(), &pidfd);
  if (args.fail_step != 0) {
    reap_now(pid);
    throw os_error(args.fail_errno, failure_text(args, spec.identity));
  }
  pid_ = pid;
  exit_fd_ = std::move(pidfd);
}

void Child::start_with_reaper(const ShellSpec& spec) {
  limits_ = spec.limits;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    throw os_error(errno, "cannot start the run's subreaper");
  }
  UniqueFd ours(sv[0]);
  UniqueFd theirs(sv[1]);
  reaper_factory().start_reaper(spec.out_w, spec.err_w, theirs.get());
  theirs.reset();
  exit_fd_ = std::move(ours);
  reaper_alive_ = true;

  const std::string request = reaper_request(spec);
  const std::uint64_t size = request.size();
  // A failed send shows as the missing report below.
  if (send_all(exit_fd_.get(), &size, sizeof size)) {
    send_all(exit_fd_.get(), request.data(), request.size());
  }
  ReaperReport first{};
  std::size_t got = 0;
  while (got < sizeof first) {
    ssize_t n =
        ::recv(exit_fd_.get(), reinterpret_cast<char*>(&first) + got, sizeof first - got, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got == sizeof first && first.kind == REPORT_STARTED) {
    pid_ = first.a;
    return;
  }
  // It reported a failure and leaves, or it is gone already.
  wait_for_reaper_exit();
  if (got == sizeof first && first.kind == REPORT_FAILED) {
    ChildArgs failed;
    failed.fail_step = first.a;
    throw os_error(first.b, failure_text(failed, spec.identity));
  }
  throw std::runtime_error("the run's subreaper ended before it started the shell");
}

void Child::wait_for_reaper_exit() noexcept {
  // It holds its end of the socket until it exits; nothing more is sent after the shell's status.
  while (reaper_alive_) {
    char buf[64];
    ssize_t n = ::recv(exit_fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      reaper_alive_ = false;
    }
  }
}

bool Child::read_report(bool block) {
  while (!reaped_ && reaper_alive_) {
    char buf[sizeof(ReaperReport)];
    ssize_t n =
        ::recv(exit_fd_.get(), buf, sizeof buf - report_buf_.size(), block ? 0 : MSG_DONTWAIT);
    if (n > 0) {
      report_buf_.append(buf, static_cast<std::size_t>(n));
      if (report_buf_.size() == sizeof(ReaperReport)) {
        ReaperReport r{};
        std::memcpy(&r, report_buf_.data(), sizeof r);
        report_buf_.clear();
        if (r.kind == REPORT_EXITED) {
          status_ = r.a;
          reaped_ = true;
        }
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return false;
    }
    // Gone without a word (killed from outside): the shell's status is lost.
    reaper_alive_ = false;
    status_ = SIGKILL;
    reaped_ = true;
  }
  return reaped_;
}

bool Child::try_reap() {
  if (reaped_) {
    return true;
  }
  if (mode_ == Containment::subreaper) {
    return read_report(false);
  }
  int st = 0;
  if (pid_ > 0 && ::waitpid(pid_, &st, WNOHANG) == pid_) {
    status_ = st;
    reaped_ = true;
  }
  return reaped_;
}

void Child::reap_blocking() {
  if (mode_ == Containment::subreaper) {
    read_report(true);
    return;
  }
  while (!reaped_ && pid_ > 0) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, 0);
    if (r == pid_) {
      status_ = st;
      reaped_ = true;
    } else if (r < 0 && errno != EINTR) {
      reaped_ = true;  // not our child any more; nothing left to reap
    }
  }
}

void Child::kill_group() {
  killed_ = true;
  if (mode_ == Containment::subreaper) {
    if (reaper_alive_) {
      const char kill = REAPER_KILL;
      ::send(exit_fd_.get(), &kill, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return;
  }
  // The group id is the shell's pid; it stays reserved until the shell is reaped.
  if (pid_ > 0 && !reaped_) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
  }
  if (cgroup_.dir) {
    UniqueFd kill_file(::openat(cgroup_.dir.get(), "cgroup.kill", O_WRONLY | O_CLOEXEC));
    if (kill_file) {
      ssize_t ignored = ::write(kill_file.get(), "1", 1);
      (void)ignored;
    }
  }
}

std::string Child::limit_hit() const {
  if (limits_ == nullptr || !reaped_ || !WIFSIGNALED(status_)) {
    return {};
  }
  CgroupEvents during;
  if (cgroup_.dir && limits_->controllers != 0) {
    const CgroupEvents now = read_cgroup_events(cgroup_.dir.get(), limits_->controllers);
    during.oom_kills = now.oom_kills - events_before_.oom_kills;
    during.pids_refused = now.pids_refused - events_before_.pids_refused;
  }
  return limit_that_stopped(*limits_, WTERMSIG(status_), during);
}

void Child::release() noexcept {
  if ((pid_ > 0 || reaper_alive_) && !reaped_) {
    kill_group();
    reap_blocking();
  }
  if (mode_ == Containment::subreaper) {
    if (reaper_alive_ && !killed_) {
      const char detach = REAPER_DETACH;
      ::send(exit_fd_.get(), &detach, 1, MSG_NOSIGNAL);
    }
    // After a kill it leaves once every process of the run is gone.
    wait_for_reaper_exit();
    return;
  }
  if (cgroup_.dir) {
    give_back_run_cgroup(std::move(cgroup_), run_id_, killed_);
    sweep_detached_if_due();
  }
}

}  // namespace velquin::executor::detail
