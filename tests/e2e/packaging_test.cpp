// The installed configuration and the files that must agree with it: the
// systemd units and the logrotate file.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "support/temp_dir.h"

namespace velquin::e2e {
namespace {

const std::string kPackaging = std::string(VELQUIN_SOURCE_DIR) + "/packaging/";

std::vector<std::string> lines_of(const std::string& name) {
  std::istringstream in(velquin::testing::read_file(kPackaging + name));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    out.push_back(line);
  }
  return out;
}

// "Key Value" settings of the shipped configuration.
std::map<std::string, std::string> settings() {
  std::map<std::string, std::string> out;
  for (const auto& line : lines_of("velquin.conf")) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const auto space = line.find(' ');
    out[line.substr(0, space)] = line.substr(space + 1);
  }
  return out;
}

// Values of `key=` in a unit file, in order.
std::vector<std::string> unit_values(const std::string& name, const std::string& key) {
  std::vector<std::string> out;
  for (const auto& line : lines_of(name)) {
    if (line.rfind(key + "=", 0) == 0) {
      out.push_back(line.substr(key.size() + 1));
    }
  }
  return out;
}

TEST(Packaging, UnitsAndLogrotateAgreeWithTheConfiguration) {
  auto conf = settings();
  EXPECT_EQ(unit_values("velquin.socket", "ListenStream"),
            std::vector<std::string>{conf["ListenAddress"] + ":" + conf["ListenPort"]});
  EXPECT_EQ(
      unit_values("velquin.service", "ExecStartPre"),
      std::vector<std::string>{"/usr/sbin/velquin --check --config /etc/velquin/velquin.conf"});
  EXPECT_EQ(unit_values("velquin.service", "ExecStart"),
            std::vector<std::string>{"/usr/sbin/velquin --config /etc/velquin/velquin.conf"});

  std::vector<std::string> rotated;
  for (const auto& line : lines_of("velquin.logrotate")) {
    if (line.rfind('/', 0) == 0) {
      rotated.push_back(line);
    }
  }
  EXPECT_EQ(rotated, (std::vector<std::string>{conf["LogDir"] + "/" + conf["AppLog"],
                                               conf["LogDir"] + "/" + conf["AuditLog"]}));
}

// What the installed package does before the operator adds credentials: every
// setting is accepted, and the start stops at the missing users.
TEST(Packaging, ShippedConfigurationLoadsAndWantsCredentials) {
  velquin::testing::TempDir dir;
  const auto auth_dir = dir.path() / "auth.d";
  std::filesystem::create_directory(auth_dir);
  auto r = run_velquin({"--config", kPackaging + "velquin.conf", "--log-dir", dir.str(),
                        "--auth-dir", auth_dir.string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "ERROR: No authentication configured: no users and no JWT public keys found in " +
                auth_dir.string() + ". At least one form of authentication is required.\n");
}

}  // namespace
}  // namespace velquin::e2e
