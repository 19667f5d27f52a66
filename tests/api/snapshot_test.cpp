// One request sees one alias definition from its admission to its answer,
// however the table changes meanwhile.

#include <string>

#include <gtest/gtest.h>

#include "executor/executor.h"
#include "fake_api.h"
#include "http_client.h"
#include "support/temp_dir.h"

namespace velquin::testing {
namespace {

// Hands out A, then whatever a reload installed right after that first lookup.
class ReloadingSource : public api::AliasSource {
 public:
  ReloadingSource(alias::AliasPtr first, alias::AliasPtr after)
      : first_(std::move(first)), after_(std::move(after)) {}
  alias::AliasPtr get_alias(std::string_view) const override {
    std::lock_guard lock(mutex_);
    return lookups_++ == 0 ? first_ : after_;
  }
  int lookups() const {
    std::lock_guard lock(mutex_);
    return lookups_;
  }

 private:
  mutable std::mutex mutex_;
  mutable int lookups_ = 0;  // guarded by mutex_
  alias::AliasPtr first_;
  alias::AliasPtr after_;
};

// The real executor behind the front end.
class RealRunner : public api::Runner {
 public:
  executor::RunResult execute_alias(const alias::Alias& alias_def, const json& params,
                                    const executor::RunContext& context) override {
    return executor_.execute_alias(alias_def, params, context);
  }

 private:
  executor::Executor executor_;
};

struct ReloadCase {
  const char* name;
  bool removed;  // the reload drops the alias instead of replacing it
};

class OneSnapshot : public ::testing::TestWithParam<ReloadCase> {};

TEST_P(OneSnapshot, AReloadAfterTheLookupIsNotSeenByTheRun) {
  TempDir tmp;
  FakeModules modules;
  modules.settings = {{"SharedDir", tmp.str() + "/shared"}, {"LogDir", tmp.str() + "/logs"}};
  modules.who = auth::AuthResult{"alice", {"x"}};
  // B's command would exit 3, which A's exit-code map does not know: a run of
  // B answered with A's map and template would be a 500 with "B".
  const auto a = make_alias(json{{"type", "process"},
                                 {"command", "echo A"},
                                 {"output", {{"single_value", {{"source", "%stdOut"}}}}}},
                            "x");
  const auto b = make_alias(json{{"type", "process"},
                                 {"command", "echo B; exit 3"},
                                 {"exitCodes", {{"3", "299 From B"}}}},
                            "x");
  ReloadingSource source(a, GetParam().removed ? nullptr : b);
  RealRunner runner;
  const api::Services fakes = modules.services();
  api::API server(api::Services{fakes.host, source, fakes.authenticator, runner});
  std::thread serving([&] { server.start_on("127.0.0.1", 0); });
  while (server.port() == 0) {
    std::this_thread::yield();
  }
  const auto reply =
      http_request(server.port(), "POST", "/v1/x", "", {{"Authorization", "Bearer k"}});
  server.graceful_shutdown(5);
  serving.join();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->body, "A\n");
  EXPECT_EQ(source.lookups(), 1);
}

INSTANTIATE_TEST_SUITE_P(Reloads, OneSnapshot,
                         ::testing::Values(ReloadCase{"Replaced", false},
                                           ReloadCase{"Removed", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(OneSnapshot, DefaultsAreFilledOnceBeforeTheRun) {
  FakeModules modules;
  modules.who = auth::AuthResult{"alice", {"greet"}};
  modules.add_alias("greet", json{{"type", "process"},
                                  {"command", "echo {{ who | shell }}"},
                                  {"parameters", {{"who", {{"default", "world"}}}}}});
  FakeApi server(modules);
  server.start();
  const auto reply = http_request(server.port(), "POST", "/v1/greet", "{\"who\": null}",
                                  {{"Content-Type", "application/json"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  server.shutdown();
  ASSERT_EQ(modules.executed_params.size(), 1u);
  EXPECT_EQ(modules.executed_params[0], (json{{"who", "world"}}));
  EXPECT_EQ(modules.executed_aliases[0], modules.aliases["greet"].get());
  EXPECT_EQ(modules.lookups, 1);
}

}  // namespace
}  // namespace velquin::testing
