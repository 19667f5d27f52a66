#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config.h"
#include "support/temp_dir.h"

namespace velquin::config {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

std::vector<std::string> names_of(const AliasTablePtr& table) {
  std::vector<std::string> names;
  for (const auto& def : table->definitions()) {
    names.push_back(def->name);
  }
  return names;
}

class AliasLoadTest : public ::testing::Test {
 protected:
  // A configuration whose AliasDir is the temp dir's "alias.d"; the service is on a host.
  void load_config(Overrides extra = {}) {
    Overrides overrides = {{"AliasDir", alias_dir().string()}, {"Container", "0"}};
    overrides.insert(overrides.end(), extra.begin(), extra.end());
    config.load((dir.path() / "absent.conf").string(), overrides);
  }

  std::filesystem::path alias_dir() const { return dir.path() / "alias.d"; }

  void write(const std::string& name, const std::string& content) {
    dir.write("alias.d/" + name, content);
  }

  testing::TempDir dir;
  Config config;
};

TEST_F(AliasLoadTest, MessagesFollowFileOrderAndTheTableKeepsAcceptedAliases) {
  write("B.yaml", "zeta: {type: process, command: echo z}\n");
  write("a.yml", "echo: {type: process, command: echo a, name: other}\n"
                 "list: {type: process}\n");
  write("b.yaml", "echo: {type: process, command: echo b}\n"
                  "list: {type: process, command: ls}\n");
  write("bad.yaml", "key: [unclosed\n");
  write("empty.yaml", "");
  write("one.yaml", "echo: hello\n");
  write("rep.yaml", "r: {type: process, command: echo 1}\nr: {type: process, command: echo 2}\n");
  write("seq.yaml", "- a\n- b\n");
  write("notes.txt", "not: [yaml\n");
  write("x.YAML", "not: [yaml\n");
  load_config();

  const auto [table, errors] = config.load_aliases();
  EXPECT_THAT(errors, ElementsAre("a.yml: alias 'list': command must be a non-empty text",
                                  "b.yaml: duplicate alias name 'echo' (first defined in a.yml)",
                                  StartsWith("bad.yaml: invalid YAML: "),
                                  "empty.yaml: top-level value must be a YAML mapping",
                                  "one.yaml: alias 'echo' must be a mapping",
                                  "seq.yaml: top-level value must be a YAML mapping"));
  EXPECT_THAT(names_of(table), ElementsAre("zeta", "echo", "list", "r"));
  EXPECT_EQ(table->find("echo")->process()->command.text(), "echo a");
  EXPECT_EQ(table->find("echo")->name, "echo");
  EXPECT_EQ(table->find("r")->process()->command.text(), "echo 2");
  // Loading never installs anything.
  EXPECT_EQ(config.get_alias("zeta"), nullptr);
}

TEST_F(AliasLoadTest, EmptyDirectoryIsAnEmptyTableWithoutErrors) {
  std::filesystem::create_directories(alias_dir());
  load_config();
  const auto [table, errors] = config.load_aliases();
  EXPECT_TRUE(table->empty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(AliasLoadTest, MissingDirectoryIsItsOnlyMessage) {
  dir.write("not-a-dir", "x");
  for (const auto& path : {alias_dir(), dir.path() / "not-a-dir"}) {
    config.load((dir.path() / "absent.conf").string(), Overrides{{"AliasDir", path.string()}});
    const auto [table, errors] = config.load_aliases();
    EXPECT_TRUE(table->empty());
    EXPECT_THAT(errors, ElementsAre("AliasDir does not exist: " + path.string()));
  }
}

TEST_F(AliasLoadTest, ValidatorSeesMaxTimeoutAndCompilesExitCodesIntoTheStoredCopy) {
  write("t.yaml", "slow: {type: process, command: sleep 1, timeout: 120}\n"
                  "mapped: {type: process, command: 'false', exitCodes: {1: 422}}\n");
  load_config({{"MaxTimeout", "30"}});
  auto [table, errors] = config.load_aliases();
  EXPECT_THAT(errors, ElementsAre("t.yaml: alias 'slow': timeout 120 exceeds MaxTimeout 30"));
  config.apply_aliases(table);
  const auto mapped = config.get_alias("mapped");
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->exit_codes.codes.at(1).status, 422);
}

TEST_F(AliasLoadTest, UnreadableEntriesAbortTheLoad) {
  write("good.yaml", "a: {type: process, command: ls}\n");
  std::filesystem::create_directories(alias_dir() / "dir.yaml");
  load_config();
  EXPECT_THROW(config.load_aliases(), std::system_error);

  std::filesystem::remove(alias_dir() / "dir.yaml");
  write("latin1.yaml", "a: {type: process, command: \"echo caf\xe9\"}\n");
  EXPECT_THROW(config.load_aliases(), std::system_error);
}

struct ExternalDirCase {
  const char* label;
  const char* container;
  const char* external_dir;
  const char* volume;
  bool required;
};

class ExternalDirTest : public AliasLoadTest,
                        public ::testing::WithParamInterface<ExternalDirCase> {};

TEST_P(ExternalDirTest, RequiredOnlyInAContainerWithRunDirVolumes) {
  const auto& c = GetParam();
  write("c.yaml", std::string("proc: {type: process, command: ls}\n"
                              "box: {type: container, image: busybox, volumes: [") +
                      c.volume + "]}\n");
  load_config({{"Container", c.container}, {"ExternalDir", c.external_dir}});
  const auto [table, errors] = config.load_aliases();
  if (c.required) {
    EXPECT_THAT(errors,
                ElementsAre("ExternalDir is required: Velquin is running in a container and "
                            "at least one alias mounts a SharedDir-relative volume, but "
                            "ExternalDir is not set"));
  } else {
    EXPECT_THAT(errors, IsEmpty());
  }
  EXPECT_THAT(names_of(table), ElementsAre("proc", "box"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExternalDirTest,
    ::testing::Values(
        ExternalDirCase{"automatic_volume", "1", "", "{location: /in, content: x}", true},
        ExternalDirCase{"relative_volume", "true", "", "{location: /out, source: out/}", true},
        ExternalDirCase{"external_dir_set", "1", "/host/shared", "{location: /in}", false},
        ExternalDirCase{"on_a_host", "0", "", "{location: /in}", false},
        ExternalDirCase{"absolute_only", "1", "", "{location: /certs, source: /etc/ssl}", false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(ExampleAliases, LoadCleanly) {
  testing::TempDir dir;
  Config config;
  const std::string examples = std::string(VELQUIN_SOURCE_DIR) + "/examples/alias.d";
  config.load((dir.path() / "absent.conf").string(),
              Overrides{{"AliasDir", examples}, {"Container", "0"}});
  const auto [table, errors] = config.load_aliases();
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_THAT(names_of(table), ElementsAre("disk_usage", "echo", "compress_report", "live_build",
                                           "tail_log", "system_info"));
}

TEST(ExampleAliases, ForgeDeployLoadsWithItsEventParameters) {
  testing::TempDir dir;
  Config config;
  config.load(
      (dir.path() / "absent.conf").string(),
      Overrides{{"AliasDir", std::string(VELQUIN_SOURCE_DIR) + "/examples/forge-deploy/alias.d"},
                {"Container", "0"}});
  const auto [table, errors] = config.load_aliases();
  EXPECT_THAT(errors, IsEmpty());
  ASSERT_THAT(names_of(table), ElementsAre("deploy"));
}

}  // namespace
}  // namespace velquin::config
