#include <gtest/gtest.h>

#include <regex>

#include "support/aliases.h"
#include "support/temp_dir.h"
#include "velquin/cli.h"
#include "velquin/container_checks.h"
#include "velquin/daemon.h"
#include "velquin/startup.h"

namespace velquin::app::detail {
namespace {

ParseOutcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "velquin");
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OverridesFollowTableOrderAndKeepEmptyValues) {
  auto outcome = parse({"--listen-port", "abc", "--auth-dir", "", "--pid-file=/tmp/p"});
  ASSERT_TRUE(outcome.command_line);
  auto overrides = build_overrides(*outcome.command_line);
  config::Overrides expected{{"PidFile", "/tmp/p"}, {"AuthDir", ""}, {"ListenPort", "abc"}};
  EXPECT_EQ(overrides, expected);
  EXPECT_FALSE(outcome.command_line->config.has_value());
  EXPECT_FALSE(outcome.command_line->daemon);
}

TEST(CommandLine, ConfigAndDaemon) {
  auto outcome = parse({"--config", "/x.conf", "--daemon"});
  ASSERT_TRUE(outcome.command_line);
  EXPECT_EQ(outcome.command_line->config, "/x.conf");
  EXPECT_TRUE(outcome.command_line->daemon);
  EXPECT_TRUE(build_overrides(*outcome.command_line).empty());
}

TEST(CommandLine, EveryOverrideOptionMapsToItsKey) {
  std::vector<std::string> args;
  for (const auto& row : detail::CLI_TO_KEY) {
    std::string opt = "--" + std::string(row.dest);
    std::replace(opt.begin(), opt.end(), '_', '-');
    args.push_back(opt);
    args.push_back(std::string(row.key) + "-value");
  }
  auto outcome = parse(args);
  ASSERT_TRUE(outcome.command_line);
  auto overrides = build_overrides(*outcome.command_line);
  ASSERT_EQ(overrides.size(), detail::CLI_TO_KEY.size());
  for (std::size_t i = 0; i < overrides.size(); ++i) {
    EXPECT_EQ(overrides[i].first, detail::CLI_TO_KEY[i].key);
    EXPECT_EQ(overrides[i].second, std::string(detail::CLI_TO_KEY[i].key) + "-value");
  }
}

TEST(CommandLine, MalformedExitsWithTwo) {
  EXPECT_EQ(parse({"--bogus"}).exit_code, 2);
  EXPECT_EQ(parse({"--listen-port"}).exit_code, 2);
  EXPECT_FALSE(parse({"--bogus"}).command_line);
}

TEST(MissingConfigWarning, OnlyForTheDefaultPathWhenAbsent) {
  testing::TempDir dir;
  auto present = dir.write("v.conf", "");
  EXPECT_EQ(missing_config_warning(dir.str() + "/none.conf", true),
            "Config file not found: " + dir.str() + "/none.conf. Starting with default settings.");
  EXPECT_FALSE(missing_config_warning(dir.str() + "/none.conf", false));
  EXPECT_FALSE(missing_config_warning(present, true));
}

struct ModeCase {
  config::SettingValue setting;
  std::string description;
};

class ContainerMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ContainerMode, Description) {
  EXPECT_EQ(container_mode_description(GetParam().setting), GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ContainerMode,
    ::testing::Values(ModeCase{std::string("TRUE"), "Running on container (configured)"},
                      ModeCase{std::string("1"), "Running on container (configured)"},
                      ModeCase{std::string("yes"), "Running on host (configured)"},
                      ModeCase{std::string("0"), "Running on host (configured)"},
                      ModeCase{std::string(""), "Running on host (configured)"}));

TEST(ContainerMode, DetectedFromMarkers) {
  bool marker = std::filesystem::exists("/.dockerenv") ||
                std::filesystem::exists("/run/.containerenv") ||
                std::getenv("container") != nullptr;
  EXPECT_EQ(container_mode_description(config::SettingValue{}),
            std::string("Running on ") + (marker ? "container" : "host") + " (DETECTED)");
}

TEST(ExternalDirWarning, OnlyInAContainerWithoutExternalDir) {
  EXPECT_TRUE(external_dir_startup_warning(std::string("1"), "").has_value());
  EXPECT_FALSE(external_dir_startup_warning(std::string("1"), "/host/shared"));
  EXPECT_FALSE(external_dir_startup_warning(std::string("0"), ""));
}

TEST(DockerSocket, NotContactedOnAHostOrWithoutContainerAliases) {
  auto process_alias = testing::make_alias({{"type", "process"}, {"command", "ls"}});
  auto container_alias = testing::make_alias({{"type", "container"}, {"image", "busybox"}});
  EXPECT_TRUE(validate_docker_socket(std::string("0"), {container_alias}).empty());
  EXPECT_TRUE(validate_docker_socket(std::string("1"), {process_alias}).empty());
  EXPECT_TRUE(run_startup_image_pull({process_alias}, "always", "on-start").empty());
}

TEST(PreInitLog, AppendsTimestampedErrorLine) {
  testing::TempDir dir;
  auto path = dir.str() + "/nested/app.log";
  log_pre_init_error("Configuration file not found: /x.conf", path);
  log_pre_init_error("second", path);
  auto text = testing::read_file(path);
  std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,000 ERROR velquin Configuration file not found: /x\.conf\n)"
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,000 ERROR velquin second\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(PreInitLog, UnwritableLocationIsIgnored) {
  EXPECT_NO_THROW(log_pre_init_error("x", "/proc/velquin-cannot-exist/app.log"));
}

TEST(PidFile, WrittenWithoutNewlineAndRemovedQuietly) {
  testing::TempDir dir;
  auto path = dir.str() + "/v.pid";
  write_pid(path);
  EXPECT_EQ(testing::read_file(path), std::to_string(::getpid()));
  remove_pid(path);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_NO_THROW(remove_pid(path));
}

}  // namespace
}  // namespace velquin::app::detail
