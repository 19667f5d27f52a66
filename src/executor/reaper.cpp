// Subreapers, for machines where a run cannot get a cgroup. The service
// re-executes its own binary once as the factory (plain fork of the service
// is too slow); the factory forks one subreaper per run, which starts the
// shell, adopts every descendant that leaves the shell's tree, and on the
// service's word (or its death) kills them all.
//
// Nothing here may use the program's own static objects: it runs before
// they are constructed.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "executor/spawn.h"

namespace velquin::executor::detail {

namespace {

constexpr int CONTROL_FD = 3;
// A bound on one pass over the descendants; the next pass sees the rest.
constexpr std::size_t MAX_PROCESSES_PER_PASS = 100000;

void report(int kind, int a, int b) {
  const ReaperReport r{kind, a, b};
  ssize_t ignored = ::send(CONTROL_FD, &r, sizeof r, MSG_NOSIGNAL);
  (void)ignored;
}

bool read_exact(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Request {
  bool has_identity = false;
  Identity identity;
  std::string command;
  std::vector<std::string> env;
  ChildRlimits rlimits;
};

bool read_request(Request& req) {
  std::uint64_t size = 0;
  // The service sends at most what execve accepts.
  if (!read_exact(CONTROL_FD, &size, sizeof size) || size > (std::uint64_t{1} << 28)) {
    return false;
  }
  std::string blob(size, '\0');
  if (!read_exact(CONTROL_FD, blob.data(), blob.size())) {
    return false;
  }
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (start < blob.size()) {
    std::size_t end = blob.find('\0', start);
    if (end == std::string::npos) {
      return false;
    }
    fields.push_back(blob.substr(start, end - start));
    start = end + 1;
  }
  std::size_t i = 0;
  auto next = [&]() -> const std::string* { return i < fields.size() ? &fields[i++] : nullptr; };
  auto number = [&](unsigned long& out) {
    const std::string* f = next();
    if (f == nullptr || f->empty()) {
      return false;
    }
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(f->c_str(), &end, 10);
    return errno == 0 && *end == '\0';
  };
  unsigned long has_id = 0;
  unsigned long uid = 0;
  unsigned long gid = 0;
  unsigned long set_groups = 0;
  unsigned long count = 0;
  if (!number(has_id) || !number(uid) || !number(gid) || !number(set_groups) || !number(count)) {
    return false;
  }
  req.has_identity = has_id == 1;
  req.identity.uid = static_cast<uid_t>(uid);
  req.identity.gid = static_cast<gid_t>(gid);
  req.identity.set_groups = set_groups == 1;
  for (unsigned long g = 0; g < count; ++g) {
    unsigned long group = 0;
    if (!number(group)) {
      return false;
    }
    req.identity.groups.push_back(static_cast<gid_t>(group));
  }
  unsigned long address_space = 0;
  unsigned long open_files = 0;
  unsigned long cpu_seconds = 0;
  if (!number(address_space) || !number(open_files) || !number(cpu_seconds)) {
    return false;
  }
  req.rlimits = {address_space, open_files, cpu_seconds};
  const std::string* name = next();
  const std::string* command = next();
  if (name == nullptr || command == nullptr) {
    return false;
  }
  req.identity.name = *name;
  req.command = *command;
  while (const std::string* e = next()) {
    req.env.push_back(*e);
  }
  return true;
}

// The children of every thread of pid, from /proc.
void children_of(pid_t pid, std::vector<pid_t>& out) {
  const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(task_dir.c_str());
  if (d == nullptr) {
    return;
  }
  while (struct dirent* ent = ::readdir(d)) {
    if (ent->d_name[0] < '0' || ent->d_name[0] > '9') {
      continue;
    }
    const std::string path = task_dir + "/" + ent->d_name + "/children";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const char* p = text.c_str();
    while (*p != '\0') {
      char* end = nullptr;
      long child = std::strtol(p, &end, 10);
      if (end == p) {
        break;
      }
      if (child > 0) {
        out.push_back(static_cast<pid_t>(child));
      }
      p = end;
    }
  }
  ::closedir(d);
}

// Kills every descendant, top down: a killed process forks no more, and what
// it leaves is adopted by us and found by the next pass.
void kill_descendants() {
  std::vector<pid_t> work;
  children_of(::getpid(), work);
  for (std::size_t i = 0; i < work.size() && i < MAX_PROCESSES_PER_PASS; ++i) {
    ::kill(work[i], SIGKILL);
    children_of(work[i], work);
  }
}

[[noreturn]] void end_everything(pid_t shell, bool shell_reported) {
  for (;;) {
    kill_descendants();
    int st = 0;
    pid_t p = ::waitpid(-1, &st, 0);
    if (p < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;  // ECHILD: nothing of the run is left
    }
    if (p == shell && !shell_reported) {
      report(REPORT_EXITED, st, 0);
      shell_reported = true;
    }
  }
  ::_exit(0);
}

// One run's subreaper. Descriptors: 0 /dev/null, 1 and 2 the run's output
// pipes, 3 the control socket to the service, whose end closes when the
// service dies: that is our cue to end the run.
[[noreturn]] void run_reaper() {
  // Orphans of the run are ours from now on.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  ::signal(SIGCHLD, SIG_DFL);
  sigset_t watched;
  ::sigemptyset(&watched);
  for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
    ::sigaddset(&watched, sig);
  }
  ::sigprocmask(SIG_BLOCK, &watched, nullptr);
  const int signals = ::signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);

  Request req;
  if (signals < 0 || !read_request(req)) {
    ::_exit(127);
  }
  std::string arg0 = "sh";
  std::string arg1 = "-c";
  std::vector<char*> argv{arg0.data(), arg1.data(), req.command.data(), nullptr};
  std::vector<char*> envp;
  for (auto& e : req.env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  ChildArgs args;
  args.path = "/bin/sh";
  args.argv = argv.data();
  args.envp = envp.data();
  args.in_fd = STDIN_FILENO;
  args.out_fd = STDOUT_FILENO;
  args.err_fd = STDERR_FILENO;
  args.id = req.has_identity ? &req.identity : nullptr;
  args.rlimits = &req.rlimits;
  pid_t shell = -1;
  try {
    shell = spawn_vfork(args, -1, nullptr);
  } catch (const std::system_error& e) {
    report(REPORT_FAILED, STEP_CLONE, e.code().value());
    ::_exit(0);
  }
  if (args.fail_step != 0) {
    int ignored = 0;
    ::waitpid(shell, &ignored, 0);
    report(REPORT_FAILED, args.fail_step, args.fail_errno);
    ::_exit(0);
  }
  report(REPORT_STARTED, shell, 0);
  // Our copies of the output pipes must not keep them open.
  ::dup2(STDIN_FILENO, STDOUT_FILENO);
  ::dup2(STDIN_FILENO, STDERR_FILENO);

  bool reported = false;
  for (;;) {
    pollfd fds[2] = {{CONTROL_FD, POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      end_everything(shell, reported);
    }
    bool kill = false;
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        kill = kill || info.ssi_signo != SIGCHLD;
      }
      int status = 0;
      pid_t p;
      while ((p = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (p == shell && !reported) {
          report(REPORT_EXITED, status, 0);
          reported = true;
        }
      }
    }
    if (fds[0].revents != 0) {
      char word = 0;
      ssize_t n = ::recv(CONTROL_FD, &word, 1, MSG_DONTWAIT);
      if (n == 1 && word == REAPER_DETACH) {
        ::_exit(0);  // a normal end: what the command left running goes on
      }
      // The kill word, or the service is gone.
      kill = kill || n == 0 || (n == 1 && word == REAPER_KILL) ||
             (n < 0 && errno != EAGAIN && errno != EINTR);
    }
    if (kill) {
      end_everything(shell, reported);
    }
  }
}

}  // namespace

// Descriptors: 0 to 2 /dev/null, 3 a datagram socket on which the service
// sends, per run, the run's stdout and stderr pipes and its control socket.
void reaper_factory_main() {
  struct stat st {};
  if (::fstat(CONTROL_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    static const char message[] = "velquin: VELQUIN_RUN_REAPER is for the service's own use\n";
    ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    ::_exit(2);
  }
  ::signal(SIGCHLD, SIG_IGN);  // the subreapers are reaped by the kernel
  for (;;) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(CONTROL_FD, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      ::_exit(0);  // the service is gone
    }
    int fds[3] = {-1, -1, -1};
    std::size_t count = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        std::memcpy(fds, CMSG_DATA(c), std::min<std::size_t>(count, 3) * sizeof(int));
      }
    }
    // Received descriptors are 4 and up: dup2 onto 1 to 3 cannot clobber one.
    if (count == 3 && ::fork() == 0) {
      if (::dup2(fds[0], STDOUT_FILENO) < 0 || ::dup2(fds[1], STDERR_FILENO) < 0 ||
          ::dup2(fds[2], CONTROL_FD) < 0) {
        ::_exit(127);
      }
      ::close_range(CONTROL_FD + 1, ~0U, 0);
      run_reaper();
    }
    // A failed fork closes the run's socket: the service sees the subreaper gone.
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 3); ++i) {
      ::close(fds[i]);
    }
  }
}

}  // namespace velquin::executor::detail
