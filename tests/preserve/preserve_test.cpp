#include "preserve/preserve.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logger/testing.h"
#include "support/temp_dir.h"

namespace velquin::preserve {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using logger::Level;
using logger::LogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::read_file;
using ::testing::StartsWith;
using testing::TempDir;

struct ModeCase {
  const char* name;
  json value;
  const char* normalized;
  bool enabled;
};

class ModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeTest, NormalisesAndDecides) {
  EXPECT_EQ(normalize_preserve(GetParam().value), GetParam().normalized);
  EXPECT_EQ(is_preserve_enabled(GetParam().value), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeTest,
                         ::testing::Values(ModeCase{"absent", json(), "none", false},
                                           ModeCase{"yaml_true", json(true), "true", true},
                                           ModeCase{"yaml_false", json(false), "false", false},
                                           ModeCase{"capitalised", json("Flatten"), "flatten",
                                                    true},
                                           ModeCase{"upper_false", json("FALSE"), "false", false},
                                           ModeCase{"none", json("none"), "none", false},
                                           ModeCase{"unknown_word", json("no"), "no", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct DestCase {
  const char* name;
  const char* mode;
  std::optional<std::string> prefix;
  const char* expected;
};

class DestPathTest : public ::testing::TestWithParam<DestCase> {};

TEST_P(DestPathTest, FollowsTheLayout) {
  const auto& c = GetParam();
  EXPECT_EQ(detail::dest_path("a/b.txt", c.mode, c.prefix, "/logs", "C"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DestPathTest,
    ::testing::Values(DestCase{"flat_prefix", "flatten", "vol1", "/logs/C_vol1_a_b.txt"},
                      DestCase{"flat_plain", "flatten", std::nullopt, "/logs/C_a_b.txt"},
                      DestCase{"flat_empty_prefix", "flatten", "", "/logs/C_a_b.txt"},
                      DestCase{"tree_prefix", "yes", "vol1", "/logs/C/vol1/a/b.txt"},
                      DestCase{"tree_plain", "true", std::nullopt, "/logs/C/a/b.txt"},
                      DestCase{"tree_absolute_prefix_stays_inside", "yes", "/etc",
                               "/logs/C/etc/a/b.txt"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

std::vector<std::string> rel_paths(const std::vector<Entry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) {
    out.push_back(e.rel_path);
  }
  return out;
}

TEST(ComputeEntriesTest, SingleFileVolume) {
  TempDir tmp;
  auto file = tmp.write("out/report.csv", "x");
  fs::create_symlink(file, tmp.path() / "link.csv");
  auto entries = compute_entries(file.string(), false);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].rel_path, "report.csv");
  EXPECT_EQ(entries[0].abs_path, file.string());
  EXPECT_EQ(compute_entries((tmp.path() / "link.csv").string(), false).size(), 1u);
  EXPECT_TRUE(compute_entries((tmp.path() / "missing").string(), false).empty());
  EXPECT_TRUE(compute_entries((tmp.path() / "out").string(), false).empty());
}

TEST(ComputeEntriesTest, WalksTopDownWithoutEnteringLinkedDirectories) {
  TempDir tmp;
  tmp.write("vol/top.txt", "1");
  tmp.write("vol/sub/deep/inner.txt", "2");
  tmp.write("elsewhere/secret.txt", "s");
  fs::create_directory_symlink(tmp.path() / "elsewhere", tmp.path() / "vol" / "dirlink");
  fs::create_symlink(tmp.path() / "nowhere", tmp.path() / "vol" / "dangling");
  auto paths = rel_paths(compute_entries((tmp.path() / "vol").string(), true));
  std::sort(paths.begin(), paths.end() - 1);  // listing order within a directory is the OS's
  EXPECT_THAT(paths, ElementsAre("dangling", "top.txt", "sub/deep/inner.txt"));
  EXPECT_TRUE(compute_entries((tmp.path() / "missing").string(), true).empty());
}

class PreserveVolumeTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string logs() const { return (tmp.path() / "logs").string(); }
};

TEST_F(PreserveVolumeTest, CopiesASingleFileWithItsMetadata) {
  auto file = tmp.write("data/out/report.csv", "a,b\n");
  ::chmod(file.c_str(), 0640);
  struct timeval times[2] = {{1000000000, 0}, {1200000000, 0}};
  ::utimes(file.c_str(), times);
  EXPECT_TRUE(preserve_volume(file.string(), false, "yes", std::nullopt, logs(), "C").empty());
  const fs::path dest = tmp.path() / "logs" / "C" / "report.csv";
  EXPECT_EQ(read_file(dest), "a,b\n");
  struct stat st {};
  ASSERT_EQ(::stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtime, 1200000000);
}

TEST_F(PreserveVolumeTest, FlattensWithPrefix) {
  tmp.write("vol/a/b.txt", "b");
  EXPECT_TRUE(
      preserve_volume((tmp.path() / "vol").string(), true, "flatten", "vol1", logs(), "C").empty());
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C_vol1_a_b.txt"), "b");
}

TEST_F(PreserveVolumeTest, OneFailedFileDoesNotStopTheOthers) {
  tmp.write("vol/a/x.txt", "x");
  tmp.write("vol/b.txt", "b");
  tmp.write("vol/c.txt", "c");
  // A file where a destination directory must go: fails even for root.
  tmp.write("logs/C/a", "in the way");
  LogCapture capture;
  preserve_volumes({{(tmp.path() / "vol").string(), true, "yes", std::nullopt}}, logs(), "C");
  auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Volume preserve failed: failed to preserve '" +
                                    (tmp.path() / "vol" / "a" / "x.txt").string() + "' to '" +
                                    logs() + "/C/a/x.txt': [Errno "));
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "b.txt"), "b");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "c.txt"), "c");
}

TEST_F(PreserveVolumeTest, SkipsLinksThatLeaveTheVolume) {
  tmp.write("secret.txt", "host data");
  tmp.write("vol/real.txt", "r");
  fs::create_symlink(tmp.path() / "secret.txt", tmp.path() / "vol" / "escape");
  fs::create_symlink("real.txt", tmp.path() / "vol" / "alias");
  LogCapture capture;
  preserve_volumes({{(tmp.path() / "vol").string(), true, "yes", std::nullopt}}, logs(), "C");
  auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Volume preserve failed: failed to preserve "));
  EXPECT_THAT(errors[0], HasSubstr("escape"));
  EXPECT_FALSE(fs::exists(tmp.path() / "logs" / "C" / "escape"));
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "alias"), "r");
}

// What a container may leave in a volume (or in the log directory) before
// preservation. The sentinel lies outside both and must never be copied or
// written through.
struct PlantCase {
  const char* name;
  bool is_dir;
  std::function<void(const fs::path& tmp, const fs::path& sentinel)> plant;
  std::vector<const char*> copied;  // below logs/C, each holding "kept"
  const char* error;                // the one error line's ending, or none
};

void PrintTo(const PlantCase& c, std::ostream* os) {
  *os << c.name;
}

class PlantedVolumeTest : public PreserveVolumeTest,
                          public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedVolumeTest, CopiesOnlyRegularFilesOfTheVolume) {
  const PlantCase& c = GetParam();
  const fs::path sentinel = tmp.write("sentinel.txt", "host secret");
  fs::create_directories(tmp.path() / "run" / "vol");
  fs::create_directories(tmp.path() / "elsewhere");
  c.plant(tmp.path(), sentinel);
  const fs::path volume = tmp.path() / "run" / (c.is_dir ? "vol" : "vol/in.txt");
  LogCapture capture;
  // The volume's source carried a parameter value: messages name the template.
  preserve_volumes({{volume.string(), c.is_dir, "yes", std::nullopt, (tmp.path() / "run").string(),
                     c.is_dir ? "{{ v }}/" : "{{ v }}.txt"}},
                   logs(), "C");
  const auto errors = capture.messages(Level::error);
  if (c.error != nullptr) {
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0],
                StartsWith("Volume preserve failed: failed to preserve volume '{{ v }}"));
    EXPECT_THAT(errors[0], ::testing::EndsWith(c.error));
    EXPECT_THAT(errors[0], Not(HasSubstr(tmp.str())));
  } else {
    EXPECT_THAT(errors, ::testing::IsEmpty());
  }
  std::vector<std::string> copied;
  if (fs::exists(tmp.path() / "logs")) {
    for (const auto& e : fs::recursive_directory_iterator(tmp.path() / "logs")) {
      if (e.is_symlink() || !e.is_regular_file()) {
        continue;
      }
      EXPECT_EQ(read_file(e.path()), "kept") << e.path();
      copied.push_back(fs::relative(e.path(), tmp.path() / "logs" / "C").string());
    }
  }
  std::sort(copied.begin(), copied.end());
  EXPECT_THAT(copied, ::testing::ElementsAreArray(c.copied));
  EXPECT_EQ(read_file(sentinel), "host secret");
  for (const auto& e : fs::directory_iterator(tmp.path() / "elsewhere")) {
    EXPECT_NE(read_file(e.path()), "kept") << "written through a planted link: " << e.path();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plants, PlantedVolumeTest,
    ::testing::Values(PlantCase{"SingleFileSwappedForALink",
                                false,
                                [](auto& base, auto& s) {
                                  fs::create_symlink(s, base / "run/vol/in.txt");
                                },
                                {},
                                "'{{ v }}.txt': symbolic link is not followed"},
                      PlantCase{"SingleFileBelowALinkedDirectory",
                                false,
                                [](auto& base, auto& s) {
                                  fs::remove(base / "run/vol");
                                  fs::create_symlink(s.parent_path() / "elsewhere",
                                                     base / "run/vol");
                                  std::ofstream(base / "elsewhere/in.txt") << "host secret";
                                },
                                {},
                                "'{{ v }}.txt': symbolic link is not followed"},
                      PlantCase{"LinkOutOfADirectoryVolume",
                                true,
                                [](auto& base, auto& s) {
                                  std::ofstream(base / "run/vol/a.txt") << "kept";
                                  fs::create_symlink(s, base / "run/vol/leak");
                                },
                                {"a.txt"},
                                "'{{ v }}/leak': symbolic link points outside the volume"},
                      PlantCase{"Fifo",
                                true,
                                [](auto& base, auto&) {
                                  ASSERT_EQ(::mkfifo((base / "run/vol/fifo").c_str(), 0600), 0);
                                  std::ofstream(base / "run/vol/b.txt") << "kept";
                                },
                                {"b.txt"},
                                "'{{ v }}/fifo': [Errno 22] Invalid argument"},
                      PlantCase{"LinkPlantedAtTheDestination",
                                false,
                                [](auto& base, auto& s) {
                                  std::ofstream(base / "run/vol/in.txt") << "kept";
                                  fs::create_directories(base / "logs/C");
                                  fs::create_symlink(s, base / "logs/C/in.txt");
                                },
                                {"in.txt"},
                                nullptr},
                      PlantCase{"LinkedDestinationDirectory",
                                true,
                                [](auto& base, auto&) {
                                  std::ofstream(base / "run/vol/c.txt") << "kept";
                                  fs::create_directories(base / "logs");
                                  fs::create_directory_symlink(base / "elsewhere", base / "logs/C");
                                },
                                {},
                                "'{{ v }}/c.txt': [Errno 20] Not a directory"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(PreserveVolumeTest, EmptyOrMissingVolumesLogNothing) {
  fs::create_directories(tmp.path() / "empty");
  LogCapture capture;
  preserve_volumes({{(tmp.path() / "empty").string(), true, "yes", std::nullopt},
                    {(tmp.path() / "missing").string(), true, "yes", std::nullopt},
                    {(tmp.path() / "missing.txt").string(), false, "yes", std::nullopt}},
                   logs(), "C");
  EXPECT_TRUE(capture.records().empty());
  EXPECT_FALSE(fs::exists(tmp.path() / "logs"));
}

TEST_F(PreserveVolumeTest, UnknownCorrelationIdWithoutOne) {
  tmp.write("vol/f.txt", "f");
  preserve_volumes({{(tmp.path() / "vol").string(), true, "yes", "p"}}, logs(), "");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "unknown" / "p" / "f.txt"), "f");
}

using Entries = std::vector<alias::StreamEntry>;
const Entries kBoth = {{"stderr", "", false}, {"stdout", "", false}};

class PreserveStreamsTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string logs() const { return (tmp.path() / "logs").string(); }
};

TEST_F(PreserveStreamsTest, WritesOnlyNonEmptyStreams) {
  preserve_streams(kBoth, "out\r\n", "", logs(), "C");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "stdout.log"), "out\r\n");
  EXPECT_FALSE(fs::exists(tmp.path() / "logs" / "C" / "stderr.log"));
}

TEST_F(PreserveStreamsTest, FlatLayoutAndCustomNames) {
  preserve_streams({{"stdout", "", true}, {"stderr", "e.txt", false}}, "o", "e", logs(), "C");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C_stdout.log"), "o");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "e.txt"), "e");
}

TEST_F(PreserveStreamsTest, UnknownStreamWritesAndLogsNothing) {
  LogCapture capture;
  preserve_streams({{"stdin", "", false}}, "o", "e", logs(), "C");
  EXPECT_TRUE(capture.records().empty());
  EXPECT_FALSE(fs::exists(tmp.path() / "logs"));
}

TEST_F(PreserveStreamsTest, ReplacesUndecodableBytes) {
  preserve_streams({{"stdout", "", false}},
                   std::string("a\xff"
                               "b"),
                   std::nullopt, logs(), "C");
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "stdout.log"), "a\xEF\xBF\xBD"
                                                                 "b");
}

TEST_F(PreserveStreamsTest, ALinkAtTheDestinationIsReplacedNotWrittenThrough) {
  const fs::path sentinel = tmp.write("sentinel.txt", "host secret");
  fs::create_directories(tmp.path() / "logs" / "C");
  fs::create_symlink(sentinel, tmp.path() / "logs" / "C" / "stdout.log");
  preserve_streams({{"stdout", "", false}}, "out", std::nullopt, logs(), "C");
  EXPECT_EQ(read_file(sentinel), "host secret");
  EXPECT_FALSE(fs::is_symlink(tmp.path() / "logs" / "C" / "stdout.log"));
  EXPECT_EQ(read_file(tmp.path() / "logs" / "C" / "stdout.log"), "out");
}

TEST_F(PreserveStreamsTest, LogsOneLinePerStreamWhenTheDirectoryCannotBeMade) {
  tmp.write("logs", "a file, not a directory");
  LogCapture capture;
  preserve_streams(kBoth, "o", "e", logs(), "C");
  auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_THAT(errors[0], StartsWith("Stream preserve failed: failed to preserve stderr to '" +
                                    logs() + "/C/stderr.log': "));
  EXPECT_THAT(errors[1], StartsWith("Stream preserve failed: failed to preserve stdout to "));
}

}  // namespace
}  // namespace velquin::preserve
