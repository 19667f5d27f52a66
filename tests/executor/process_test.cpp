// Process aliases run for real: sh, pipes, process groups, time limits.

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "executor/executor.h"
#include "logger/logger.h"
#include "logger/testing.h"
#include "runs.h"
#include "support/temp_dir.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using logger::Level;
using logger::LogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::read_file;
using ::testing::StartsWith;
using testing::TempDir;

using Outcome = RunResult::Outcome;

std::vector<std::string> keys_of(const FileOutputs& outputs) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : outputs) {
    keys.push_back(key);
  }
  return keys;
}

int open_fd_count() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Members of a process group that are still running (zombies waiting for
// init to reap them do not count).
int live_group_members(pid_t pgid) {
  int live = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = read_file(entry.path() / "stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    char state = 0;
    int ppid = 0;
    int pgrp = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
        pgrp == pgid && state != 'Z' && state != 'X') {
      ++live;
    }
  }
  return live;
}

// SIGKILL takes effect asynchronously; allow the kernel a moment.
bool group_gone(pid_t pgid) {
  for (int i = 0; i < 100; ++i) {
    if (live_group_members(pgid) == 0) {
      return true;
    }
    ::usleep(50 * 1000);
  }
  return false;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { logger::set_correlation_id(cid); }
  void TearDown() override { logger::set_correlation_id(std::nullopt); }

  fs::path shared() const { return tmp.path() / "shared"; }
  fs::path logs() const { return tmp.path() / "logs"; }
  fs::path run_dir() const { return shared() / cid; }

  RunResult run(json def, const json& params = json::object()) {
    def["type"] = "process";
    const auto alias_def = runs::alias_for(std::move(def), params);
    return detail::execute_process(*alias_def, params,
                                   runs::context_for(*alias_def, shared(), logs(), cid, cap));
  }

  bool shared_is_empty() const { return fs::is_empty(shared()); }

  TempDir tmp;
  const std::string cid = "5b0e8a4c-9c59-4d0e-8f3c-2f7e1c8f0a11";
  std::size_t cap = SIZE_MAX;
};

TEST_F(ProcessTest, CompletedRecordCarriesStatusAndOutput) {
  RunResult r = run({{"command", "echo out; echo err >&2; exit 3"}});
  EXPECT_EQ(r.outcome, Outcome::completed);
  EXPECT_EQ(r.returncode, 3);
  EXPECT_GT(*r.pid, 0);
  EXPECT_EQ(r.stdout_text, "out\n");
  EXPECT_EQ(r.stderr_text, "err\n");
  EXPECT_TRUE(r.file_outputs.empty());
}

struct StatusCase {
  const char* name;
  const char* command;
  int returncode;
};

class ExitStatusTest : public ProcessTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, ReportsTheShellsStatus) {
  RunResult r = run({{"command", GetParam().command}});
  EXPECT_EQ(r.outcome, Outcome::completed);
  EXPECT_EQ(r.returncode, GetParam().returncode) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ExitStatusTest,
    ::testing::Values(StatusCase{"zero", "true", 0}, StatusCase{"three", "exit 3", 3},
                      StatusCase{"sigterm", "kill -TERM $$", -15},
                      StatusCase{"sigkill", "kill -KILL $$", -9},
                      StatusCase{"sigpipe_default", "yes | head -c 1 >/dev/null; kill -PIPE $$",
                                 -13},
                      StatusCase{"missing_program", "no-such-program-velquin", 127}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ProcessTest, ChildStartsWithACleanSignalMask) {
  // The service blocks its signals in every thread; children must not inherit that.
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  RunResult plain = run({{"command", "kill -TERM $$; exit 0"}});
  RunResult as_user = run({{"command", "kill -INT $$; exit 0"}, {"user", "root"}});
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(plain.returncode, -15);
  EXPECT_EQ(as_user.returncode, -2) << as_user.error;
}

TEST_F(ProcessTest, TimeOutKillsTheWholeGroup) {
  const auto start = std::chrono::steady_clock::now();
  LogCapture capture;
  RunResult r = run({{"command", "echo started; sleep 30 & sleep 30"},
                     {"timeout", 1},
                     {"preserveStreams", true}});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.outcome, Outcome::timed_out);
  EXPECT_FALSE(r.returncode);
  EXPECT_EQ(r.error, "Command timed out after 1 seconds");
  // Generous bound: the background sleep must not hold the pipes for 30 s.
  EXPECT_LT(elapsed, std::chrono::seconds(15));
  EXPECT_TRUE(group_gone(static_cast<pid_t>(*r.pid)));
  EXPECT_EQ(read_file(logs() / cid / "stdout.log"), "started\n");
  EXPECT_FALSE(fs::exists(run_dir()));
}

TEST_F(ProcessTest, DecimalTimeOutIsPrintedAsGiven) {
  RunResult r = run({{"command", "sleep 30"}, {"timeout", 0.5}});
  EXPECT_EQ(r.error, "Command timed out after 0.5 seconds");
}

TEST_F(ProcessTest, TranslatesNewlines) {
  RunResult r = run({{"command", "printf 'a\\r\\nb\\rc'; printf 'x\\r\\n' >&2"}});
  EXPECT_EQ(r.stdout_text, "a\nb\nc");
  EXPECT_EQ(r.stderr_text, "x\n");
}

TEST_F(ProcessTest, InvalidUtf8FailsButIsStillPreserved) {
  LogCapture capture;
  RunResult r = run({{"command", "printf 'a\\377b'"}, {"preserveStreams", true}});
  EXPECT_EQ(r.outcome, Outcome::failed);
  EXPECT_FALSE(r.returncode);
  EXPECT_GT(*r.pid, 0);
  auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Process execution error: " + r.error);
  EXPECT_EQ(read_file(logs() / cid / "stdout.log"), "a\xEF\xBF\xBD"
                                                    "b");
}

struct CapCase {
  const char* name;
  const char* command;
  const char* source;  // a file output, or none
  const char* error;   // none: the run succeeds
  const char* preserved;
  std::size_t preserved_size;
};

void PrintTo(const CapCase& c, std::ostream* os) {
  *os << c.name;
}

class OutputCapTest : public ProcessTest, public ::testing::WithParamInterface<CapCase> {
 protected:
  void SetUp() override {
    ProcessTest::SetUp();
    cap = 1024;
  }
};

// The sleep keeps the group alive: a run over the cap must end at once and
// take it along, not wait for the time limit.
TEST_P(OutputCapTest, StopsTheRunAndPreservesNoMoreThanTheCap) {
  const CapCase& c = GetParam();
  json def = {{"command", c.command}, {"timeout", 60}, {"preserveStreams", true}};
  if (c.source != nullptr) {
    def["output"] = {{"single_value", {{"source", c.source}}}};
  }
  LogCapture capture;
  const RunResult r = run(def);
  if (c.error == nullptr) {
    EXPECT_EQ(r.outcome, Outcome::completed) << r.error;
  } else {
    EXPECT_EQ(r.error, c.error) << r.error;
    EXPECT_THAT(capture.messages(Level::error),
                ElementsAre(std::string("Process execution error: ") + c.error));
    EXPECT_TRUE(group_gone(static_cast<pid_t>(*r.pid)));
  }
  EXPECT_EQ(fs::file_size(logs() / cid / c.preserved), c.preserved_size);
  EXPECT_FALSE(fs::exists(run_dir()));
}

INSTANTIATE_TEST_SUITE_P(
    Caps, OutputCapTest,
    ::testing::Values(
        CapCase{"AtTheCap", "head -c 1024 /dev/zero", nullptr, nullptr, "stdout.log", 1024},
        CapCase{"StdoutOver", "head -c 5000 /dev/zero; sleep 30", nullptr,
                "stdout exceeded MaxOutputSize (1024 bytes)", "stdout.log", 1024},
        CapCase{"StderrOver", "echo out; head -c 5000 /dev/zero >&2; sleep 30", nullptr,
                "stderr exceeded MaxOutputSize (1024 bytes)", "stderr.log", 1024},
        // 1000 undecodable bytes become 3000 bytes of replacement characters.
        CapCase{"ReplacementCharactersStayWithinTheCap",
                "head -c 1000 /dev/zero | tr '\\0' '\\377'", nullptr,
                "the standard output of the process is not valid UTF-8", "stdout.log", 1023},
        CapCase{"SparseFileOutput", "echo out; truncate -s 100M {{ run_dir }}/big", "big",
                "output 'big' exceeded MaxOutputSize (1024 bytes)", "stdout.log", 4}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ProcessTest, ReadsBothPipesAtOnce) {
  // More than a pipe buffer on each stream: reading one after the other would block.
  RunResult r = run(
      {{"command", "i=0; while [ $i -lt 300 ]; do printf '%0200d\\n' 0; printf '%0200d\\n' 1 >&2; "
                   "i=$((i+1)); done"},
       {"timeout", 20}});
  ASSERT_EQ(r.outcome, Outcome::completed) << r.error;
  EXPECT_EQ(r.stdout_text.size(), 300u * 201u);
  EXPECT_EQ(r.stderr_text.size(), 300u * 201u);
}

TEST_F(ProcessTest, EnvironmentIsRenderedAndOverridesInherited) {
  ::setenv("H4_INHERITED", "from-service", 1);
  ::setenv("H4_OVERRIDDEN", "old", 1);
  ::setenv("VELQUIN_H4_SECRET", "api-key", 1);
  json environment = {{"H4_OVERRIDDEN", "hi {{ name }}"},
                      {"H4_BOOL", true},
                      {"H4_INT", 5},
                      {"H4_FLOAT", 2.0},
                      {"H4_NULL", nullptr}};
  RunResult with_env = run({{"command", "env"}, {"environment", environment}}, {{"name", "bob"}});
  RunResult without_env = run({{"command", "env"}});
  ::unsetenv("H4_INHERITED");
  ::unsetenv("H4_OVERRIDDEN");
  ::unsetenv("VELQUIN_H4_SECRET");

  const std::string a = with_env.stdout_text;
  EXPECT_THAT(a, HasSubstr("H4_INHERITED=from-service\n"));
  EXPECT_THAT(a, HasSubstr("H4_OVERRIDDEN=hi bob\n"));
  EXPECT_THAT(a, HasSubstr("H4_BOOL=true\n"));
  EXPECT_THAT(a, HasSubstr("H4_INT=5\n"));
  EXPECT_THAT(a, HasSubstr("H4_FLOAT=2.0\n"));
  EXPECT_THAT(a, HasSubstr("H4_NULL=None\n"));
  const std::string b = without_env.stdout_text;
  EXPECT_THAT(b, HasSubstr("H4_INHERITED=from-service\n"));
  EXPECT_THAT(b, HasSubstr("H4_OVERRIDDEN=old\n"));
  for (const std::string& out : {a, b}) {
    EXPECT_THAT(out, ::testing::Not(HasSubstr("VELQUIN_")));
  }
}

TEST_F(ProcessTest, UnknownUserFailsBeforeTheStart) {
  LogCapture capture;
  RunResult r = run({{"command", "true"}, {"user", "no-such-user-velquin"}});
  EXPECT_EQ(r.outcome, Outcome::failed);
  EXPECT_FALSE(r.returncode);
  EXPECT_FALSE(r.pid);
  auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Process execution error: "));
  EXPECT_THAT(errors[0], HasSubstr("no-such-user-velquin"));
}

TEST_F(ProcessTest, RunsAsAnotherUserWithOnlyItsGroups) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "switching users needs root";
  }
  RunResult r = run({{"command", "id -u; id -g; id -G"}, {"user", "nobody"}});
  ASSERT_EQ(r.outcome, Outcome::completed) << r.error;
  EXPECT_EQ(r.stdout_text, "65534\n65534\n65534\n");
}

TEST_F(ProcessTest, WritesInputFilesBeforeTheStart) {
  json def = {{"command", "cat {{ run_dir }}/in/data.txt; cat {{ run_dir }}/{{ name }}.txt"},
              {"files",
               {{{"location", "in/data.txt"}, {"content", "hello {{ name }}\n"}},
                {{"location", "{{ name }}.txt"}, {"content", "second"}}}}};
  RunResult r = run(def, {{"name", "bob"}});
  EXPECT_EQ(r.stdout_text, "hello bob\nsecond");
  EXPECT_FALSE(fs::exists(run_dir()));
}

struct EscapeCase {
  const char* name;
  const char* value;  // none: the sentinel's absolute path
};

class PathEscapeTest : public ProcessTest, public ::testing::WithParamInterface<EscapeCase> {};

// Every value aims at a sentinel in the test's own directory; the error and
// the log name the template, never the client's value.
TEST_P(PathEscapeTest, ParameterPathsStayInTheRunDirectory) {
  const fs::path sentinel = tmp.write("sentinel.txt", "untouched");
  const std::string value = GetParam().value ? GetParam().value : sentinel.string();
  const json params = {{"p", value}};
  LogCapture capture;
  RunResult input =
      run({{"command", "true"}, {"files", {{{"location", "{{ p }}"}, {"content", "x"}}}}}, params);
  RunResult output =
      run({{"command", "true"}, {"output", {{"single_value", {{"source", "{{ p }}"}}}}}}, params);
  for (const RunResult* r : {&input, &output}) {
    EXPECT_EQ(r->outcome, Outcome::failed);
    EXPECT_EQ(r->error, "path escapes the run directory: '{{ p }}'");
  }
  for (const auto& [level, message] : capture.records()) {
    EXPECT_THAT(message, Not(HasSubstr(value)));
  }
  EXPECT_EQ(read_file(sentinel), "untouched");
  EXPECT_TRUE(shared_is_empty());
}

INSTANTIATE_TEST_SUITE_P(Values, PathEscapeTest,
                         ::testing::Values(EscapeCase{"parent", "../../sentinel.txt"},
                                           EscapeCase{"nested_parent", "a/../../../sentinel.txt"},
                                           EscapeCase{"absolute", nullptr}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ProcessTest, PrecreatedDirectoriesAndCollectedFiles) {
  json def = {{"command", "printf 'a\\377\\r\\n' > {{ run_dir }}/sub/dir/out.txt && echo hi > "
                          "{{ run_dir }}/logs/x.log"},
              {"output",
               {{"multiple_values",
                 {{{"parameter_name", "a"}, {"source", "%stdOut"}},
                  {{"parameter_name", "b"}, {"source", "sub/dir/out.txt"}},
                  {{"parameter_name", "c"}, {"source", "logs/"}},
                  {{"parameter_name", "d"}, {"source", "never/"}},
                  {{"parameter_name", "e"}, {"source", "never.txt"}}}}}}};
  RunResult r = run(def);
  ASSERT_EQ(r.outcome, Outcome::completed) << r.error;
  EXPECT_EQ(r.returncode, 0) << r.stderr_text;
  EXPECT_THAT(keys_of(r.file_outputs),
              ::testing::UnorderedElementsAre("sub/dir/out.txt", "logs/", "never/", "never.txt"));
  EXPECT_EQ(r.file_outputs.at("sub/dir/out.txt"), "a\xEF\xBF\xBD\n");
  // Pre-created, so an empty archive rather than nothing.
  EXPECT_EQ(r.file_outputs.at("never/"), "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_EQ(r.file_outputs.at("never.txt"), "");
}

TEST_F(ProcessTest, RunDirectoryIsRemovedAfterEveryOutcome) {
  const json files = {{{"location", "a.txt"}, {"content", "x"}}};
  run({{"command", "exit 1"}, {"files", files}});
  EXPECT_TRUE(shared_is_empty());
  run({{"command", "sleep 5"}, {"files", files}, {"timeout", 0.2}});
  EXPECT_TRUE(shared_is_empty());
  run({{"command", "cat {{ p }}"}, {"files", files}}, {{"p", "not a word"}});
  EXPECT_TRUE(shared_is_empty());
  run({{"command", "true"}, {"files", files}, {"user", "no-such-user-velquin"}});
  EXPECT_TRUE(shared_is_empty());
}

TEST_F(ProcessTest, NoDescriptorOrChildLeaksOverManyRuns) {
  json def = {{"command", "echo hi"},
              {"files", {{{"location", "f"}, {"content", "x"}}}},
              {"output", {{"single_value", {{"source", "f"}}}}}};
  run(def);  // warm up lazily opened descriptors (logger, config)
  const int before = open_fd_count();
  for (int i = 0; i < 200; ++i) {
    RunResult r = run(def);
    ASSERT_EQ(r.returncode, 0);
  }
  EXPECT_EQ(open_fd_count(), before);
  // Every child was reaped: nothing is left to wait for.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessTest, ChildSeesNoServiceDescriptor) {
  // A descriptor opened without close-on-exec must still not reach the child.
  const int leaked = ::dup2(STDIN_FILENO, 57);
  ASSERT_EQ(leaked, 57);
  const std::string probe = "if [ -e /proc/$$/fd/57 ]; then echo leaked; else echo clean; fi";
  RunResult plain = run({{"command", probe}});
  RunResult as_user = run({{"command", probe}, {"user", "root"}});
  ::close(leaked);
  EXPECT_EQ(plain.stdout_text, "clean\n");
  EXPECT_EQ(as_user.stdout_text, "clean\n");
}

TEST_F(ProcessTest, LogsTheCommandWithoutParameterValues) {
  LogCapture capture;
  run({{"command", "echo {{ name }} it's"}}, {{"name", "s3cr3t"}});
  EXPECT_TRUE(capture.contains(Level::debug, "Executing process: \"echo {{ name }} it's\""));
  for (const auto& [level, message] : capture.records()) {
    EXPECT_THAT(message, ::testing::Not(HasSubstr("s3cr3t")));
  }
}

}  // namespace
}  // namespace velquin::executor
