// Raw spawn rate of `sh -c 'echo hello'` with both output pipes, the way the
// service starts a process alias, at a given concurrency. The ceiling that
// the HTTP numbers are compared against.
//
//   spawn_raw -c CONCURRENCY -d SECONDS
//
// Prints one line: concurrency, spawns/s, p50 and p99 latency in ms, failed
// spawns, and the CPU time (ours and the children's) per spawn in ms.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool spawn_once() {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &empty);
  char arg0[] = "sh";
  char arg1[] = "-c";
  char arg2[] = "echo hello";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  if (rc == 0) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_pipes = 2;
    char buf[4096];
    while (open_pipes > 0) {
      if (::poll(fds, 2, -1) < 0) {
        break;
      }
      for (auto& fd : fds) {
        if (fd.fd >= 0 && fd.revents != 0 && ::read(fd.fd, buf, sizeof buf) <= 0) {
          fd.fd = -1;
          --open_pipes;
        }
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  ::close(out[0]);
  ::close(err[0]);
  return rc == 0;
}

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) {
    return 0.0;
  }
  auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  int concurrency = 1;
  double seconds = 5.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "-c") == 0) {
      concurrency = std::max(1, std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "-d") == 0) {
      seconds = std::max(0.1, std::atof(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: %s -c CONCURRENCY -d SECONDS\n", argv[0]);
      return 2;
    }
  }
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(concurrency));
  std::atomic<long> failures{0};
  std::vector<std::thread> workers;
  const auto start = Clock::now();
  for (int w = 0; w < concurrency; ++w) {
    workers.emplace_back([&, w] {
      auto& mine = latencies[static_cast<std::size_t>(w)];
      while (Clock::now() < end) {
        const auto t0 = Clock::now();
        if (!spawn_once()) {
          ++failures;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
    });
  }
  for (auto& t : workers) {
    t.join();
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : latencies) {
    all.insert(all.end(), l.begin(), l.end());
  }
  const double rate = static_cast<double>(all.size()) / elapsed;
  const double p50 = percentile(all, 0.50);
  const double p99 = percentile(all, 0.99);
  auto cpu_ms = [](int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  };
  const double cpu = cpu_ms(RUSAGE_SELF) + cpu_ms(RUSAGE_CHILDREN);
  std::printf("%d %.1f %.2f %.2f %ld %.3f\n", concurrency, rate, p50, p99, failures.load(),
              all.empty() ? 0.0 : cpu / static_cast<double>(all.size()));
  return 0;
}
