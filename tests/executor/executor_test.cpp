#include "executor/executor.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config.h"
#include "logger/logger.h"
#include "support/temp_dir.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::TempDir;

std::vector<std::string> keys_of(const json& record) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : record.items()) {
    keys.push_back(key);
  }
  return keys;
}

class ExecuteAliasTest : public ::testing::Test {
 protected:
  void SetUp() override { load_settings({}); }

  void load_settings(config::Overrides extra) {
    config::Overrides overrides{{"SharedDir", (tmp.path() / "shared").string()},
                                {"LogDir", (tmp.path() / "logs").string()}};
    overrides.insert(overrides.end(), extra.begin(), extra.end());
    config::config().load((tmp.path() / "none.conf").string(), overrides);
  }

  void install(std::vector<json> definitions) {
    auto table = std::make_shared<config::AliasTable>();
    for (auto& def : definitions) {
      const std::string name = def["name"];
      table->add(name, def);
    }
    config::config().apply_aliases(table);
  }

  TempDir tmp;
};

TEST_F(ExecuteAliasTest, UnknownAliasIsQuotedInTheMessage) {
  install({});
  json plain = Executor().execute_alias("nope");
  EXPECT_EQ(plain, (json{{"success", false}, {"error", "Alias 'nope' not found"}}));
  json quote = Executor().execute_alias("it's");
  EXPECT_EQ(quote["error"], "Alias \"it's\" not found");
}

TEST_F(ExecuteAliasTest, ValidationFailureListsEveryMessage) {
  install({{{"name", "v"},
            {"type", "process"},
            {"command", "echo"},
            {"parameters",
             {{"a", {{"type", "string"}, {"required", true}}}, {"b", {{"type", "integer"}}}}}}});
  const json params = {{"b", "x"}};
  json r = Executor().execute_alias("v", &params);
  EXPECT_THAT(keys_of(r), ElementsAre("success", "validation_error", "errors", "error"));
  EXPECT_EQ(r["success"], false);
  EXPECT_EQ(r["validation_error"], true);
  EXPECT_EQ(r["errors"], json::array({"'a' is required", "'b' must be an integer"}));
  EXPECT_EQ(r["error"], "Parameter validation failed: 'a' is required, 'b' must be an integer");
}

struct TypeCase {
  const char* name;
  json type;
  const char* error;
};

class UnknownTypeTest : public ExecuteAliasTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(UnknownTypeTest, IsReportedWithItsQuotedType) {
  json def = {{"name", "t"}, {"command", "echo"}};
  if (!GetParam().type.is_null()) {
    def["type"] = GetParam().type;
  }
  install({def});
  EXPECT_EQ(Executor().execute_alias("t"), (json{{"success", false}, {"error", GetParam().error}}));
}

INSTANTIATE_TEST_SUITE_P(Types, UnknownTypeTest,
                         ::testing::Values(TypeCase{"other_case", "Process",
                                                    "Unknown alias type: 'Process'"},
                                           TypeCase{"absent", json(), "Unknown alias type: None"},
                                           TypeCase{"number", 3, "Unknown alias type: 3"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ExecuteAliasTest, DefaultsApplyWithoutTouchingTheCallersMapping) {
  install({{{"name", "greet"},
            {"type", "process"},
            {"command", "echo {{ greeting }} {{ who }}"},
            {"parameters",
             {{"greeting", {{"type", "string"}, {"default", "hello"}, {"pattern", "^[a-z]+$"}}},
              {"who", {{"type", "string"}, {"default", "world"}, {"pattern", "^[a-z]+$"}}}}}}});
  EXPECT_EQ(Executor().execute_alias("greet")["stdout"], "hello world\n");
  const json params = {{"who", "bob"}};
  json r = Executor().execute_alias("greet", &params);
  EXPECT_EQ(r["stdout"], "hello bob\n");
  EXPECT_EQ(params, (json{{"who", "bob"}}));
}

struct TimeoutCase {
  const char* name;
  json timeout;  // null: absent
  std::optional<int> max_timeout;
  json expected;
};

class ResolveTimeoutTest : public ExecuteAliasTest,
                           public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ResolveTimeoutTest, AppliesDefaultAndBound) {
  const auto& c = GetParam();
  if (c.max_timeout) {
    load_settings({{"MaxTimeout", std::to_string(*c.max_timeout)}});
  }
  json def = {{"type", "process"}};
  if (!c.timeout.is_null()) {
    def["timeout"] = c.timeout;
  }
  json got = _resolve_timeout(def);
  EXPECT_EQ(got, c.expected);
  // Integer stays integer, decimal stays decimal: the messages depend on it.
  EXPECT_EQ(got.is_number_integer(), c.expected.is_number_integer());
}

INSTANTIATE_TEST_SUITE_P(Limits, ResolveTimeoutTest,
                         ::testing::Values(TimeoutCase{"absent", json(), std::nullopt, 60},
                                           TimeoutCase{"zero", 0, std::nullopt, 60},
                                           TimeoutCase{"bounded", 120, 30, 30},
                                           TimeoutCase{"below_bound", 120, 300, 120},
                                           TimeoutCase{"equal_bound", 30, 30, 30},
                                           TimeoutCase{"bound_zero", 120, 0, 120},
                                           TimeoutCase{"decimal", 2.5, std::nullopt, 2.5},
                                           TimeoutCase{"decimal_above_bound", 30.5, 30, 30}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct ShortIdCase {
  const char* name;
  const char* full;
  std::optional<std::string> expected;
};

class ShortIdTest : public ::testing::TestWithParam<ShortIdCase> {};

TEST_P(ShortIdTest, Shortens) {
  EXPECT_EQ(_short_id(GetParam().full), GetParam().expected);
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
  EXPECT_THROW(ex._get_docker_client(), docker::DockerError);
  reachable = true;
  auto first = ex._get_docker_client();
  auto second = ex._get_docker_client();
  EXPECT_EQ(first, second);
  EXPECT_EQ(made, 2);
}

}  // namespace
}  // namespace velquin::executor
