#include "watcher/dir_snapshot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/temp_dir.h"
#include "watch_test_util.h"

namespace velquin::watcher::detail {
namespace {

namespace fs = std::filesystem;
using watcher::testing::set_mtime;
using watcher::testing::write_file;

TEST(YamlName, OnlyTheTwoLowerCaseSuffixesCount) {
  for (const char* yes : {"a.yaml", "/etc/alias.d/x.yml", ".yml"}) {
    EXPECT_TRUE(is_yaml_name(yes)) << yes;
  }
  for (const char* no : {"a.YAML", "a.yaml~", "a.yaml.swp", "a.xyaml", "notes.txt", ""}) {
    EXPECT_FALSE(is_yaml_name(no)) << no;
  }
}

// One change to a directory holding "a.yaml" and "notes.txt", and whether the
// detector must report it.
struct ChangeCase {
  const char* name;
  std::function<void(const fs::path&)> change;
  bool changed;
};

class ChangeDetection : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeDetection, ReportsExactlyTheChangesOfYamlEntriesOnce) {
  velquin::testing::TempDir tmp;
  const fs::path dir = tmp.path() / "alias.d";
  fs::create_directories(dir);
  write_file(dir / "a.yaml", "echo: {}\n");
  write_file(dir / "notes.txt", "hello\n");
  set_mtime(dir / "a.yaml", 1'000'000);

  DirSnapshot known = take_snapshot(dir.string());
  ASSERT_EQ(known.size(), 1U);
  GetParam().change(dir);
  EXPECT_EQ(detect_change(dir.string(), known), GetParam().changed);
  EXPECT_FALSE(detect_change(dir.string(), known));  // the new state was kept
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangeDetection,
    ::testing::Values(
        ChangeCase{"nothing", [](const fs::path&) {}, false},
        ChangeCase{"other_file_written",
                   [](const fs::path& d) { write_file(d / "notes.txt", "x"); }, false},
        ChangeCase{"upper_case_suffix_added",
                   [](const fs::path& d) { write_file(d / "b.YAML", ""); }, false},
        ChangeCase{"yml_added", [](const fs::path& d) { write_file(d / "extra.yml", ""); }, true},
        ChangeCase{"yaml_removed", [](const fs::path& d) { fs::remove(d / "a.yaml"); }, true},
        ChangeCase{"yaml_touched", [](const fs::path& d) { set_mtime(d / "a.yaml", 2'000'000); },
                   true},
        ChangeCase{"sub_directory_with_yaml_name",
                   [](const fs::path& d) { fs::create_directory(d / "sub.yaml"); }, true},
        // A rewrite within one tick of the file system's clock keeps the time.
        ChangeCase{"same_time_other_size",
                   [](const fs::path& d) {
                     write_file(d / "a.yaml", "echo: {}\nmore: {}\n");
                     set_mtime(d / "a.yaml", 1'000'000);
                   },
                   true},
        // A file renamed over the old one, carrying the old time and size.
        ChangeCase{"replaced_by_rename_same_time_and_size",
                   [](const fs::path& d) {
                     write_file(d / "new", "ECHO: {}\n");
                     set_mtime(d / "new", 1'000'000);
                     fs::rename(d / "new", d / "a.yaml");
                   },
                   true},
        ChangeCase{"directory_removed", [](const fs::path& d) { fs::remove_all(d); }, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace velquin::watcher::detail
