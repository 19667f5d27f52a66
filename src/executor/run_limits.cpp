// A run's resource limits: through its cgroup where this instance was given
// the controllers, else as rlimits of the shell, which bound each process on
// its own rather than the run as a whole.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "executor/spawn.h"
#include "support/fd.h"

namespace velquin::executor::detail {

namespace {

using support::UniqueFd;

// cpu.max period: the kernel's default.
constexpr std::int64_t CPU_PERIOD_US = 100000;

std::string read_fd_file(int dir_fd, const char* name) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return {};
  }
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

void write_fd_file(int dir_fd, const char* name, const std::string& value) {
  UniqueFd fd(::openat(dir_fd, name, O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!fd || ::write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
    throw std::system_error(errno, std::generic_category(),
                            std::string("cannot set the run's ") + name);
  }
}

bool has_word(const std::string& text, std::string_view word) {
  std::size_t at = 0;
  while ((at = text.find(word, at)) != std::string::npos) {
    const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n';
    const std::size_t end = at + word.size();
    const bool ends = end == text.size() || text[end] == ' ' || text[end] == '\n';
    if (starts && ends) {
      return true;
    }
    at = end;
  }
  return false;
}

}  // namespace

LimitPlan plan_limits(const alias::RunLimits& limits, unsigned controllers,
                      double timeout_seconds) {
  LimitPlan plan;
  plan.controllers = controllers;
  if (limits.memory) {
    if ((controllers & CONTROLLER_MEMORY) != 0) {
      plan.cgroup.memory = limits.memory;
    } else {
      plan.rlimits.address_space = static_cast<std::uint64_t>(*limits.memory);
    }
  }
  if (limits.pids) {
    if ((controllers & CONTROLLER_PIDS) != 0) {
      plan.cgroup.pids = limits.pids;
    } else {
      plan.unapplied.emplace_back("pids");
    }
  }
  if (limits.cpus) {
    if ((controllers & CONTROLLER_CPU) != 0) {
      plan.cgroup.cpus = limits.cpus;
    } else {
      // CPU time, not a share: enough for every CPU it may use over the whole
      // time limit, so only a run that really exceeds its share is stopped.
      const double seconds = std::ceil(*limits.cpus * std::min(timeout_seconds, 1e9)) + 1;
      plan.rlimits.cpu_seconds = static_cast<std::uint64_t>(std::max(seconds, 1.0));
    }
  }
  if (limits.open_files) {
    plan.rlimits.open_files = static_cast<std::uint64_t>(*limits.open_files);
  }
  return plan;
}

void write_cgroup_limits(int cgroup_fd, const LimitPlan& plan) {
  const alias::RunLimits& c = plan.cgroup;
  if ((plan.controllers & CONTROLLER_MEMORY) != 0) {
    write_fd_file(cgroup_fd, "memory.max", c.memory ? std::to_string(*c.memory) : "max");
    // Over the limit the run is killed, not pushed into swap.
    if (c.memory) {
      try {
        write_fd_file(cgroup_fd, "memory.swap.max", "0");
      } catch (const std::system_error&) {
        // No swap accounting on this host: nothing to turn off.
      }
    }
  }
  if ((plan.controllers & CONTROLLER_PIDS) != 0) {
    write_fd_file(cgroup_fd, "pids.max", c.pids ? std::to_string(*c.pids) : "max");
  }
  if ((plan.controllers & CONTROLLER_CPU) != 0) {
    std::string quota = "max";
    if (c.cpus) {
      const auto us = static_cast<std::int64_t>(std::llround(*c.cpus * CPU_PERIOD_US));
      quota = std::to_string(std::max<std::int64_t>(us, 1000));
    }
    write_fd_file(cgroup_fd, "cpu.max", quota + " " + std::to_string(CPU_PERIOD_US));
  }
}

std::uint64_t cgroup_event_count(int cgroup_fd, const char* file, const char* key) {
  const std::string text = read_fd_file(cgroup_fd, file);
  const std::string word = std::string(key) + " ";
  std::size_t at = 0;
  while ((at = text.find(word, at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') {
      return std::strtoull(text.c_str() + at + word.size(), nullptr, 10);
    }
    at += word.size();
  }
  return 0;
}

CgroupEvents read_cgroup_events(int cgroup_fd, unsigned controllers) {
  CgroupEvents events;
  if ((controllers & CONTROLLER_MEMORY) != 0) {
    events.oom_kills = cgroup_event_count(cgroup_fd, "memory.events", "oom_kill");
  }
  if ((controllers & CONTROLLER_PIDS) != 0) {
    events.pids_refused = cgroup_event_count(cgroup_fd, "pids.events", "max");
  }
  return events;
}

std::string limit_that_stopped(const LimitPlan& plan, int signal, const CgroupEvents& during) {
  if (plan.cgroup.memory && during.oom_kills > 0) {
    return "limits.memory";
  }
  if (plan.rlimits.cpu_seconds != 0 && (signal == SIGXCPU || signal == SIGKILL)) {
    return "limits.cpus";
  }
  // Past RLIMIT_AS an allocation fails; most programs then abort or fault.
  if (plan.rlimits.address_space != 0 &&
      (signal == SIGSEGV || signal == SIGABRT || signal == SIGBUS || signal == SIGKILL)) {
    return "limits.memory";
  }
  if (plan.cgroup.pids && during.pids_refused > 0) {
    return "limits.pids";
  }
  return {};
}

unsigned enable_run_controllers(int instance_fd) {
  const std::string available = read_fd_file(instance_fd, "cgroup.controllers");
  unsigned bits = 0;
  const std::pair<const char*, Controller> wanted[] = {
      {"memory", CONTROLLER_MEMORY}, {"pids", CONTROLLER_PIDS}, {"cpu", CONTROLLER_CPU}};
  for (const auto& [name, bit] : wanted) {
    if (!has_word(available, name)) {
      continue;
    }
    UniqueFd fd(::openat(instance_fd, "cgroup.subtree_control", O_WRONLY | O_CLOEXEC));
    const std::string word = std::string("+") + name;
    if (fd && ::write(fd.get(), word.data(), word.size()) == static_cast<ssize_t>(word.size())) {
      bits |= bit;
    }
  }
  return bits;
}

}  // namespace velquin::executor::detail

namespace velquin::executor {

std::vector<std::string> unapplied_process_limits(const alias::RunLimits& limits) {
  return detail::plan_limits(limits, detail::run_cgroup_controllers(), 60).unapplied;
}

}  // namespace velquin::executor
