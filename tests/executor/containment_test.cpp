// Every process a run starts is ended at its time-out, whichever way runs are
// contained; a run never reads the service's stdin; `user` runs own their
// run directory; what a dead instance left in its cgroups is ended.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "executor/executor.h"
#include "executor/spawn.h"
#include "logger/logger.h"
#include "runs.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/uuid.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using testing::marked_processes;
using testing::proc_file;
using testing::TempDir;

extern "C" char** environ;

// A process's cgroup v2 path, "" when it has none.
std::string cgroup_path(pid_t pid) {
  const std::string text = proc_file(pid, "cgroup");
  const auto at = text.find("0::");
  return at == std::string::npos ? "" : text.substr(at + 3, text.find('\n', at) - at - 3);
}

// The cgroup2 directory of this process, "" when there is none.
std::string own_cgroup_dir() {
  const std::string own = cgroup_path(::getpid());
  if (own.empty()) {
    return "";
  }
  std::string mounts = proc_file(::getpid(), "mountinfo");
  for (std::size_t start = 0; start < mounts.size();) {
    std::size_t end = mounts.find('\n', start);
    std::string line = mounts.substr(start, end - start);
    start = end == std::string::npos ? mounts.size() : end + 1;
    if (line.find(" - cgroup2 ") != std::string::npos) {
      std::istringstream fields(line);
      std::string skip, root, mount_point;
      fields >> skip >> skip >> skip >> root >> mount_point;
      if (root == "/") {
        return mount_point + (own == "/" ? "" : own);
      }
    }
  }
  return "";
}

class ContainmentTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ::chmod(tmp.path().c_str(), 0755);  // `user` runs must reach the shared directory
    if (!set_up_run_containment(GetParam()).empty()) {
      GTEST_SKIP() << "runs cannot get a cgroup here";
    }
    ASSERT_EQ(run_containment_name(), GetParam());
    logger::set_correlation_id(cid);
  }
  void TearDown() override {
    testing::kill_marked(marker);
    logger::set_correlation_id(std::nullopt);
    set_up_run_containment("auto");  // what the other tests run with
  }

  fs::path shared() const { return tmp.path() / "shared"; }

  RunResult run(json def, const json& params = json::object()) {
    def["type"] = "process";
    if (!def.contains("environment")) {
      def["environment"] = {{"VQ_MARK", mark_value}};
    }
    const auto alias_def = runs::alias_for(std::move(def), params);
    return detail::execute_process(
        *alias_def, params, runs::context_for(*alias_def, shared(), tmp.path() / "logs", cid));
  }

  TempDir tmp;
  const std::string cid = support::uuid4();
  const std::string mark_value = support::uuid4();
  const std::string marker = "VQ_MARK=" + mark_value;
};

TEST_P(ContainmentTest, TimeOutEndsEveryProcessTheRunStarted) {
  // A new session, a double fork out of the group, and one that closed its pipes.
  RunResult r = run({{"command", "setsid sh -c 'sleep 300' & (sleep 300 &); "
                                 "setsid sleep 300 </dev/null >/dev/null 2>&1 & sleep 300"},
                     {"timeout", 1}});
  EXPECT_EQ(r.outcome, RunResult::Outcome::timed_out) << r.error;
  EXPECT_GT(r.pid.value_or(0), 0);
  EXPECT_THAT(marked_processes(marker), ::testing::IsEmpty());
  // The next run is not hit by that kill (a killed cgroup is never reused).
  EXPECT_EQ(run({{"command", "echo again"}}).stdout_text, "again\n");
}

TEST_P(ContainmentTest, NormalExitLeavesWhatTheCommandDetached) {
  RunResult r = run({{"command", "setsid sleep 300 </dev/null >/dev/null 2>&1 & echo done"}});
  ASSERT_EQ(r.returncode, 0) << r.error;
  // The detached child may be between fork and exec, when its environment
  // cannot be read for a moment.
  auto left = marked_processes(marker);
  for (int i = 0; i < 100 && left.size() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = marked_processes(marker);
  }
  ASSERT_EQ(left.size(), 1u);
  if (std::string(GetParam()) != "cgroup") {
    return;
  }
  // Its cgroup stays, renamed, until the process is gone.
  const std::string cgroup = cgroup_path(left[0]);
  EXPECT_THAT(cgroup, ::testing::EndsWith("/" + cid + ".detached"));
  const std::string own = cgroup_path(::getpid());
  const fs::path dir = own_cgroup_dir() + cgroup.substr(own == "/" ? 0 : own.size());
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  testing::kill_marked(marker);
  for (int i = 0; i < 100 && !marked_processes(marker).empty(); ++i) {
    ::usleep(20 * 1000);
  }
  // A killed process leaves its cgroup only once it has been reaped.
  for (int i = 0; i < 100 && fs::exists(dir); ++i) {
    detail::sweep_detached();
    if (fs::exists(dir)) {
      ::usleep(20 * 1000);
    }
  }
  EXPECT_FALSE(fs::exists(dir));
}

TEST_P(ContainmentTest, ChildReadsNothingFromTheServicesStdin) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "secret\n", 7), 7);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(fds[0], STDIN_FILENO);
  const auto started = std::chrono::steady_clock::now();
  RunResult r = run({{"command", "cat; echo end"}, {"timeout", 5}});
  ::dup2(saved, STDIN_FILENO);
  for (int fd : {saved, fds[0], fds[1]}) {
    ::close(fd);
  }
  EXPECT_EQ(r.stdout_text, "end\n") << r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

TEST_P(ContainmentTest, UserRunsOwnTheirRunDirectory) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "switching users needs root";
  }
  RunResult r = run({{"command", "cd {{ run_dir }} && stat -c %U . in/data.txt && "
                                 "echo more >> in/data.txt && cat in/data.txt > out/result.txt"},
                     {"user", "nobody"},
                     {"files", {{{"location", "in/data.txt"}, {"content", "input\n"}}}},
                     {"output", {{"single_value", {{"source", "out/result.txt"}}}}}});
  ASSERT_EQ(r.returncode, 0) << r.error;
  EXPECT_EQ(r.stdout_text, "nobody\nnobody\n");
  EXPECT_EQ(r.file_outputs.at("out/result.txt"), "input\nmore\n");
  EXPECT_TRUE(fs::is_empty(shared()));
}

TEST_P(ContainmentTest, ANulInAValueAddsNoEnvironmentEntry) {
  const json def = {{"command", "env"}, {"environment", {{"VQ_VALUE", "{{ v }}"}}}};
  RunResult r = run(def, {{"v", std::string("a\0VQ_INJECTED=1", 16)}});
  EXPECT_THAT(r.stdout_text, ::testing::HasSubstr("VQ_VALUE=a\n"));
  EXPECT_THAT(r.stdout_text, ::testing::Not(::testing::HasSubstr("VQ_INJECTED")));
}

TEST_P(ContainmentTest, WithoutAnEnvironmentTheChildInheritsOursButNoSecret) {
  ::setenv("VQ_INHERITED", "from-service", 1);
  ::setenv("VELQUIN_VQ_SECRET", "api-key", 1);
  RunResult r = run({{"command", "env"}, {"environment", json::object()}});
  ::unsetenv("VQ_INHERITED");
  ::unsetenv("VELQUIN_VQ_SECRET");
  EXPECT_THAT(r.stdout_text, ::testing::HasSubstr("VQ_INHERITED=from-service\n"));
  EXPECT_THAT(r.stdout_text, ::testing::Not(::testing::HasSubstr("VELQUIN_")));
}

INSTANTIATE_TEST_SUITE_P(Modes, ContainmentTest, ::testing::Values("cgroup", "subreaper"),
                         [](const auto& param_info) { return std::string(param_info.param); });

pid_t spawn_sleep() {
  char arg0[] = "sleep";
  char arg1[] = "300";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = -1;
  ::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ);
  return pid;
}

void move_into(const fs::path& cgroup, pid_t pid) {
  fs::create_directories(cgroup);
  std::ofstream(cgroup / "cgroup.procs") << pid << std::flush;
}

TEST(AbandonedRuns, EndsTheRunsOfADeadInstanceButNotItsDetachedOnes) {
  const std::string own = own_cgroup_dir();
  if (own.empty() || !set_up_run_containment("cgroup").empty()) {
    GTEST_SKIP() << "runs cannot get a cgroup here";
  }
  // Our pid with a start time that is not ours: an instance that is gone.
  const fs::path dead = fs::path(own) / ("velquin." + std::to_string(::getpid()) + ".1");
  const pid_t running = spawn_sleep();
  const pid_t detached = spawn_sleep();
  move_into(dead / support::uuid4(), running);
  move_into(dead / (support::uuid4() + ".detached"), detached);

  // Other dead instances in this cgroup (killed test services) may count too.
  EXPECT_GE(end_abandoned_runs(), 1u);
  int status = 0;
  ASSERT_EQ(::waitpid(running, &status, 0), running);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(::waitpid(detached, &status, WNOHANG), 0);  // still running

  ::kill(detached, SIGKILL);
  ::waitpid(detached, &status, 0);
  end_abandoned_runs();
  EXPECT_FALSE(fs::exists(dead));
}

}  // namespace
}  // namespace velquin::executor
