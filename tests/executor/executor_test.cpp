#include "executor/executor.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/aliases.h"

namespace velquin::executor {
namespace {

struct TimeoutCase {
  const char* name;
  json timeout;  // null: absent
  std::optional<int> max_timeout;
  double seconds;
  // Integer stays integer, decimal stays decimal: the messages depend on it.
  const char* text;
};

class ResolveTimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(ResolveTimeoutTest, AppliesDefaultAndBound) {
  const auto& c = GetParam();
  json def = {{"type", "process"}, {"command", "ls"}};
  if (!c.timeout.is_null()) {
    def["timeout"] = c.timeout;
  }
  const TimeLimit got = detail::resolve_timeout(*testing::make_alias(def), c.max_timeout);
  EXPECT_EQ(got.seconds, c.seconds);
  EXPECT_EQ(got.text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Limits, ResolveTimeoutTest,
                         ::testing::Values(TimeoutCase{"absent", json(), std::nullopt, 60, "60"},
                                           TimeoutCase{"zero", 0, std::nullopt, 60, "60"},
                                           TimeoutCase{"bounded", 120, 30, 30, "30"},
                                           TimeoutCase{"below_bound", 120, 300, 120, "120"},
                                           TimeoutCase{"equal_bound", 30, 30, 30, "30"},
                                           TimeoutCase{"bound_zero", 120, 0, 120, "120"},
                                           TimeoutCase{"decimal", 2.5, std::nullopt, 2.5, "2.5"},
                                           TimeoutCase{"whole_decimal", 2.0, std::nullopt, 2,
                                                       "2.0"},
                                           TimeoutCase{"decimal_above_bound", 30.5, 30, 30, "30"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct ShortIdCase {
  const char* name;
  const char* full;
  std::optional<std::string> expected;
};

class ShortIdTest : public ::testing::TestWithParam<ShortIdCase> {};

TEST_P(ShortIdTest, Shortens) {
  EXPECT_EQ(detail::short_id(GetParam().full), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, ShortIdTest,
    ::testing::Values(ShortIdCase{"digest", "sha256:0123456789abcdef0123", "0123456789ab"},
                      ShortIdCase{"short", "abc", "abc"}, ShortIdCase{"empty", "", std::nullopt},
                      ShortIdCase{"plain", "fedcba9876543210", "fedcba987654"},
                      ShortIdCase{"last_piece", "a:b:cdef", "cdef"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class FakeClient : public docker::DockerClient {
 public:
  explicit FakeClient(bool reachable) : reachable_(reachable) {}
  void ping() override {
    if (!reachable_) {
      throw docker::DockerError("cannot connect to /var/run/docker.sock");
    }
  }
  std::string create(const docker::RunSpec&) override { return ""; }
  void start(const std::string&) override {}
  std::string inspect_image(const std::string&) override { return ""; }
  std::optional<std::int64_t> wait(const std::string&) override { return 0; }
  std::string logs(const std::string&, bool) override { return ""; }
  void kill(const std::string&) override {}
  void remove(const std::string&) override {}
  void pull(const std::string&, double) override {}

 private:
  bool reachable_;
};

TEST(DockerClientTest, CreatedOnceAndOnlyWhenReachable) {
  Executor ex;
  int made = 0;
  bool reachable = false;
  ex.set_docker_client_factory([&] {
    ++made;
    return std::make_shared<FakeClient>(reachable);
  });
  EXPECT_THROW(ex.get_docker_client(), docker::DockerError);
  reachable = true;
  auto first = ex.get_docker_client();
  auto second = ex.get_docker_client();
  EXPECT_EQ(first, second);
  EXPECT_EQ(made, 2);
}

}  // namespace
}  // namespace velquin::executor
