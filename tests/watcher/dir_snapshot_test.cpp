#include "watcher/dir_snapshot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/temp_dir.h"
#include "watch_test_util.h"
#include "watcher/watcher.h"

namespace velquin::watcher::detail {
namespace {

namespace fs = std::filesystem;
using velquin::testing::TempDir;
using watcher::testing::set_mtime;
using watcher::testing::write_file;

struct NameCase {
  const char* path;
  bool yaml;
};

class YamlName : public ::testing::TestWithParam<NameCase> {};

TEST_P(YamlName, MatchesOnlyTheTwoLowerCaseSuffixes) {
  EXPECT_EQ(is_yaml_name(GetParam().path), GetParam().yaml);
  EXPECT_EQ(ConfigWatcher::_is_yaml(GetParam().path), GetParam().yaml);
}

INSTANTIATE_TEST_SUITE_P(Names, YamlName,
                         ::testing::Values(NameCase{"a.yaml", true}, NameCase{"a.yml", true},
                                           NameCase{"/etc/velquin/alias.d/x.yml", true},
                                           NameCase{".yaml", true}, NameCase{"a.YAML", false},
                                           NameCase{"a.Yml", false}, NameCase{"a.yaml~", false},
                                           NameCase{"a.yaml.swp", false},
                                           NameCase{"a.xyaml", false}, NameCase{"yaml", false},
                                           NameCase{"notes.txt", false}, NameCase{"", false}));

// One change made to a directory that holds "a.yaml" and "notes.txt", and
// whether the detector must report it.
struct ChangeCase {
  const char* name;
  std::function<void(const fs::path&)> change;
  bool changed;
};

class ChangeDetection : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeDetection, ReportsExactlyTheChangesOfYamlEntries) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "alias.d";
  fs::create_directories(dir);
  write_file(dir / "a.yaml", "echo: {}\n");
  write_file(dir / "notes.txt", "hello\n");
  set_mtime(dir / "a.yaml", 1'000'000);

  DirSnapshot known = take_snapshot(dir.string());
  ASSERT_EQ(known.size(), 1U);
  GetParam().change(dir);
  const DirSnapshot before = known;
  EXPECT_EQ(detect_change(dir.string(), known), GetParam().changed);
  if (GetParam().changed) {
    EXPECT_NE(known, before);
    // The new state is remembered: the same change is not reported twice.
    EXPECT_FALSE(detect_change(dir.string(), known));
  } else {
    EXPECT_EQ(known, before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangeDetection,
    ::testing::Values(
        ChangeCase{"nothing", [](const fs::path&) {}, false},
        ChangeCase{"other_file_written",
                   [](const fs::path& d) { write_file(d / "notes.txt", "changed text\n"); }, false},
        ChangeCase{"upper_case_suffix_added",
                   [](const fs::path& d) { write_file(d / "b.YAML", "x: {}\n"); }, false},
        ChangeCase{"yml_added", [](const fs::path& d) { write_file(d / "extra.yml", "x: {}\n"); },
                   true},
        ChangeCase{"yaml_removed", [](const fs::path& d) { fs::remove(d / "a.yaml"); }, true},
        ChangeCase{"yaml_touched", [](const fs::path& d) { set_mtime(d / "a.yaml", 2'000'000); },
                   true},
        // A rewrite within one tick of the file-system clock keeps the time.
        ChangeCase{"same_time_other_size",
                   [](const fs::path& d) {
                     write_file(d / "a.yaml", "echo: {}\nmore: {}\n");
                     set_mtime(d / "a.yaml", 1'000'000);
                   },
                   true},
        // An editor's save: a new file renamed over the old, with the old time.
        ChangeCase{"replaced_by_rename_same_time_and_size",
                   [](const fs::path& d) {
                     write_file(d / "a.yaml.new", "ECHO: {}\n");
                     set_mtime(d / "a.yaml.new", 1'000'000);
                     fs::rename(d / "a.yaml.new", d / "a.yaml");
                   },
                   true},
        ChangeCase{"renamed_to_other_yaml_name",
                   [](const fs::path& d) { fs::rename(d / "a.yaml", d / "b.yaml"); }, true},
        ChangeCase{"directory_removed", [](const fs::path& d) { fs::remove_all(d); }, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Snapshot, MissingDirectoryIsEmpty) {
  TempDir tmp;
  EXPECT_TRUE(take_snapshot((tmp.path() / "missing").string()).empty());
  EXPECT_TRUE(take_snapshot("").empty());
}

TEST(Snapshot, FileNamesAreKeysAndEntriesThatCannotBeReadAreLeftOut) {
  TempDir tmp;
  write_file(tmp.path() / "b.yml", "x: {}\n");
  fs::create_directory(tmp.path() / "sub.yaml");
  fs::create_symlink(tmp.path() / "nowhere", tmp.path() / "dangling.yaml");

  const DirSnapshot snapshot = take_snapshot(tmp.str());
  ASSERT_EQ(snapshot.size(), 2U);
  EXPECT_TRUE(snapshot.contains("b.yml"));
  // A sub-directory with a YAML name counts: the alias loader fails on it,
  // and that failure must be reloaded and reported.
  EXPECT_TRUE(snapshot.contains("sub.yaml"));
}

TEST(Snapshot, FollowsSymbolicLinksToTheirTargets) {
  TempDir tmp;
  write_file(tmp.path() / "real.txt", "x: {}\n");
  fs::create_directory(tmp.path() / "dir");
  fs::create_symlink(tmp.path() / "real.txt", tmp.path() / "dir" / "linked.yaml");
  set_mtime(tmp.path() / "real.txt", 1'000'000);
  DirSnapshot known = take_snapshot((tmp.path() / "dir").string());

  set_mtime(tmp.path() / "real.txt", 3'000'000);
  EXPECT_TRUE(detect_change((tmp.path() / "dir").string(), known));
}

}  // namespace
}  // namespace velquin::watcher::detail
