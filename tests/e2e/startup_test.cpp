// Start-up behaviour of the real binary: messages on standard error, exit
// codes, the log, the PID file and daemon mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/harness.h"
#include "support/certs.h"
#include "support/temp_dir.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto nl = text.find('\n', pos);
    out.push_back(text.substr(pos, nl - pos));
    if (nl == std::string::npos) {
      break;
    }
    pos = nl + 1;
  }
  return out;
}

// A service directory whose configuration is complete but which is never started.
struct Fixture {
  Service service;
  std::vector<std::string> args() const { return {"--config", service.config_path().string()}; }
};

TEST(Startup, VersionAndHelp) {
  auto version = run_velquin({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("Velquin ", 0), 0u);
  EXPECT_NE(version.out.find_first_of("0123456789"), std::string::npos);

  auto help = run_velquin({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* text : {"Velquin - Secure Execution Gateway", "--listen-port",
                           "Override ListenPort from configuration",
                           "Override AppLog from configuration (path [level] [format])",
                           "Override Container auto-detection from configuration",
                           "Detach from the terminal and run as a background daemon",
                           "Configuration file path (default: /etc/velquin/velquin.conf)"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
}

TEST(Startup, MalformedCommandLineExitsTwo) {
  for (auto args : std::vector<std::vector<std::string>>{{"--bogus"}, {"--listen-port"}}) {
    auto r = run_velquin(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(Startup, NamedConfigFileMissing) {
  testing::TempDir dir;
  auto path = dir.str() + "/missing.conf";
  auto r = run_velquin({"--config", path});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ERROR: Configuration file not found: " + path + "\n");
}

TEST(Startup, ConfigErrorsAreReportedTogetherInOrder) {
  Fixture f;
  std::ofstream(f.service.config_path(), std::ios::app)
      << "ListenPort=8080 # web\nFoo 1\nSslEnabled TRUE\n";
  auto args = f.args();
  args.insert(args.end(), {"--alias-reload", "ten", "--refresh-image", "sometimes"});
  auto r = run_velquin(args, {{"VELQUIN_AUTH_RELOAD", ""}});
  EXPECT_EQ(r.exit_code, 1);
  auto conf = f.service.config_path().string();
  auto got = lines(r.err);
  // Line numbers: the harness writes 10 lines before ours.
  std::vector<std::string> expected = {
      "CONFIG ERROR: " + conf + ":11: Invalid integer value: '8080 # web'",
      "CONFIG ERROR: " + conf + ":12: unknown parameter 'Foo'",
      "CONFIG ERROR: Environment variable VELQUIN_AUTH_RELOAD: Invalid integer value: ''",
      "CONFIG ERROR: Invalid integer value: 'ten'",
      "CONFIG ERROR: SslCert is required when SslEnabled is true",
      "CONFIG ERROR: SslKey is required when SslEnabled is true",
      "CONFIG ERROR: RefreshImage: invalid value 'sometimes' (expected one of ['always', 'no', "
      "'on-start'])",
  };
  EXPECT_EQ(got, expected) << r.err;
}

TEST(Startup, ListenPortAbcIsAConfigError) {
  Fixture f;
  auto args = f.args();
  args.insert(args.end(), {"--listen-port", "abc"});
  auto r = run_velquin(args);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "CONFIG ERROR: Invalid integer value: 'abc'\n");
}

TEST(Startup, NoCredentialsRefusesToStart) {
  ServiceOptions opts;
  Service s(opts);
  std::filesystem::remove(s.dir() / "auth.d" / "users.yaml");
  auto r = run_velquin({"--config", s.config_path().string()});
  EXPECT_EQ(r.exit_code, 1);
  std::string message = "No authentication configured: no users and no JWT public keys found in " +
                        (s.dir() / "auth.d").string() +
                        ". At least one form of authentication is required.";
  EXPECT_EQ(r.err, "ERROR: " + message + "\n");
  EXPECT_THAT(s.app_log(), HasSubstr("ERROR velquin [-] " + message));
}

TEST(Startup, EveryAuthErrorIsReported) {
  Service s;
  s.write_auth_file("users.yaml",
                    "users:\n  a:\n    api_key_sha256: short\n  b:\n    api_key_sha256: nothex\n");
  auto r = run_velquin({"--config", s.config_path().string()});
  EXPECT_EQ(r.exit_code, 1);
  auto got = lines(r.err);
  ASSERT_EQ(got.size(), 2u) << r.err;
  for (const auto& line : got) {
    EXPECT_EQ(line.rfind("ERROR: users.yaml: ", 0), 0u) << line;
  }
}

TEST(Startup, NoAliasesRefusesToStart) {
  ServiceOptions opts;
  opts.write_default_alias = false;
  Service s(opts);
  auto r = run_velquin({"--config", s.config_path().string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ERROR: No aliases configured in " + (s.dir() / "alias.d").string() +
                       ". At least one alias is required.\n");
}

TEST(Startup, UnquotedStringParameterIsRefused) {
  ServiceOptions opts;
  opts.write_default_alias = false;
  Service s(opts);
  s.write_alias_file("raw.yaml", "raw:\n  type: process\n  command: echo {{ message }}\n"
                                 "  parameters:\n    message:\n      type: string\n");
  auto r = run_velquin({"--config", s.config_path().string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "ERROR: raw.yaml: alias 'raw': command inserts parameter 'message' unquoted; write "
            "{{ message | shell }} or restrict it with pattern or choices\n");
}

TEST(Startup, ParameterInACommentIsRefused) {
  ServiceOptions opts;
  opts.write_default_alias = false;
  Service s(opts);
  s.write_alias_file("note.yaml", "note:\n  type: process\n  command: 'echo hi # {{ x | shell }}'\n"
                                  "  parameters:\n    x: {}\n");
  auto r = run_velquin({"--config", s.config_path().string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ERROR: note.yaml: alias 'note': command inserts parameter 'x' in a comment; it "
                   "cannot be quoted there\n");
}

TEST(Startup, TlsProblemsStopTheStart) {
  Service s;
  auto cert = (s.dir() / "none.crt").string();
  auto key = (s.dir() / "none.key").string();
  auto r = run_velquin({"--config", s.config_path().string(), "--ssl-enabled", "true", "--ssl-cert",
                        cert, "--ssl-key", key});
  EXPECT_EQ(r.exit_code, 1);
  auto got = lines(r.err);
  ASSERT_EQ(got.size(), 2u) << r.err;
  EXPECT_EQ(got[0].rfind("ERROR: Cannot load SSL certificate " + cert + ": ", 0), 0u);
  EXPECT_EQ(got[1].rfind("ERROR: Cannot load SSL private key " + key + ": ", 0), 0u);
}

TEST(Startup, PidFileInMissingDirectory) {
  Service s;
  auto pid = (s.dir() / "nowhere" / "v.pid").string();
  auto r = run_velquin({"--config", s.config_path().string(), "--pid-file", pid});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ERROR: cannot write PID file " + pid + ": No such file or directory\n");
}

TEST(Startup, ServesThenStopsCleanlyOnSigterm) {
  Service s;
  s.start();
  auto pid_file = s.dir() / "velquin.pid";
  EXPECT_EQ(testing::read_file(pid_file), std::to_string(s.pid()));
  EXPECT_EQ(s.stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(pid_file));
  auto log = s.app_log();
  EXPECT_THAT(log, HasSubstr("Velquin version "));
  EXPECT_THAT(log, HasSubstr("Running on host (configured)"));
  EXPECT_THAT(log, HasSubstr("SIGTERM received — initiating graceful shutdown"));
  EXPECT_THAT(log, HasSubstr("Velquin shutdown complete"));
  EXPECT_LT(log.find("Velquin version "), log.find("Listening on 127.0.0.1:"));
}

TEST(Startup, SigintIsNamedAsCtrlC) {
  Service s;
  s.start();
  EXPECT_EQ(s.stop(SIGINT), 0);
  EXPECT_THAT(s.app_log(), HasSubstr("SIGINT (Ctrl-C) received — initiating graceful shutdown"));
}

TEST(Startup, DaemonReturnsAtOnceAndTheDaemonOwnsThePidFile) {
  Service s;
  auto r = run_velquin({"--config", s.config_path().string(), "--daemon"});
  EXPECT_EQ(r.exit_code, 0);
  auto pid_file = s.dir() / "velquin.pid";
  pid_t daemon_pid = -1;
  for (int i = 0; i < 500 && daemon_pid <= 0; ++i) {
    if (std::filesystem::exists(pid_file)) {
      auto text = testing::read_file(pid_file);
      if (!text.empty()) {
        daemon_pid = std::stoi(text);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GT(daemon_pid, 0);
  EXPECT_NE(::getsid(daemon_pid), ::getsid(0));  // its own session, no terminal of ours
  ASSERT_TRUE(s.wait_for_log("Listening on"));
  ::kill(daemon_pid, SIGTERM);
  for (int i = 0; i < 500 && std::filesystem::exists(pid_file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(std::filesystem::exists(pid_file));
  EXPECT_TRUE(s.wait_for_log("Velquin shutdown complete"));
}

TEST(Startup, DefaultConfigMissingWarnsAndContinuesWithEnvironment) {
  if (std::filesystem::exists("/etc/velquin/velquin.conf")) {
    GTEST_SKIP() << "/etc/velquin/velquin.conf exists on this machine";
  }
  testing::TempDir dir;
  auto r =
      run_velquin({"--app-log", dir.str() + "/app.log info", "--auth-dir", dir.str() + "/none"},
                  {{"VELQUIN_AUDIT_LOG", dir.str() + "/audit.log"}});
  EXPECT_EQ(r.exit_code, 1);
  auto got = lines(r.err);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(
      got[0],
      "WARNING: Config file not found: /etc/velquin/velquin.conf. Starting with default settings.");
  EXPECT_THAT(testing::read_file(dir.str() + "/app.log"),
              HasSubstr("WARNING velquin [-] Config file not found: /etc/velquin/velquin.conf. "
                        "Starting with default settings."));
}

}  // namespace
}  // namespace velquin::e2e
