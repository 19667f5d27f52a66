#include "scratch/scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "logger/testing.h"
#include "support/aliases.h"
#include "support/temp_dir.h"

namespace velquin::scratch {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using testing::make_alias;
using testing::TempDir;

alias::AliasPtr process_alias() {
  return make_alias(json{{"type", "process"}, {"command", "ls"}});
}

struct NeedsCase {
  const char* name;
  const char* definition;  // JSON
  bool run_dir;
  bool external_dir;
  bool auto_dir;
};

class NeedsTest : public ::testing::TestWithParam<NeedsCase> {};

TEST_P(NeedsTest, DecidesFromTheDefinition) {
  const auto& c = GetParam();
  const auto def = make_alias(json::parse(c.definition));
  EXPECT_EQ(needs_run_dir(*def), c.run_dir);
  EXPECT_EQ(needs_external_dir(*def), c.external_dir);
  EXPECT_EQ(needs_auto_dir(*def), c.auto_dir);
}

INSTANTIATE_TEST_SUITE_P(
    Definitions, NeedsTest,
    ::testing::Values(
        NeedsCase{"process_plain", R"({"type":"process","command":"echo"})", false, false, false},
        NeedsCase{"process_files",
                  R"({"type":"process","command":"ls","files":[{"location":"a"}]})", true, false,
                  false},
        NeedsCase{"process_empty_files", R"({"type":"process","command":"ls","files":[]})", false,
                  false, false},
        NeedsCase{
            "process_stdout_only",
            R"({"type":"process","command":"ls","output":{"single_value":{"source":"%stdOut"}}})",
            false, false, false},
        NeedsCase{
            "process_percent_tokens",
            R"({"type":"process","command":"ls","output":{"multiple_values":[{"parameter_name":"a","source":"%exitCode"},{"parameter_name":"b","source":"%custom"}]}})",
            false, false, false},
        NeedsCase{
            "process_file_output",
            R"({"type":"process","command":"ls","output":{"single_value":{"source":"report.txt"}}})",
            true, false, false},
        NeedsCase{
            "process_multiple_file_output",
            R"({"type":"process","command":"ls","output":{"multiple_values":[{"parameter_name":"a"},{"parameter_name":"b","source":"y.txt"}]}})",
            true, false, false},
        NeedsCase{
            "container_absolute_volumes",
            R"({"type":"container","image":"i","volumes":[{"source":"/data","location":"/d"}]})",
            false, false, false},
        NeedsCase{
            "container_absolute_with_output",
            R"({"type":"container","image":"i","volumes":[{"source":"/data","location":"/d"}],"output":{"single_value":{"source":"o.txt"}}})",
            true, false, false},
        NeedsCase{
            "container_relative_volume",
            R"({"type":"container","image":"i","volumes":[{"source":"work/","location":"/w"}]})",
            true, true, false},
        NeedsCase{"container_sourceless_volume",
                  R"({"type":"container","image":"i","volumes":[{"location":"/w","content":"x"}]})",
                  true, true, true},
        NeedsCase{"container_null_source",
                  R"({"type":"container","image":"i","volumes":[{"source":null,"location":"/w"}]})",
                  true, true, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(CreateTest, NamesTheRunDirectoryAfterTheCorrelationId) {
  TempDir tmp;
  const std::string shared = tmp.str() + "/shared/";
  RunInfo info = create(shared, *process_alias(), "abc123");
  EXPECT_EQ(info.run_dir, tmp.str() + "/shared/abc123");
  EXPECT_TRUE(fs::is_directory(info.run_dir));
  EXPECT_FALSE(info.auto_dir.has_value());
  // An existing directory is reused.
  EXPECT_EQ(create(shared, *process_alias(), "abc123").run_dir, info.run_dir);
}

TEST(CreateTest, UsesAFreshUuidWithoutCorrelationId) {
  TempDir tmp;
  RunInfo a = create(tmp.str(), *process_alias());
  RunInfo b = create(tmp.str(), *process_alias());
  const std::string name = fs::path(a.run_dir).filename().string();
  EXPECT_EQ(name.size(), 36u);
  EXPECT_EQ(name[14], '4');
  EXPECT_NE(a.run_dir, b.run_dir);
}

TEST(CreateTest, AddsTheAutoDirectoryOnlyForSourcelessVolumes) {
  TempDir tmp;
  const auto with_auto =
      make_alias(json::parse(R"({"type":"container","image":"i","volumes":[{"location":"/x"}]})"));
  const auto relative = make_alias(json::parse(
      R"({"type":"container","image":"i","volumes":[{"source":"w/","location":"/w"}]})"));
  RunInfo a = create(tmp.str(), *with_auto, "one");
  ASSERT_TRUE(a.auto_dir.has_value());
  EXPECT_EQ(*a.auto_dir, tmp.str() + "/one/auto");
  EXPECT_TRUE(fs::is_directory(*a.auto_dir));
  RunInfo b = create(tmp.str(), *relative, "two");
  EXPECT_FALSE(b.auto_dir.has_value());
  EXPECT_FALSE(fs::exists(tmp.path() / "two" / "auto"));
}

TEST(CreateTest, LetsCreationFailuresThrough) {
  TempDir tmp;
  tmp.write("blocker", "a file where a directory should be");
  EXPECT_THROW(create(tmp.str() + "/blocker", *process_alias(), "x"), std::system_error);
}

TEST(CleanupTest, RemovesReadOnlyTreesWithoutFollowingLinks) {
  TempDir tmp;
  const fs::path run = tmp.path() / "run";
  tmp.write("run/a/b/c.txt", "x");
  tmp.write("outside/keep.txt", "keep");
  fs::create_directory_symlink(tmp.path() / "outside", run / "link");
  ::chmod((run / "a" / "b").c_str(), 0500);
  ::chmod((run / "a").c_str(), 0500);
  cleanup(run.string());
  EXPECT_FALSE(fs::exists(run));
  EXPECT_TRUE(fs::exists(tmp.path() / "outside" / "keep.txt"));
}

TEST(CleanupTest, RemovesTreesDeeperThanItDescends) {
  TempDir tmp;
  fs::path deep = tmp.path() / "run";
  for (int i = 0; i < 80; ++i) {  // past the depth it descends to
    deep /= "d";
  }
  fs::create_directories(deep);
  tmp.write("run/d/f.txt", "x");
  cleanup((tmp.path() / "run").string());
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(AbandonedTest, RemovesOnlyRunDirectoriesThatNoRunHolds) {
  TempDir tmp;
  const std::string shared = tmp.str() + "/shared";
  const fs::path sentinel = tmp.write("outside/sentinel", "unchanged");
  const std::string dead = "0d7b3c2e-4f1a-4b6e-9c8d-7e6f5a4b3c2d";
  tmp.write("shared/" + dead + "/a/b.txt", "x");
  fs::create_directory_symlink(sentinel.parent_path(), tmp.path() / "shared" / dead / "link");
  tmp.write("shared/not-a-run-id/x", "x");
  RunInfo live = create(shared, *process_alias());

  EXPECT_EQ(remove_abandoned(shared), 1u);
  EXPECT_FALSE(fs::exists(tmp.path() / "shared" / dead));
  EXPECT_TRUE(fs::exists(live.run_dir));
  EXPECT_TRUE(fs::exists(tmp.path() / "shared" / "not-a-run-id"));
  EXPECT_EQ(testing::read_file(sentinel), "unchanged");
  live.lock.reset();  // the run is over
  EXPECT_EQ(remove_abandoned(shared), 1u);
  EXPECT_EQ(remove_abandoned(tmp.str() + "/missing"), 0u);
}

TEST(HandOverTest, GivesTheTreeToTheUserWithoutFollowingLinks) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "changing owners needs root";
  }
  TempDir tmp;
  const fs::path sentinel = tmp.write("outside/sentinel", "x");
  tmp.write("run/in/data.txt", "x");
  fs::create_symlink(sentinel, tmp.path() / "run" / "in" / "link");
  hand_over((tmp.path() / "run").string(), 65534, 65534);
  for (const char* path : {"run", "run/in", "run/in/data.txt", "run/in/link"}) {
    struct stat st {};
    ASSERT_EQ(::lstat((tmp.path() / path).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u) << path;
  }
  struct stat st {};
  ASSERT_EQ(::stat(sentinel.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(CleanupTest, IgnoresMissingAndEmptyPathsSilently) {
  logger::LogCapture capture;
  TempDir tmp;
  cleanup((tmp.path() / "missing").string());
  cleanup("");
  EXPECT_TRUE(capture.records().empty());
}

struct JoinCase {
  const char* name;
  const char* rendered;
  bool from_parameter;
  const char* expected;  // relative to the run dir, or absolute; nullptr: escapes
};

class JoinRunPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinRunPathTest, KeepsParameterPathsInside) {
  const auto& c = GetParam();
  const std::string run = "/srv/shared/abc";
  if (c.expected == nullptr) {
    try {
      join_run_path(run, c.rendered, c.from_parameter, "{{ p }}");
      FAIL() << "expected PathEscape for " << c.rendered;
    } catch (const PathEscape& e) {
      // The template, never the rendered value, which may be a client's secret.
      EXPECT_EQ(std::string(e.what()), "path escapes the run directory: '{{ p }}'");
    }
    return;
  }
  const std::string want = c.expected[0] == '/' ? c.expected : run + "/" + c.expected;
  EXPECT_EQ(join_run_path(run, c.rendered, c.from_parameter), want);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, JoinRunPathTest,
    ::testing::Values(JoinCase{"plain", "in/data.txt", true, "in/data.txt"},
                      JoinCase{"dot_segments_inside", "in/../x.txt", true, "x.txt"},
                      JoinCase{"parent", "../x.txt", true, nullptr},
                      JoinCase{"deep_parent", "a/b/../../../x", true, nullptr},
                      JoinCase{"absolute_param", "/etc/passwd", true, nullptr},
                      JoinCase{"sibling_prefix", "../abcd/x", true, nullptr},
                      JoinCase{"absolute_inside", "/srv/shared/abc/y", true, "/srv/shared/abc/y"},
                      JoinCase{"literal_absolute", "/etc/velquin/x", false, "/etc/velquin/x"},
                      JoinCase{"literal_parent", "../x", false, "../x"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace velquin::scratch
