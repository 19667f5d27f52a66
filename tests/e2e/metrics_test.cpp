// GET /internal/metrics against the real binary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/harness.h"
#include "support/temp_dir.h"

namespace velquin::e2e {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

HttpResponse metrics(const Service& svc, const std::string& key = "health-key") {
  return http(svc.port(), "GET", "/internal/metrics", {{"X-API-Key", key}});
}

ServiceOptions with_health_key(std::vector<std::string> lines = {}) {
  ServiceOptions opts;
  opts.config_lines = std::move(lines);
  opts.config_lines.push_back("HealthApiKey health-key");
  return opts;
}

TEST(Metrics, CountsWithoutSeriesFromClientsOrSecrets) {
  Service svc(with_health_key());
  svc.start();
  ASSERT_EQ(svc.execute("echo", {{"message", "s3cret-param"}}).status, 200);
  EXPECT_GE(svc.execute("no_such_alias_xyz").status, 400);

  // The health check's rule: a wrong key is refused and audited.
  EXPECT_EQ(metrics(svc, "wrong").status, 401);
  auto r = metrics(svc);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_TRUE(contains(r.body, "velquin_requests_total{status=\"200\",code=\"success\"} 1\n"));
  EXPECT_TRUE(contains(r.body, "velquin_requests_total{status=\"401\",code=\"auth_failed\"} 1\n"));
  EXPECT_TRUE(contains(r.body, "velquin_run_duration_seconds_count{alias=\"echo\"} 1\n"));
  EXPECT_TRUE(contains(r.body, "velquin_runs_in_flight 0\n"));
  EXPECT_TRUE(contains(r.body, "velquin_build_info{version="));
  for (const char* leak : {"s3cret-param", "no_such_alias_xyz", kApiKey, "health-key", "wrong"}) {
    EXPECT_FALSE(contains(r.body, leak)) << leak;
  }
  ASSERT_FALSE(svc.audit().empty());
  EXPECT_EQ(svc.audit().back()["app_code"], "auth_failed");

  svc.signal(SIGHUP);
  ASSERT_TRUE(svc.wait_for_log("Alias configuration reloaded successfully"));
  EXPECT_TRUE(contains(metrics(svc).body,
                       "velquin_reloads_total{kind=\"aliases\",outcome=\"success\"} 1\n"));

  if (!std::filesystem::exists("/usr/bin/promtool")) {
    GTEST_SKIP() << "promtool is not installed (package prometheus): format not checked";
  }
  velquin::testing::TempDir tmp;
  std::ofstream(tmp.path() / "metrics.txt") << metrics(svc).body;
  EXPECT_EQ(
      std::system(("promtool check metrics < " + (tmp.path() / "metrics.txt").string()).c_str()),
      0);
}

// A full disk drops audit records; the count says so where the log cannot.
TEST(Metrics, AuditWriteFailuresAreCounted) {
  Service svc(with_health_key({"AuditLog /dev/full"}));
  svc.start();
  ASSERT_EQ(svc.execute("echo").status, 200);
  ASSERT_EQ(svc.execute("echo").status, 200);
  EXPECT_TRUE(contains(metrics(svc).body, "velquin_audit_write_failures_total 2\n"));
}

}  // namespace
}  // namespace velquin::e2e
