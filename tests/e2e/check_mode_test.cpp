// velquin --check: the start-up checks without serving.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

const std::string kNoAuth =
    "No authentication configured: no users and no JWT public keys found in ";

struct CheckCase {
  const char* name;
  // Files written (relative to the service directory); empty text removes.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> args;
  int exit_code;
  // "{dir}" stands for the service directory.
  std::string out;
  std::string err;
};

std::string expand(std::string text, const std::string& dir) {
  for (auto at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}")) {
    text.replace(at, 5, dir);
  }
  return text;
}

class CheckMode : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckMode, ReportsLikeTheStartUp) {
  const auto& c = GetParam();
  Service svc;
  for (const auto& [name, text] : c.files) {
    if (text.empty()) {
      std::filesystem::remove(svc.dir() / name);
    } else {
      std::ofstream(svc.dir() / name) << text;
    }
  }
  std::vector<std::string> args{"--check", "--config", svc.config_path().string()};
  for (const auto& arg : c.args) {
    args.push_back(expand(arg, svc.dir().string()));
  }
  auto r = run_velquin(args);
  EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
  EXPECT_EQ(r.out, expand(c.out, svc.dir().string()));
  EXPECT_EQ(r.err, expand(c.err, svc.dir().string()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckMode,
    ::testing::Values(
        CheckCase{"Ok", {}, {}, 0, "configuration OK: 2 users, 0 JWT keys, 1 alias\n", ""},
        CheckCase{"NoCredentials",
                  {{"auth.d/users.yaml", ""}},
                  {},
                  1,
                  "",
                  "ERROR: " + kNoAuth +
                      "{dir}/auth.d. At least one form of authentication is required.\n"},
        // Every problem in one run, where the start-up stops at the first failing step.
        CheckCase{
            "EveryProblemAtOnce",
            {{"auth.d/users.yaml", ""}, {"alias.d/echo.yaml", ""}},
            {"--log-level", "loud", "--ssl-enabled", "true", "--ssl-cert", "{dir}/none.pem",
             "--ssl-key", "{dir}/none.key"},
            1,
            "",
            "ERROR: Invalid LogLevel 'loud'\n"
            "ERROR: " +
                kNoAuth +
                "{dir}/auth.d. At least one form of authentication is required.\n"
                "ERROR: No aliases configured in {dir}/alias.d. At least one alias is required.\n"
                "ERROR: Cannot load SSL certificate {dir}/none.pem: No such file or directory\n"
                "ERROR: Cannot load SSL private key {dir}/none.key: No such file or directory\n"},
        CheckCase{"UnsafeCommand",
                  {{"alias.d/echo.yaml", "echo:\n  type: process\n  command: echo `{{ m }}`\n"
                                         "  parameters:\n    m:\n      type: string\n"}},
                  {},
                  1,
                  "",
                  "ERROR: echo.yaml: alias 'echo': command inserts parameter 'm' in backquotes; it "
                  "cannot be quoted there\n"
                  "ERROR: echo.yaml: alias 'echo': command inserts parameter 'm' unquoted; write "
                  "{{ m | shell }} or restrict it with pattern or choices\n"},
        CheckCase{"SettingError",
                  {},
                  {"--listen-port", "abc"},
                  1,
                  "",
                  "CONFIG ERROR: Invalid integer value: 'abc'\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The same settings as a running service: the check binds nothing, creates no
// log directory, run directory or PID file and leaves every file as it was.
TEST(CheckModeSideEffects, ChangesNothingAndBindsNothing) {
  Service svc;
  std::filesystem::remove(svc.dir() / "logs");
  // The port stays taken by this test: a check that tried to listen would fail.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(svc.port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);

  auto snapshot = [&] {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(svc.dir())) {
      out.push_back(e.path().string() + " " +
                    std::to_string(e.last_write_time().time_since_epoch().count()));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const auto before = snapshot();
  auto r = run_velquin({"--check", "--config", svc.config_path().string()});
  ::close(fd);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace velquin::e2e
