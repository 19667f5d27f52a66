// Admission and run limits through HTTP: slots, queues, caller rates, and
// what a run may use, for processes and containers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness.h"
#include "support/uuid.h"

namespace velquin::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using json = nlohmann::json;

// Waits until a run has touched `marker` (it holds its slot by then).
void wait_for_file(const fs::path& marker) {
  for (int i = 0; i < 400 && !fs::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(fs::exists(marker)) << marker;
}

std::future<HttpResponse> execute_async(const Service& service, const std::string& alias,
                                        json params = json::object()) {
  return std::async(std::launch::async,
                    [&service, alias, params] { return service.execute(alias, params); });
}

// "hold" takes its slot, signals it through a marker file and keeps it for a
// while; "other" is a second alias for the service-wide cap.
std::string slot_aliases(const fs::path& dir, const std::string& hold_keys) {
  return "hold:\n  type: process\n  command: \"touch " + (dir / "{{ name }}").string() +
         "; sleep 2; echo held\"\n  parameters: {name: {type: string, pattern: '^[a-z]+$'}}\n" +
         hold_keys +
         "other:\n  type: process\n  command: echo other\n"
         "  parameters: {n: {type: integer, default: 1}}\n";
}

struct SlotCase {
  const char* label;
  const char* hold_keys;
  std::vector<std::string> config_lines;
  const char* second_alias;  // called while the first run holds its slot
};

class OneSlot : public ::testing::TestWithParam<SlotCase> {};

TEST_P(OneSlot, OverlappingCallGets429AndBadParametersStill400) {
  ServiceOptions opts;
  opts.allowed_aliases = {"hold", "other"};
  opts.config_lines = GetParam().config_lines;
  Service service(opts);
  service.write_alias_file("slots.yaml", slot_aliases(service.dir(), GetParam().hold_keys));
  service.start();

  auto first = execute_async(service, "hold", {{"name", "first"}});
  wait_for_file(service.dir() / "first");
  const std::string second_alias = GetParam().second_alias;
  const json params = second_alias == "hold" ? json{{"name", "second"}} : json::object();
  const HttpResponse refused = service.execute(second_alias, params);
  const HttpResponse invalid = service.execute(second_alias, {{"n", "x"}, {"name", "BAD"}});
  const HttpResponse done = first.get();

  EXPECT_EQ(done.status, 200) << done.body;
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.body, "Too many requests");
  EXPECT_EQ(refused.header("Retry-After"), "1");
  EXPECT_EQ(invalid.status, 400) << invalid.body;
  EXPECT_FALSE(fs::exists(service.dir() / "second"));
  int audited = 0;
  for (const auto& rec : service.audit()) {
    if (rec["status"] == 429) {
      ++audited;
      EXPECT_EQ(rec["app_code"], "too_many_requests");
      EXPECT_EQ(rec["alias"], second_alias);
    }
  }
  EXPECT_EQ(audited, 1);
  // The slot is free again once the run is over.
  EXPECT_EQ(service.execute(second_alias, params).status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Admission, OneSlot,
    ::testing::Values(SlotCase{"alias_concurrency", "  concurrency: 1\n", {}, "hold"},
                      SlotCase{"max_concurrent_runs", "", {"MaxConcurrentRuns 1"}, "other"}),
    [](const auto& case_info) { return std::string(case_info.param.label); });

// Start and end times (ns) of each run, printed by the run itself.
std::pair<long long, long long> span_of(const std::string& body) {
  std::istringstream in(body);
  long long start = 0;
  long long end = 0;
  in >> start >> end;
  return {start, end};
}

TEST(Queue, ThreeOverlappingCallsRunTwoInSequenceAndRefuseOne) {
  ServiceOptions opts;
  opts.allowed_aliases = {"queued"};
  opts.config_lines = {"HealthApiKey health-key"};
  Service service(opts);
  service.write_alias_file("queued.yaml", "queued:\n  type: process\n  concurrency: 1\n  queue: 1\n"
                                          "  command: \"s=$(date +%s%N); touch " +
                                              (service.dir() / "started").string() +
                                              "; sleep 2; echo $s $(date +%s%N)\"\n");
  service.start();

  auto first = execute_async(service, "queued");
  wait_for_file(service.dir() / "started");
  auto second = execute_async(service, "queued");
  auto third = execute_async(service, "queued");
  // While the first runs, the metrics show one waiting and one refused.
  const auto metrics = [&] {
    return http(service.port(), "GET", "/internal/metrics", {{"X-API-Key", "health-key"}}).body;
  };
  const std::string waiting = "velquin_runs_queued{alias=\"queued\"} 1\n";
  const std::string refused_once = "velquin_admission_refusals_total{reason=\"alias_full\"} 1\n";
  std::string seen;
  for (int i = 0; i < 100; ++i) {
    seen = metrics();
    if (seen.find(waiting) != std::string::npos && seen.find(refused_once) != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(seen.find(waiting), std::string::npos) << seen;
  EXPECT_NE(seen.find(refused_once), std::string::npos) << seen;
  std::vector<HttpResponse> answers = {first.get(), second.get(), third.get()};
  EXPECT_NE(metrics().find("velquin_runs_queued{alias=\"queued\"} 0\n"), std::string::npos);

  std::vector<std::pair<long long, long long>> runs;
  int refused = 0;
  for (const auto& r : answers) {
    if (r.status == 200) {
      runs.push_back(span_of(r.body));
    } else {
      EXPECT_EQ(r.status, 429);
      ++refused;
    }
  }
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(refused, 1);
  std::sort(runs.begin(), runs.end());
  EXPECT_GE(runs[1].first, runs[0].second) << "the queued run overlapped the first";
}

TEST(Queue, TheWaitCountsAgainstTheTimeLimit) {
  ServiceOptions opts;
  opts.allowed_aliases = {"tight"};
  Service service(opts);
  // Alone each run fits its limit; after waiting for the other it does not.
  service.write_alias_file("tight.yaml", "tight:\n  type: process\n  concurrency: 1\n  queue: 1\n"
                                         "  timeout: 2\n  command: \"touch " +
                                             (service.dir() / "started").string() +
                                             "; sleep 1.5\"\n");
  service.start();
  auto first = execute_async(service, "tight");
  wait_for_file(service.dir() / "started");
  const HttpResponse second = service.execute("tight");
  EXPECT_EQ(first.get().status, 200);
  EXPECT_EQ(second.status, 408);
  EXPECT_EQ(second.body, "Execution timed out");
  EXPECT_EQ(service.audit().back()["app_code"], "execution_timeout");
}

TEST(Rate, OverTheRateGets429UntilTheAnnouncedWaitHasPassed) {
  Service service;
  service.write_auth_file("users.yaml", std::string("users:\n  tester:\n    api_key_sha256: ") +
                                            kApiKeySha256 +
                                            "\n    allowed_aliases: [echo]\n"
                                            "    rate: 1/second\n    burst: 2\n");
  service.start();
  EXPECT_EQ(service.execute("echo").status, 200);
  EXPECT_EQ(service.execute("echo").status, 200);
  const HttpResponse over = service.execute("echo");
  ASSERT_EQ(over.status, 429);
  EXPECT_EQ(over.body, "Too many requests");
  ASSERT_EQ(over.header("Retry-After"), "1");
  EXPECT_EQ(service.audit().back()["app_code"], "too_many_requests");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(service.execute("echo").status, 200);
}

struct ProcessLimitCase {
  const char* label;
  const char* limits;
  const char* command;
  int status;
  const char* body;
};

class ProcessLimits : public ::testing::TestWithParam<ProcessLimitCase> {};

TEST_P(ProcessLimits, RunGetsItsLimitAndTheServiceGoesOn) {
  ServiceOptions opts;
  opts.allowed_aliases = {"limited", "echo"};
  Service service(opts);
  service.write_alias_file("limited.yaml",
                           std::string("limited:\n  type: process\n  timeout: 10\n") +
                               GetParam().limits + "  command: \"" + GetParam().command + "\"\n");
  service.start();
  const HttpResponse r = service.execute("limited");
  EXPECT_EQ(r.status, GetParam().status) << r.body;
  EXPECT_THAT(r.body, HasSubstr(GetParam().body));
  EXPECT_EQ(service.execute("echo").status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ProcessLimits,
    ::testing::Values(
        ProcessLimitCase{"over_memory", "  limits: {memory: 64Mi}\n",
                         "dd if=/dev/zero bs=100M count=1 of=/dev/null 2>/dev/null && echo fits",
                         500, ""},
        ProcessLimitCase{"unlimited_memory", "",
                         "dd if=/dev/zero bs=100M count=1 of=/dev/null 2>/dev/null && echo fits",
                         200, "fits"},
        ProcessLimitCase{"rlimits", "  limits: {memory: 512Mi, openFiles: 64, cpus: 0.5}\n",
                         "echo $(ulimit -n) $(ulimit -t) $(ulimit -v)", 200, "64 6 524288"}),
    [](const auto& case_info) { return std::string(case_info.param.label); });

TEST(ContainerLimits, EngineAppliesMemoryAndNoNewPrivileges) {
  const char* flag = std::getenv("VELQUIN_TEST_DOCKER");
  if (flag != nullptr && std::string(flag) == "0") {
    GTEST_SKIP() << "VELQUIN_TEST_DOCKER=0: no Docker Engine for this run";
  }
  ServiceOptions opts;
  opts.allowed_aliases = {"climited"};
  Service service(opts);
  service.write_alias_file(
      "climited.yaml",
      "climited:\n  type: container\n  image: velquin-test/busybox:latest\n"
      "  limits: {memory: 64Mi, pids: 32}\n  environment: {VQ_MARK: '{{ mark }}'}\n"
      "  parameters: {mark: {type: string, pattern: '^[0-9a-f-]+$'}}\n"
      "  command: \"sh -c 'cat /sys/fs/cgroup/memory.max 2>/dev/null || cat "
      "/sys/fs/cgroup/memory/memory.limit_in_bytes; grep NoNewPrivs /proc/self/status; "
      "sleep 3'\"\n");
  service.start();
  const std::string mark = support::uuid4();
  auto run = execute_async(service, "climited", {{"mark", mark}});
  std::string seen;
  for (int i = 0; i < 100 && seen.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    seen = command_output(
        "for c in $(docker ps -q); do docker inspect --format "
        "'{{.HostConfig.Memory}} {{.HostConfig.PidsLimit}} {{.HostConfig.SecurityOpt}} "
        "{{.HostConfig.Privileged}} {{.Config.Env}}' $c; done 2>/dev/null | grep " +
        mark);
  }
  const HttpResponse r = run.get();
  EXPECT_THAT(seen, HasSubstr("67108864 32 [no-new-privileges] false"));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_THAT(r.body, HasSubstr("67108864"));
  EXPECT_THAT(r.body, HasSubstr("NoNewPrivs:\t1"));
}

}  // namespace
}  // namespace velquin::e2e
