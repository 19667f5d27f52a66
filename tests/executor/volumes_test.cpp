#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>

#include "executor/executor.h"
#include "executor/volumes.h"
#include "runs.h"
#include "scratch/scratch.h"
#include "support/temp_dir.h"
#include "template/template.h"

namespace velquin::executor::detail {
namespace {

namespace fs = std::filesystem;
using velquin::testing::read_file;
using velquin::testing::TempDir;

struct HostPathCase {
  const char* name;
  const char* local;
  const char* shared;
  const char* external;
  const char* expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const HostPathCase& c, std::ostream* os) {
  *os << c.name;
}

class ToHostPathTest : public ::testing::TestWithParam<HostPathCase> {};

TEST_P(ToHostPathTest, TranslatesBelowTheSharedDirectory) {
  const HostPathCase& c = GetParam();
  EXPECT_EQ(to_host_path(c.local, c.shared, c.external), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ToHostPathTest,
    ::testing::Values(HostPathCase{"NoExternalDirKeepsPath", "/tmp/velquin/r/auto/f",
                                   "/tmp/velquin/", "", "/tmp/velquin/r/auto/f"},
                      HostPathCase{"SharedWithTrailingSlash", "/tmp/velquin/r/auto/f",
                                   "/tmp/velquin/", "/host/shared", "/host/shared/r/auto/f"},
                      HostPathCase{"SharedWithoutTrailingSlash", "/tmp/velquin/r/in.txt",
                                   "/tmp/velquin", "/host/shared/", "/host/shared/r/in.txt"},
                      HostPathCase{"DirectoryWithTrailingSlash", "/tmp/velquin/r/out/",
                                   "/tmp/velquin", "/host", "/host/r/out"},
                      HostPathCase{"DotSegmentsAreNormalised", "/tmp/velquin/r/./a/../b",
                                   "/tmp//velquin", "/host", "/host/r/b"},
                      HostPathCase{"OutsideSharedClimbsOut", "/srv/data/f", "/tmp/velquin",
                                   "/host/shared", "/host/shared/../../srv/data/f"},
                      HostPathCase{"SharedItselfIsExternal", "/tmp/velquin", "/tmp/velquin/",
                                   "/host/shared", "/host/shared"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class BuildVolumesTest : public ::testing::Test {
 protected:
  BuildVolumesTest() : shared_(dir_.path() / "shared"), run_dir_((shared_ / "run-1").string()) {
    fs::create_directories(fs::path(run_dir_) / "auto");
  }

  VolumeSetup build(const json& volumes, const json& params = json::object(),
                    const std::string& external = "") {
    const auto alias =
        runs::alias_for({{"type", "container"}, {"image", "img"}, {"volumes", volumes}}, params);
    return build_volumes(*alias->container(), params, run_dir_, shared_.string(), external);
  }

  TempDir dir_;
  fs::path shared_;
  std::string run_dir_;
};

TEST_F(BuildVolumesTest, AutomaticVolumeGetsAFreshFileWithRenderedContent) {
  const VolumeSetup first = build(json::parse(R"([{"location": "/cfg", "content": "hello {{ who }}",
                                                  "mode": "ro"}])"),
                                  {{"who", "world"}});
  ASSERT_EQ(first.bindings.size(), 1u);
  const docker::Bind& bind = first.bindings[0];
  const fs::path file(bind.host_path);
  EXPECT_EQ(file.parent_path(), fs::path(run_dir_) / "auto");
  EXPECT_EQ(file.filename().string().size(), 32u);
  EXPECT_EQ(file.filename().string().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(read_file(file), "hello world");
  EXPECT_EQ(bind.container_path, "/cfg");
  EXPECT_EQ(bind.mode, "rw");  // automatic volumes ignore mode
  EXPECT_TRUE(first.preserve_specs.empty());

  // Every build gets its own file.
  const VolumeSetup second = build(json::parse(R"([{"location": "/cfg"}])"));
  EXPECT_NE(second.bindings[0].host_path, bind.host_path);
  EXPECT_EQ(read_file(second.bindings[0].host_path), "");
}

TEST_F(BuildVolumesTest, ExternalDirTranslatesOnlyRunDirectoryPaths) {
  const VolumeSetup setup =
      build(json::parse(R"([{"location": "/a"}, {"source": "in.txt", "location": "/in"},
                            {"source": "/etc/ssl/certs", "location": "/certs"}])"),
            json::object(), "/host/shared");
  ASSERT_EQ(setup.bindings.size(), 3u);
  EXPECT_EQ(setup.bindings[0].host_path.rfind("/host/shared/run-1/auto/", 0), 0u)
      << setup.bindings[0].host_path;
  EXPECT_EQ(setup.bindings[1].host_path, "/host/shared/run-1/in.txt");
  EXPECT_EQ(setup.bindings[2].host_path, "/etc/ssl/certs");
  // The files themselves are written in the service's own view.
  EXPECT_TRUE(fs::exists(fs::path(run_dir_) / "in.txt"));
}

TEST_F(BuildVolumesTest, AbsoluteSourceIsReadOnlyUnrenderedAndNeverPreserved) {
  const VolumeSetup setup = build(json::parse(R"([
      {"source": "/etc/{{ x }}", "location": "/first", "mode": "rw", "preserve": "yes"},
      {"source": "/etc/{{ x }}", "location": "/second", "mode": "rw", "preserve": true}])"));
  ASSERT_EQ(setup.bindings.size(), 1u);
  EXPECT_EQ(setup.bindings[0].host_path, "/etc/{{ x }}");
  EXPECT_EQ(setup.bindings[0].container_path, "/second");
  EXPECT_EQ(setup.bindings[0].mode, "ro");
  EXPECT_TRUE(setup.preserve_specs.empty());
  EXPECT_FALSE(fs::exists(fs::path(run_dir_) / "etc"));
}

TEST_F(BuildVolumesTest, RunDirectoryVolumesAreCreatedBoundAndPreserved) {
  const VolumeSetup setup = build(json::parse(R"([
      {"source": "out/{{ job }}/", "location": "/out", "preserve": "flatten", "preservePrefix": "p-"},
      {"source": "in/{{ job }}.txt", "location": "/in.txt", "content": "id={{ job }}", "mode": "ro",
       "preserve": "yes"},
      {"source": "plain.txt", "location": "/plain", "mode": "", "preserve": "none"}])"),
                                  {{"job", "j7"}});
  ASSERT_EQ(setup.bindings.size(), 3u);
  const fs::path run(run_dir_);
  EXPECT_TRUE(fs::is_directory(run / "out" / "j7"));
  EXPECT_EQ(setup.bindings[0].mode, "rw");
  EXPECT_EQ(read_file(run / "in" / "j7.txt"), "id=j7");
  EXPECT_EQ(setup.bindings[1].host_path, (run / "in" / "j7.txt").string());
  EXPECT_EQ(setup.bindings[1].mode, "ro");
  EXPECT_EQ(setup.bindings[2].mode, "rw");  // empty mode means rw

  ASSERT_EQ(setup.preserve_specs.size(), 2u);
  EXPECT_TRUE(setup.preserve_specs[0].is_dir);
  EXPECT_EQ(setup.preserve_specs[0].preserve_mode, "flatten");
  EXPECT_EQ(setup.preserve_specs[0].prefix, "p-");
  EXPECT_EQ(fs::path(setup.preserve_specs[0].local_path).lexically_normal(),
            run / "out" / "j7" / "");
  EXPECT_FALSE(setup.preserve_specs[1].is_dir);
  EXPECT_EQ(setup.preserve_specs[1].local_path, (run / "in" / "j7.txt").string());
  EXPECT_EQ(setup.preserve_specs[1].prefix, std::nullopt);
}

// Every value aims at a sentinel in the test's own directory, which must stay
// as it was; the error names the template, not the value.
TEST_F(BuildVolumesTest, ParameterCannotLeadASourceOutOfTheRunDirectory) {
  const fs::path sentinel = dir_.write("sentinel.txt", "untouched");
  for (const std::string& value : {std::string("../../sentinel.txt"),
                                   std::string("../run-1/../../sentinel.txt"), sentinel.string()}) {
    try {
      build(json::parse(R"([{"source": "{{ name }}", "location": "/x"}])"), {{"name", value}});
      ADD_FAILURE() << "expected PathEscape for " << value;
    } catch (const scratch::PathEscape& e) {
      EXPECT_EQ(std::string(e.what()), "path escapes the run directory: '{{ name }}'");
    }
  }
  EXPECT_EQ(read_file(sentinel), "untouched");
}

TEST_F(BuildVolumesTest, FailuresRaise) {
  // A render error in content, and a volume that needs a run directory without one.
  EXPECT_THROW(build(json::parse(R"([{"location": "/x", "content": "{{ v | shell }}"}])"),
                     {{"v", std::string("a\0b", 3)}}),
               tmpl::RenderError);
  const auto alias = runs::alias_for({{"type", "container"},
                                      {"image", "img"},
                                      {"volumes", json::parse(R"([{"location": "/x"}])")}});
  EXPECT_ANY_THROW(
      build_volumes(*alias->container(), json::object(), std::nullopt, shared_.string(), ""));
}

TEST(WriteVolumeFile, CreatesParentsAndTruncates) {
  TempDir dir;
  const fs::path file = dir.path() / "a" / "b" / "f.txt";
  write_volume_file(file.string(), tmpl::Template("first, longer content"), json::object());
  write_volume_file(file.string(), tmpl::Template("v={{ v }}"), {{"v", 2}});
  EXPECT_EQ(read_file(file), "v=2");
  write_volume_file(file.string(), tmpl::Template(), json::object());
  EXPECT_EQ(read_file(file), "");
}

TEST(WriteVolumeFile, DoesNotWriteThroughASymlink) {
  TempDir dir;
  const fs::path target = dir.write("outside.txt", "keep");
  const fs::path link = dir.path() / "run" / "in.txt";
  fs::create_directories(link.parent_path());
  fs::create_symlink(target, link);
  EXPECT_THROW(write_volume_file(link.string(), tmpl::Template("overwritten"), json::object()),
               std::system_error);
  EXPECT_EQ(read_file(target), "keep");
}

}  // namespace
}  // namespace velquin::executor::detail
