// What a run starts ends with it, through the real binary, for both ways of
// containing runs: escapes at a time-out, a killed service, stdin, user runs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "e2e/harness.h"
#include "support/processes.h"
#include "support/uuid.h"

namespace velquin::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::marked_processes;
using json = nlohmann::json;

// Each run's processes carry VQ_MARK=<mark> in their environment.
const char* kAliases = R"(
escape:
  type: process
  command: "setsid sh -c 'sleep 300' & (sleep 300 &); sleep 300"
  timeout: 1
  environment: {VQ_MARK: "{{ mark }}"}
  parameters: {mark: {type: string, pattern: "^[0-9a-f-]+$"}}
hold:
  type: process
  command: "sleep 300"
  timeout: 600
  environment: {VQ_MARK: "{{ mark }}"}
  parameters: {mark: {type: string, pattern: "^[0-9a-f-]+$"}}
  files: [{location: in.txt, content: x}]
reads_stdin:
  type: process
  command: "cat; echo end"
  timeout: 5
as_nobody:
  type: process
  user: nobody
  command: "echo written by $(id -un) > {{ run_dir }}/out.txt"
  output: {single_value: {source: out.txt}}
)";

ServiceOptions options(const std::string& mode, const std::string& shared = "") {
  ServiceOptions opts;
  opts.allowed_aliases = {"escape", "hold", "reads_stdin", "as_nobody"};
  opts.config_lines = {"RunContainment " + mode};
  if (!shared.empty()) {
    opts.extra_args = {"--shared-dir", shared};
  }
  return opts;
}

std::unique_ptr<Service> start(ServiceOptions opts) {
  auto service = std::make_unique<Service>(std::move(opts));
  ::chmod(service->dir().c_str(), 0755);  // the nobody run must reach its run directory
  service->write_alias_file("contain.yaml", kAliases);
  service->start();
  return service;
}

template <typename Check>
bool eventually(Check check, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::size_t entries(const fs::path& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) {
    ++n;
  }
  return n;
}

class Containment : public ::testing::TestWithParam<const char*> {
 protected:
  void TearDown() override {
    for (const auto& mark : marks) {
      testing::kill_marked("VQ_MARK=" + mark);
    }
  }
  std::string new_mark() { return marks.emplace_back(support::uuid4()); }

  std::vector<std::string> marks;
};

TEST_P(Containment, TimeOutEndsEveryProcessAndRunsReadNoStdin) {
  ServiceOptions opts = options(GetParam());
  opts.stdin_text = "the service's own input\n";
  auto service = start(opts);
  EXPECT_TRUE(service->wait_for_log(std::string("Run containment: ") + GetParam()));

  const std::string mark = new_mark();
  auto r = service->execute("escape", json{{"mark", mark}});
  EXPECT_EQ(r.status, 408);
  EXPECT_THAT(marked_processes("VQ_MARK=" + mark), IsEmpty());

  auto in = service->execute("reads_stdin");
  EXPECT_EQ(in.status, 200);
  EXPECT_EQ(in.body, "end\n");

  auto user = service->execute("as_nobody");
  EXPECT_EQ(user.status, 200) << service->app_log();
  EXPECT_EQ(user.body, "written by nobody\n");
  EXPECT_EQ(service->stop(), 0);
}

TEST_P(Containment, NextStartEndsWhatAKilledInstanceLeft) {
  testing::TempDir shared;
  auto dead = start(options(GetParam(), shared.str()));
  auto live = start(options(GetParam(), shared.str()));
  const std::string dead_mark = new_mark();
  const std::string live_mark = new_mark();
  auto dead_run = std::async(std::launch::async, [&] {
    try {
      dead->execute("hold", json{{"mark", dead_mark}});
    } catch (const std::exception&) {
      // the connection dies with the service
    }
  });
  auto live_run = std::async(std::launch::async, [&] {
    try {
      live->execute("hold", json{{"mark", live_mark}});
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(eventually([&] {
    return !marked_processes("VQ_MARK=" + dead_mark).empty() &&
           !marked_processes("VQ_MARK=" + live_mark).empty() && entries(shared.path()) == 2;
  }));

  EXPECT_EQ(dead->stop(SIGKILL), -SIGKILL);
  auto next = start(options(GetParam(), shared.str()));
  EXPECT_TRUE(next->wait_for_log("1 run directory removed")) << next->app_log();
  EXPECT_TRUE(eventually([&] { return marked_processes("VQ_MARK=" + dead_mark).empty(); },
                         std::chrono::seconds(5)));
  EXPECT_EQ(entries(shared.path()), 1u);
  EXPECT_THAT(marked_processes("VQ_MARK=" + live_mark), ::testing::Not(IsEmpty()));

  live->stop(SIGKILL);
  testing::kill_marked("VQ_MARK=" + live_mark);
  dead_run.wait();
  live_run.wait();
}

TEST(ContainmentStartup, CgroupAskedForButMissingFailsAndAutoFallsBack) {
  if (::geteuid() != 0 || command_output("unshare -m true && echo yes") != "yes\n") {
    GTEST_SKIP() << "needs root and unshare";
  }
  Service service(options("auto"));
  service.write_alias_file("contain.yaml", kAliases);
  // A mount namespace of its own, without any cgroup2 file system.
  const fs::path script = service.dir() / "no-cgroup.sh";
  std::ofstream(script)
      << "awk '$3 == \"cgroup2\" {print $2}' /proc/mounts | xargs -r -n1 umount -l\n"
      << "exec timeout -s KILL 2 \"$@\"\n";
  auto run = [&](const std::string& args) {
    return command_output("unshare -m sh " + script.string() + " " + VELQUIN_BINARY + " --config " +
                          service.config_path().string() + " " + args + " 2>&1; echo \"exit $?\"");
  };
  EXPECT_THAT(run("--run-containment cgroup"),
              HasSubstr("ERROR: RunContainment is cgroup, but runs cannot get a cgroup here: "
                        "no cgroup2 file system is mounted\nexit 1\n"));
  run("");  // killed after 2 s
  EXPECT_THAT(service.app_log(), HasSubstr("Run containment: subreaper"));
}

INSTANTIATE_TEST_SUITE_P(Modes, Containment, ::testing::Values("cgroup", "subreaper"),
                         [](const auto& param_info) { return std::string(param_info.param); });

}  // namespace
}  // namespace velquin::e2e
