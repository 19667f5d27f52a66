#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "docker/docker.h"
#include "docker/engine.h"
#include "executor/executor.h"
#include "logger/logger.h"
#include "logger/testing.h"
#include "runs.h"
#include "support/temp_dir.h"
#include "support/uuid.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using velquin::testing::containers_of;
using velquin::testing::engine_call;
using velquin::testing::kTestImage;
using velquin::testing::read_file;
using velquin::testing::TempDir;

std::string base64_decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    const auto pos = kAlphabet.find(c);
    if (pos == std::string::npos) {
      continue;  // padding
    }
    buffer = (buffer << 6) | static_cast<unsigned>(pos);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// Name -> content of every entry of a Base64 ZIP archive.
std::map<std::string, std::string> unzip(const std::string& base64) {
  std::map<std::string, std::string> entries;
  const std::string bytes = base64_decode(base64);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* archive = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, &error);
  if (archive == nullptr) {
    ADD_FAILURE() << "not a ZIP archive: " << zip_error_strerror(&error);
    if (source != nullptr) {
      zip_source_free(source);
    }
    zip_error_fini(&error);
    return entries;
  }
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
    std::string content(st.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    zip_fread(file, content.data(), st.size);
    zip_fclose(file);
    entries[st.name] = content;
  }
  zip_close(archive);
  zip_error_fini(&error);
  return entries;
}

using Outcome = RunResult::Outcome;

bool container_exists(const std::string& short_id) {
  for (const std::string& id : containers_of(kTestImage)) {
    if (id.rfind(short_id, 0) == 0) {
      return true;
    }
  }
  return false;
}

// Files below dir whose content is exactly text.
std::vector<fs::path> files_holding(const fs::path& dir, const std::string& text) {
  std::vector<fs::path> found;
  if (!fs::exists(dir)) {
    return found;
  }
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && read_file(entry.path()) == text) {
      found.push_back(entry.path());
    }
  }
  return found;
}

class ContainerRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELQUIN_REQUIRE_DOCKER();
    load_settings("");
    correlation_id_ = support::uuid4();
    logger::set_correlation_id(correlation_id_);
    executor_.set_docker_client_factory(docker::client_from_env);
  }
  void TearDown() override { logger::set_correlation_id(std::nullopt); }

  void load_settings(const std::string& external_dir, const std::string& refresh = "no") {
    external_dir_ = external_dir;
    refresh_ = refresh;
  }

  static json alias(const std::string& command, const json& extra = json::object()) {
    json a = {{"name", "t"}, {"type", "container"}, {"image", kTestImage}};
    if (!command.empty()) {
      a["command"] = command;
    }
    a.update(extra);
    return a;
  }

  RunResult run(const json& alias_cfg, const json& params = json::object()) {
    const auto alias_def = runs::alias_for(alias_cfg, params);
    const auto context = runs::context_for(*alias_def, shared(), logs(), correlation_id_, cap_,
                                           external_dir_, refresh_);
    return detail::execute_container(executor_, *alias_def, params, context);
  }

  fs::path shared() const { return dir_.path() / "shared"; }
  fs::path logs() const { return dir_.path() / "logs"; }
  fs::path run_dir() const { return shared() / correlation_id_; }

  TempDir dir_;
  std::string correlation_id_;
  Executor executor_;
  std::string external_dir_;
  std::string refresh_ = "no";
  std::size_t cap_ = SIZE_MAX;
};

struct CompletedCase {
  const char* name;
  const char* command;
  const char* out;
  const char* err;
  int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CompletedCase& c, std::ostream* os) {
  *os << c.name;
}

class CompletedRunTest : public ContainerRunTest,
                         public ::testing::WithParamInterface<CompletedCase> {};

TEST_P(CompletedRunTest, RecordCarriesStreamsStatusAndIds) {
  const CompletedCase& c = GetParam();
  const RunResult record = run(alias(c.command), {{"who", "it's me"}});
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.returncode, c.status);
  EXPECT_EQ(record.stdout_text, c.out);
  EXPECT_EQ(record.stderr_text, c.err);
  EXPECT_TRUE(record.file_outputs.empty());
  ASSERT_TRUE(record.container_id);
  EXPECT_EQ(record.container_id->size(), 12u);
  EXPECT_EQ(record.image_id.value_or("").size(), 12u);
  EXPECT_FALSE(container_exists(*record.container_id));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CompletedRunTest,
    ::testing::Values(
        CompletedCase{"Echo", "echo hello {{ who | shell }}", "hello it's me\n", "", 0},
        CompletedCase{"QuotedContexts", "echo '<{{ who | shell }}>' \"{{ who }}\"",
                      "<it's me> it's me\n", "", 0},
        CompletedCase{"StreamsApartAndFailingStatus",
                      "sh -c 'echo out; echo err >&2; printf \"\\r\\n\\377\"; exit 1'",
                      "out\n\r\n\xEF\xBF\xBD", "err\n", 1},
        CompletedCase{"ImageDefaultCommand", "", "", "", 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ContainerRunTest, DebugLineShowsTheCommandTemplateNotParameterValues) {
  logger::LogCapture capture;
  run(alias("echo {{ who }}"), {{"who", "s3cr3t"}});
  run(alias(""));
  EXPECT_TRUE(capture.contains(
      logger::Level::debug,
      "Running container: image='velquin-test/busybox:latest' cmd='echo {{ who }}'"));
  EXPECT_TRUE(capture.contains(logger::Level::debug,
                               "Running container: image='velquin-test/busybox:latest' cmd=None"));
  for (const auto& [level, message] : capture.records()) {
    EXPECT_EQ(message.find("s3cr3t"), std::string::npos) << message;
  }
}

struct TimeoutCase {
  const char* name;
  json timeout;
  const char* message;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) {
  *os << c.name;
}

class TimedOutRunTest : public ContainerRunTest,
                        public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimedOutRunTest, IsKilledRemovedAndItsStreamsPreserved) {
  const json a = alias("sh -c 'echo before; echo oops >&2; sleep 60'",
                       {{"timeout", GetParam().timeout}, {"preserveStreams", true}});
  const RunResult record = run(a);
  ASSERT_EQ(record.outcome, Outcome::timed_out) << record.error;
  EXPECT_FALSE(record.returncode);
  EXPECT_EQ(record.error, GetParam().message);
  ASSERT_TRUE(record.container_id);
  EXPECT_FALSE(container_exists(*record.container_id));
  // What the container wrote before the kill is still preserved.
  EXPECT_EQ(files_holding(logs(), "before\n").size(), 1u);
  EXPECT_EQ(files_holding(logs(), "oops\n").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TimedOutRunTest,
    ::testing::Values(TimeoutCase{"Integer", 2, "Container timed out after 2 seconds"},
                      TimeoutCase{"Decimal", 1.5, "Container timed out after 1.5 seconds"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// An engine whose failures the test chooses. wait() blocks until the
// container is killed or removed, like the real one.
class FakeEngine : public docker::DockerClient {
 public:
  bool exits_at_once = true;
  bool fail_start = false;
  bool fail_kill = false;
  bool image_missing = false;  // until a pull
  double pull_seconds = 0;

  void ping() override {}
  std::string create(const docker::RunSpec&) override {
    note("create");
    std::lock_guard lock(mutex_);
    if (image_missing) {
      throw docker::ImageNotFound("No such image: fake");
    }
    return "f00dfeedcafe0123456789";
  }
  void start(const std::string&) override {
    note("start");
    if (fail_start) {
      throw docker::DockerError("start refused");
    }
  }
  std::string inspect_image(const std::string&) override { return "sha256:abcdef0123456789"; }
  std::optional<std::int64_t> wait(const std::string&) override {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return exits_at_once || is_stopped_; });
    return std::nullopt;  // no StatusCode in the exit information
  }
  std::string logs(const std::string&, bool out) override { return out ? "o" : "e"; }
  void kill(const std::string&) override {
    note("kill");
    if (fail_kill) {
      throw docker::DockerError("kill refused");
    }
    stop();
  }
  void remove(const std::string&) override {
    note("remove");
    stop();
  }
  void pull(const std::string&, double) override {
    note("pull");
    std::this_thread::sleep_for(std::chrono::duration<double>(pull_seconds));
    std::lock_guard lock(mutex_);
    image_missing = false;
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void note(const char* call) {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(call);
  }
  void stop() {
    std::lock_guard lock(mutex_);
    is_stopped_ = true;
    stopped_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool is_stopped_ = false;         // guarded by mutex_
  std::vector<std::string> calls_;  // guarded by mutex_
};

class FakeEngineTest : public ContainerRunTest {
 protected:
  void SetUp() override {
    load_settings("");
    logger::set_correlation_id(correlation_id_ = support::uuid4());
    executor_.set_docker_client_factory([this] { return engine_; });
  }
  std::shared_ptr<FakeEngine> engine_ = std::make_shared<FakeEngine>();
};

TEST_F(FakeEngineTest, ExitWithoutStatusCodeCountsAsZero) {
  const RunResult record = run(alias("true"));
  EXPECT_EQ(record.outcome, Outcome::completed);
  EXPECT_EQ(record.returncode, 0);
  EXPECT_EQ(record.container_id, "f00dfeedcafe");
  EXPECT_EQ(record.image_id, "abcdef012345");
  EXPECT_EQ(engine_->calls(), (std::vector<std::string>{"create", "start", "remove"}));
}

TEST_F(FakeEngineTest, ContainerThatFailsToStartIsStillRemoved) {
  engine_->fail_start = true;
  const RunResult record = run(alias("true"));
  EXPECT_EQ(record.outcome, Outcome::failed);
  EXPECT_EQ(record.error, "start refused");
  EXPECT_FALSE(record.container_id);
  EXPECT_FALSE(record.image_id);
  EXPECT_EQ(engine_->calls(), (std::vector<std::string>{"create", "start", "remove"}));
}

TEST_F(FakeEngineTest, FailedKillAtTimeOutFallsBackToRemoval) {
  // Without the removal the wait, and so the request, would never end.
  engine_->exits_at_once = false;
  engine_->fail_kill = true;
  const RunResult record = run(alias("sleep 60", {{"timeout", 0.2}}));
  EXPECT_EQ(record.error, "Container timed out after 0.2 seconds");
  const auto calls = engine_->calls();
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
            (std::vector<std::string>{"create", "start", "kill", "remove"}));
}

TEST_F(FakeEngineTest, ImageMissingLocallyIsPulledThenCreated) {
  engine_->image_missing = true;
  const RunResult record = run(alias("true"));
  EXPECT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(engine_->calls(),
            (std::vector<std::string>{"create", "pull", "create", "start", "remove"}));
}

TEST_F(FakeEngineTest, RefreshLongerThanTheLimitLeavesNoTimeToRun) {
  load_settings("", "always");
  engine_->exits_at_once = false;
  engine_->pull_seconds = 1.2;
  const RunResult record = run(alias("true", {{"timeout", 1}}));
  EXPECT_EQ(record.error, "Container timed out after 1 seconds");
  EXPECT_EQ(engine_->calls(),
            (std::vector<std::string>{"pull", "create", "start", "kill", "remove"}));
}

TEST_F(ContainerRunTest, MissingImageGivesTheImageNotFoundRecord) {
  json a = alias("echo x", {{"image", "127.0.0.1:5000/velquin-test/never-pushed:latest"},
                            {"output", {{"single_value", {{"source", "out.txt"}}}}}});
  const RunResult record = run(a);
  EXPECT_EQ(record.outcome, Outcome::failed);
  EXPECT_EQ(record.error.rfind("Container image not found: ", 0), 0u) << record.error;
  EXPECT_FALSE(record.container_id);
  EXPECT_FALSE(record.image_id);
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ContainerRunTest, ImageMissingLocallyIsPulledOnce) {
  // A name no other test uses, since tests run in parallel.
  const std::string image = "127.0.0.1:5000/velquin-test/busybox:pull-on-create";
  json a = alias("echo pulled", {{"image", image}});
  // Untag locally (the registry keeps it); the run must fetch it again.
  engine_call("DELETE", "/images/" + image);
  ASSERT_NE(engine_call("GET", "/images/" + image + "/json").find("No such image"),
            std::string::npos);
  const RunResult record = run(a);
  EXPECT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.stdout_text, "pulled\n");
}

TEST_F(ContainerRunTest, UnreachableEngineGivesTheUnavailableRecordAndNoRunDirectory) {
  executor_.set_docker_client_factory(
      []() -> std::shared_ptr<docker::DockerClient> { throw docker::DockerError("engine gone"); });
  const RunResult record =
      run(alias("echo x", {{"output", {{"single_value", {{"source", "out.txt"}}}}}}));
  EXPECT_EQ(record.outcome, Outcome::failed);
  EXPECT_EQ(record.error, "Docker not available: engine gone");
  EXPECT_FALSE(record.container_id);
  EXPECT_FALSE(record.image_id);
  EXPECT_FALSE(fs::exists(run_dir()));
}

struct FailureCase {
  const char* name;
  json alias_extra;
  const char* error_start;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class FailedRunTest : public ContainerRunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedRunTest, GivesTheFailedRecordAndCleansUp) {
  json a = alias("", GetParam().alias_extra);
  a["output"] = {{"single_value", {{"source", "out.txt"}}}};
  const RunResult record = run(a, {{"name", "../../a-client-value"}});
  EXPECT_EQ(record.outcome, Outcome::failed);
  EXPECT_FALSE(record.returncode);
  EXPECT_EQ(record.error.rfind(GetParam().error_start, 0), 0u) << record.error;
  EXPECT_EQ(record.error.find("a-client-value"), std::string::npos)
      << "the client's value in the error: " << record.error;
  EXPECT_FALSE(fs::exists(run_dir()));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRunTest,
    ::testing::Values(
        FailureCase{"UnbalancedQuote", {{"command", "echo 'open"}}, "Cannot split command"},
        FailureCase{"VolumeEscape",
                    {{"volumes", json::parse(R"([{"source": "{{ name }}", "location": "/x"}])")}},
                    "path escapes the run directory: "},
        // The engine's own message would name the program it could not start.
        FailureCase{"EngineErrorNamingTheValue", {{"command", "{{ name }}"}}, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ContainerRunTest, EveryKindOfVolume) {
  const fs::path host_ro = dir_.path() / "host-ro";
  fs::create_directories(host_ro);
  std::ofstream(host_ro / "data") << "abs";
  json a = alias("sh -c 'cat /auto.txt /in.txt /abs/data; "
                 "(echo x > /abs/y) 2>/dev/null || echo -n \" abs-ro\"; "
                 "(echo x > /in.txt) 2>/dev/null || echo -n \" in-ro\"; "
                 "mkdir -p /out/sub; echo result > /out/sub/r.txt; echo top > /out/top.txt'",
                 {{"volumes",
                   {{{"location", "/auto.txt"}, {"content", "auto-{{ name }}|"}},
                    {{"source", "in/{{ name }}.txt"},
                     {"location", "/in.txt"},
                     {"content", "in-{{ name }}|"},
                     {"mode", "ro"}},
                    {{"source", "out/"}, {"location", "/out"}},
                    {{"source", host_ro.string()}, {"location", "/abs"}}}},
                  {"output",
                   {{"multiple_values",
                     {{{"parameter_name", "a"}, {"source", "out/"}},
                      {{"parameter_name", "b"}, {"source", "out/sub/r.txt"}}}}}}});
  const RunResult record = run(a, {{"name", "n1"}});
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.stdout_text, "auto-n1|in-n1|abs abs-ro in-ro");
  EXPECT_EQ(record.file_outputs.at("out/sub/r.txt"), "result\n");
  EXPECT_EQ(unzip(record.file_outputs.at("out/")),
            (std::map<std::string, std::string>{{"sub/r.txt", "result\n"}, {"top.txt", "top\n"}}));
  EXPECT_FALSE(fs::exists(host_ro / "y"));
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ContainerRunTest, MarkedVolumesArePreservedUnderTheCorrelationId) {
  json a = alias("sh -c 'echo kept-content > /out/k.txt; echo not-kept > /tmp2/n.txt'",
                 {{"volumes",
                   {{{"source", "out/"}, {"location", "/out"}, {"preserve", "yes"}},
                    {{"source", "tmp2/"}, {"location", "/tmp2"}}}}});
  const RunResult record = run(a);
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  const auto kept = files_holding(logs(), "kept-content\n");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_NE(kept[0].string().find(correlation_id_), std::string::npos) << kept[0];
  EXPECT_TRUE(files_holding(logs(), "not-kept\n").empty());
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ContainerRunTest, ExternalDirIsWhatTheEngineBinds) {
  // The engine sees the shared directory under another name: only the
  // translated path leads to the files the service wrote.
  const fs::path host_view = dir_.path() / "host-view";
  fs::create_directories(shared());
  fs::create_directory_symlink(shared(), host_view);
  load_settings(host_view.string());
  json a =
      alias("cat /cfg", {{"volumes", {{{"location", "/cfg"}, {"content", "through-external"}}}}});
  const RunResult record = run(a);
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.stdout_text, "through-external");
}

TEST_F(ContainerRunTest, PlantedLinkToAHostFileIsNotReadAsOutput) {
  const fs::path sentinel = dir_.write("sentinel.txt", "host secret\n");
  json a = alias("sh -c 'ln -s " + sentinel.string() + " /out/leak.txt; ln -s " +
                     dir_.path().string() + " /out/dir; echo ok > /out/ok.txt'",
                 {{"volumes", {{{"source", "out/"}, {"location", "/out"}, {"preserve", "yes"}}}},
                  {"output",
                   {{"multiple_values",
                     {{{"parameter_name", "a"}, {"source", "out/leak.txt"}},
                      {{"parameter_name", "b"}, {"source", "out/"}}}}}}});
  const RunResult record = run(a);
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.file_outputs.at("out/leak.txt"), "");
  EXPECT_EQ(unzip(record.file_outputs.at("out/")),
            (std::map<std::string, std::string>{{"ok.txt", "ok\n"}}));
  EXPECT_TRUE(files_holding(logs(), "host secret\n").empty());
  EXPECT_EQ(read_file(sentinel), "host secret\n");
}

// The command swaps a preserved single-file volume for a link to a host
// file, through a directory volume that holds its name.
TEST_F(ContainerRunTest, PreservedFileSwappedForALinkIsNotCopied) {
  const fs::path sentinel = dir_.write("sentinel.txt", "host secret\n");
  logger::LogCapture capture;
  json a = alias("sh -c 'rm /work/in.txt && ln -s " + sentinel.string() + " /work/in.txt'",
                 {{"volumes",
                   {{{"source", "work/"}, {"location", "/work"}},
                    {{"source", "work/in.txt"},
                     {"location", "/in.txt"},
                     {"content", "input"},
                     {"preserve", "yes"}}}}});
  const RunResult record = run(a);
  ASSERT_EQ(record.outcome, Outcome::completed) << record.error;
  EXPECT_EQ(record.returncode, 0) << record.error;
  EXPECT_TRUE(files_holding(logs(), "host secret\n").empty());
  EXPECT_THAT(capture.messages(logger::Level::error),
              ::testing::ElementsAre(::testing::EndsWith(": symbolic link is not followed")));
  EXPECT_EQ(read_file(sentinel), "host secret\n");
}

// stderr takes the same path through the client, which has its own test.
TEST_F(ContainerRunTest, StdoutOverTheCapFailsRemovesAndPreservesNoMoreThanTheCap) {
  cap_ = 1024;
  logger::LogCapture capture;
  const RunResult record =
      run(alias("sh -c 'head -c 5000 /dev/zero'", {{"preserveStreams", true}}));
  const std::string error = "stdout exceeded MaxOutputSize (1024 bytes)";
  EXPECT_EQ(record.error, error);
  EXPECT_THAT(capture.messages(logger::Level::error),
              ::testing::ElementsAre("Container execution error: " + error));
  ASSERT_TRUE(record.container_id);
  EXPECT_FALSE(container_exists(*record.container_id));
  EXPECT_EQ(fs::file_size(logs() / correlation_id_ / "stdout.log"), 1024u);
}

}  // namespace
}  // namespace velquin::executor
