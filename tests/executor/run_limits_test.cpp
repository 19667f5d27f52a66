// Where a run's limits go: the run cgroup's files where the controllers are
// there, rlimits of the shell where not.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include <fstream>
#include <string>

#include "executor/spawn.h"
#include "support/fd.h"
#include "support/temp_dir.h"

namespace velquin::executor::detail {
namespace {

struct PlanCase {
  const char* label;
  unsigned controllers;
  std::uint64_t address_space;
  std::uint64_t cpu_seconds;
  bool cgroup_memory;
  std::vector<std::string> unapplied;
};

class LimitPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(LimitPlanTest, EachLimitGoesWhereThisHostCanApplyIt) {
  alias::RunLimits limits;
  limits.memory = 256 << 20;
  limits.pids = 20;
  limits.cpus = 1.5;
  limits.open_files = 100;
  const LimitPlan plan = plan_limits(limits, GetParam().controllers, 10);
  EXPECT_EQ(plan.rlimits.address_space, GetParam().address_space);
  EXPECT_EQ(plan.rlimits.cpu_seconds, GetParam().cpu_seconds);
  EXPECT_EQ(plan.rlimits.open_files, 100u);  // no cgroup file for it
  EXPECT_EQ(plan.cgroup.memory.has_value(), GetParam().cgroup_memory);
  EXPECT_EQ(plan.unapplied, GetParam().unapplied);
}

INSTANTIATE_TEST_SUITE_P(Hosts, LimitPlanTest,
                         ::testing::Values(
                             // ceil(1.5 CPUs x 10 s) + 1
                             PlanCase{"no_controllers", 0, 256u << 20, 16, false, {"pids"}},
                             PlanCase{"all_controllers",
                                      CONTROLLER_MEMORY | CONTROLLER_PIDS | CONTROLLER_CPU,
                                      0,
                                      0,
                                      true,
                                      {}},
                             PlanCase{"memory_only", CONTROLLER_MEMORY, 0, 16, true, {"pids"}}),
                         [](const auto& case_info) { return std::string(case_info.param.label); });

TEST(LimitPlan, NothingAskedSetsNoCpuTime) {
  const LimitPlan plan = plan_limits(alias::RunLimits{}, 0, 1e12);
  EXPECT_EQ(plan.rlimits.cpu_seconds, 0u);
  EXPECT_EQ(plan.rlimits.address_space, 0u);
}

std::string read(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The cgroup files, written into a plain directory that stands in for a run cgroup.
TEST(CgroupLimits, WritesEveryControllersFileAndResetsAReusedOne) {
  velquin::testing::TempDir dir;
  for (const char* file : {"memory.max", "memory.swap.max", "pids.max", "cpu.max"}) {
    dir.write(file, "");
  }
  support::UniqueFd fd(::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const unsigned all = CONTROLLER_MEMORY | CONTROLLER_PIDS | CONTROLLER_CPU;
  alias::RunLimits limits;
  limits.memory = 64 << 20;
  limits.pids = 5;
  limits.cpus = 0.5;
  write_cgroup_limits(fd.get(), plan_limits(limits, all, 60));
  EXPECT_EQ(read(dir.path() / "memory.max"), "67108864");
  EXPECT_EQ(read(dir.path() / "memory.swap.max"), "0");
  EXPECT_EQ(read(dir.path() / "pids.max"), "5");
  EXPECT_EQ(read(dir.path() / "cpu.max"), "50000 100000");

  write_cgroup_limits(fd.get(), plan_limits(alias::RunLimits{}, all, 60));
  EXPECT_EQ(read(dir.path() / "memory.max"), "max");
  EXPECT_EQ(read(dir.path() / "pids.max"), "max");
  EXPECT_EQ(read(dir.path() / "cpu.max"), "max 100000");

  dir.write("memory.events", "low 0\nhigh 0\nmax 3\noom 1\noom_kill 2\n");
  dir.write("pids.events", "max 4\n");
  const CgroupEvents events = read_cgroup_events(fd.get(), all);
  EXPECT_EQ(events.oom_kills, 2u);
  EXPECT_EQ(events.pids_refused, 4u);
  const LimitPlan plan = plan_limits(limits, all, 60);
  EXPECT_EQ(limit_that_stopped(plan, SIGKILL, {1, 0}), "limits.memory");
  EXPECT_EQ(limit_that_stopped(plan, SIGKILL, {0, 0}), "");
}

}  // namespace
}  // namespace velquin::executor::detail
