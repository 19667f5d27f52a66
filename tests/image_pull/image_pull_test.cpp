#include "image_pull/image_pull.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/aliases.h"

namespace velquin::image_pull {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records pulls; images listed in failures fail with the given engine error.
class FakeClient : public docker::DockerClient {
 public:
  void ping() override {}
  std::string create(const docker::RunSpec&) override { return "id"; }
  void start(const std::string&) override {}
  std::string inspect_image(const std::string&) override { return ""; }
  std::optional<std::int64_t> wait(const std::string&) override { return 0; }
  std::string logs(const std::string&, bool) override { return ""; }
  void kill(const std::string&) override {}
  void remove(const std::string&) override {}
  void pull(const std::string& image, double timeout_seconds) override {
    pulls.push_back(image);
    timeouts.push_back(timeout_seconds);
    if (not_found.contains(image)) {
      throw docker::ImageNotFound("manifest unknown: " + image);
    }
    if (failing.contains(image)) {
      throw docker::DockerError("registry unreachable");
    }
  }

  std::vector<std::string> pulls;
  std::vector<double> timeouts;
  std::set<std::string> not_found;
  std::set<std::string> failing;
};

alias::AliasPtr container(const std::string& name, const std::string& image) {
  return testing::make_alias(Json{{"type", "container"}, {"image", image}}, name);
}

alias::AliasPtr process(const std::string& name) {
  return testing::make_alias(Json{{"type", "process"}, {"command", "ls"}}, name);
}

class PullTest : public ::testing::Test {
 protected:
  ClientFactory factory() {
    return [this] {
      ++clients_made;
      return client;
    };
  }

  std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
  int clients_made = 0;
};

struct StartupCase {
  const char* refresh;
  const char* prefetch;
  bool pulls;
};

class StartupSettingTest : public PullTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupSettingTest, PullsOnlyForOnStart) {
  const AliasList aliases = {container("a", "busybox:1")};
  EXPECT_THAT(startup_pull(aliases, GetParam().refresh, GetParam().prefetch, factory()), IsEmpty());
  EXPECT_EQ(client->pulls.size(), GetParam().pulls ? 1u : 0u);
  EXPECT_EQ(clients_made, GetParam().pulls ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Settings, StartupSettingTest,
                         ::testing::Values(StartupCase{"on-start", "no", true},
                                           StartupCase{"no", "on-start", true},
                                           StartupCase{"always", "on-config-change", false},
                                           StartupCase{"no", "no", false}));

TEST_F(PullTest, StartupPullsEachDistinctImageOnceAndNamesTheFirstAlias) {
  client->failing = {"registry.local/bad:1"};
  const AliasList aliases = {process("p"), container("a", "busybox:1"),
                             container("b", "registry.local/bad:1"), container("c", "busybox:1"),
                             container("d", "registry.local/bad:1")};
  const auto errors = startup_pull(aliases, "on-start", "no", factory());
  EXPECT_THAT(client->pulls, ElementsAre("busybox:1", "registry.local/bad:1"));
  EXPECT_THAT(errors, ElementsAre("Cannot pull image 'registry.local/bad:1' for alias 'b': "
                                  "registry unreachable"));
}

TEST_F(PullTest, UnreachableEngineIsReportedForEveryImage) {
  const AliasList aliases = {container("a", "x:1"), container("b", "y:1")};
  const ClientFactory broken = []() -> std::shared_ptr<docker::DockerClient> {
    throw docker::DockerError("cannot connect to /var/run/docker.sock");
  };
  EXPECT_THAT(
      startup_pull(aliases, "on-start", "no", broken),
      ElementsAre("Cannot pull image 'x:1' for alias 'a': cannot connect to /var/run/docker.sock",
                  "Cannot pull image 'y:1' for alias 'b': cannot connect to /var/run/docker.sock"));
}

TEST_F(PullTest, NoContainerAliasesNeverTouchesTheEngine) {
  const ClientFactory forbidden = []() -> std::shared_ptr<docker::DockerClient> {
    ADD_FAILURE() << "client created without anything to pull";
    return nullptr;
  };
  EXPECT_THAT(startup_pull({process("p")}, "on-start", "on-start", forbidden), IsEmpty());
  EXPECT_THAT(reload_pull({}, {process("p")}, "on-config-change", forbidden), IsEmpty());
}

TEST_F(PullTest, ReloadPullsOnlyNewAndChangedImages) {
  const AliasList current = {container("same", "a:1"), container("moved", "b:1"), process("p"),
                             container("gone", "z:1")};
  const AliasList fresh = {container("same", "a:1"), container("moved", "b:2"),
                           container("p", "c:1"), container("added", "d:1"),
                           container("twin", "d:1")};
  EXPECT_THAT(reload_pull(current, fresh, "on-config-change", factory()), IsEmpty());
  EXPECT_THAT(client->pulls, ElementsAre("b:2", "c:1", "d:1"));
}

TEST_F(PullTest, ReloadDoesNothingForOtherSettings) {
  const AliasList fresh = {container("added", "d:1")};
  for (const char* setting : {"no", "on-start"}) {
    EXPECT_THAT(reload_pull({}, fresh, setting, factory()), IsEmpty());
  }
  EXPECT_THAT(client->pulls, IsEmpty());
}

TEST_F(PullTest, ReloadReportsNotFoundImages) {
  client->not_found = {"ghost:1"};
  const auto errors = reload_pull({}, {container("g", "ghost:1")}, "on-config-change", factory());
  EXPECT_THAT(errors,
              ElementsAre("Cannot pull image 'ghost:1' for alias 'g': manifest unknown: ghost:1"));
}

TEST_F(PullTest, RefreshBeforeRunPullsOnlyForAlways) {
  const alias::Alias alias = *container("a", "busybox:1");
  EXPECT_EQ(refresh_before_run(*client, alias, "on-start", 10), 0.0);
  EXPECT_EQ(refresh_before_run(*client, alias, "no", 10), 0.0);
  EXPECT_THAT(client->pulls, IsEmpty());

  EXPECT_GE(refresh_before_run(*client, alias, "always", 10), 0.0);
  EXPECT_THAT(client->pulls, ElementsAre("busybox:1"));
  EXPECT_THAT(client->timeouts, ElementsAre(10.0));
}

TEST_F(PullTest, RefreshBeforeRunSurfacesImageNotFound) {
  client->not_found = {"ghost:1"};
  EXPECT_THROW(refresh_before_run(*client, *container("g", "ghost:1"), "always", 5),
               docker::ImageNotFound);
  client->failing = {"flaky:1"};
  EXPECT_THROW(refresh_before_run(*client, *container("f", "flaky:1"), "always", 5),
               docker::DockerError);
}

}  // namespace
}  // namespace velquin::image_pull
