#include "watcher/reloader.h"
#include "watcher/watcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "auth/auth.h"
#include "config/config.h"
#include "logger/testing.h"
#include "support/temp_dir.h"
#include "watch_test_util.h"

namespace velquin::watcher {
namespace {

namespace fs = std::filesystem;
using logger::Level;
using logger::LogCapture;
using velquin::testing::TempDir;
using watcher::testing::count_containing;
using watcher::testing::eventually;
using watcher::testing::replace_file;
using watcher::testing::write_file;

constexpr const char* ECHO_ALIAS = "echo:\n  type: process\n  command: echo hello\n";
// sha256 of "test"
constexpr const char* USERS = "users:\n  alice:\n    api_key_sha256: "
                              "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"
                              "    allowed_aliases: [echo]\n";

// A real configuration, authentication object and reloader over temporary
// directories, loaded as start-up loads them.
class ConfigWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(alias_dir);
    fs::create_directories(auth_dir);
    write_file(alias_dir / "echo.yaml", ECHO_ALIAS);
    write_file(auth_dir / "users.yaml", USERS);
  }

  void load(const std::string& auth_reload, const std::string& alias_reload) {
    cfg.load((tmp.path() / "absent.conf").string(),
             config::Overrides{{"AliasDir", alias_dir.string()},
                               {"AuthDir", auth_dir.string()},
                               {"AuthReload", auth_reload},
                               {"AliasReload", alias_reload},
                               {"LogDir", tmp.str()},
                               {"Container", "0"}});
    auto [table, errors] = cfg.load_aliases();
    ASSERT_EQ(errors, std::vector<std::string>{});
    cfg.apply_aliases(table);
    ASSERT_EQ(auth.load_auth_config_from(auth_dir.string()), std::vector<std::string>{});
    cfg.record_startup_success();
  }

  bool is_current() const { return cfg.get_health_status().is_current; }

  TempDir tmp;
  fs::path alias_dir = tmp.path() / "alias.d";
  fs::path auth_dir = tmp.path() / "auth.d";
  config::Config cfg;
  auth::Auth auth{auth_dir.string()};
  LogCapture capture;
};

TEST_F(ConfigWatcherTest, ANewAliasFileIsInstalled) {
  ASSERT_NO_FATAL_FAILURE(load("1", "1"));
  Reloader reloader(cfg, auth);
  ConfigWatcher watcher(reloader);
  watcher.start(cfg);
  EXPECT_TRUE(
      capture.contains(Level::info, "Config watcher started (AuthReload=1s, AliasReload=1s)"));

  replace_file(alias_dir / "extra.yml", "extra:\n  type: process\n  command: echo extra\n");
  ASSERT_TRUE(eventually([&] { return cfg.get_alias("extra") != nullptr; }));
  watcher.stop();
  EXPECT_NE(cfg.get_alias("echo"), nullptr);
  EXPECT_TRUE(is_current());
  EXPECT_EQ(
      count_containing(capture.messages(Level::info), "Alias configuration reloaded successfully"),
      1U);
}

// A broken file is reported; a sub-directory with an alias-file name makes
// the load throw instead. Either way the old table stays until things are fixed.
TEST_F(ConfigWatcherTest, FailedAliasReloadsKeepTheOldTableUntilFixed) {
  ASSERT_NO_FATAL_FAILURE(load("1", "1"));
  const config::AliasTablePtr before = cfg.alias_table();
  Reloader reloader(cfg, auth);
  ConfigWatcher watcher(reloader);
  watcher.start(cfg);

  replace_file(alias_dir / "broken.yaml", "extra: [unclosed\n");
  ASSERT_TRUE(eventually([&] { return !is_current(); }));
  ASSERT_EQ(count_containing(capture.messages(Level::error), "Alias reload error: broken.yaml"),
            1U);
  fs::remove(alias_dir / "broken.yaml");
  ASSERT_TRUE(eventually([&] { return is_current(); }));

  fs::create_directory(alias_dir / "sub.yaml");
  ASSERT_TRUE(eventually([&] { return !is_current(); }));
  EXPECT_EQ(count_containing(capture.messages(Level::error), "Alias reload error: "), 2U);
  EXPECT_EQ(cfg.alias_table()->size(), before->size());
  EXPECT_NE(cfg.get_alias("echo"), nullptr);

  fs::remove(alias_dir / "sub.yaml");
  replace_file(alias_dir / "extra.yml", "extra:\n  type: process\n  command: echo extra\n");
  ASSERT_TRUE(eventually([&] { return cfg.get_alias("extra") != nullptr && is_current(); }));
}

TEST_F(ConfigWatcherTest, ABrokenAuthFileIsAFailedAuthReload) {
  ASSERT_NO_FATAL_FAILURE(load("1", "0"));
  Reloader reloader(cfg, auth);
  ConfigWatcher watcher(reloader);
  watcher.start(cfg);

  replace_file(auth_dir / "users.yaml", "users: [unclosed\n");
  ASSERT_TRUE(eventually([&] { return !is_current(); }));
  const std::vector<std::string> errors = capture.messages(Level::error);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(count_containing(errors, "Auth reload error: "), errors.size());
  // The previous users stay in force.
  EXPECT_TRUE(auth.authenticate_request({"Bearer test", "127.0.0.1"}).has_value());

  replace_file(auth_dir / "users.yaml", USERS);
  ASSERT_TRUE(eventually([&] { return is_current(); }));
  EXPECT_TRUE(capture.contains(Level::info, "Auth configuration reloaded successfully"));
}

}  // namespace
}  // namespace velquin::watcher
