#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fd.h"
#include "support/temp_dir.h"

namespace velquin::e2e {

// API key of the user "tester" that every Service knows (allowed: every alias
// listed in ServiceOptions::allowed_aliases).
inline constexpr const char* kApiKey = "e2e-test-key";
inline constexpr const char* kApiKeySha256 =
    "e221f7025595f37d2517e15f48d97ea1c77bc9daca4ba11896ea3261401ea6e5";
// A second user, "outsider", allowed nothing.
inline constexpr const char* kOtherKey = "e2e-other-key";
inline constexpr const char* kOtherKeySha256 =
    "9b74d9b60b1d73904acb855e21632027a9758f33a05587580b30ce3cdca42603";

using Env = std::vector<std::pair<std::string, std::string>>;

struct RunResult {
  int exit_code = -1;  // -signal when killed
  std::string out;
  std::string err;
};

// Runs the velquin binary to its end with the given arguments. The environment
// is the test's own minus every VELQUIN_* variable, plus `env`.
RunResult run_velquin(const std::vector<std::string>& args, const Env& env = {},
                      std::chrono::seconds timeout = std::chrono::seconds(30));

// Standard output of a shell command line (for curl, docker and the like).
std::string command_output(const std::string& command_line);

// A loopback port that was free a moment ago.
unsigned short free_port();

struct HttpResponse {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // First header of that name (case-insensitive), "" when absent.
  std::string header(const std::string& name) const;
};

// One request on a new connection ("Connection: close"), plain HTTP.
HttpResponse http(unsigned short port, const std::string& method, const std::string& path,
                  const std::map<std::string, std::string>& headers = {},
                  const std::string& body = "");
// Sends bytes as they are and reads one response until the peer closes.
HttpResponse http_raw(unsigned short port, const std::string& request);

// POST /v1/<alias> with a JSON body and the tester's key.
HttpResponse execute(unsigned short port, const std::string& alias,
                     const nlohmann::json& params = nlohmann::json::object(),
                     const std::string& key = kApiKey);

struct ServiceOptions {
  std::vector<std::string> allowed_aliases = {"echo"};
  // Extra "Key Value" lines for the configuration file.
  std::vector<std::string> config_lines;
  std::vector<std::string> extra_args;
  Env env;
  bool write_default_alias = true;  // an "echo" alias: `echo {{ message | shell }}`
  // When set, the service's stdin is a pipe holding this text, kept open.
  std::string stdin_text;
  // Started by systemd-socket-activate, which listens on the port and hands
  // the socket over (LISTEN_FDS).
  bool socket_activated = false;
};

// A velquin process with its own configuration directory:
//   <dir>/velquin.conf, alias.d/, auth.d/, logs/ (app.log, audit.log), shared/, velquin.pid
class Service {
 public:
  explicit Service(ServiceOptions options = {});
  ~Service();  // SIGKILL if still running
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  const std::filesystem::path& dir() const { return dir_.path(); }
  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::filesystem::path config_path() const { return dir() / "velquin.conf"; }

  void write_alias_file(const std::string& name, const std::string& yaml) const;
  void write_auth_file(const std::string& name, const std::string& yaml) const;

  // Starts the binary and waits until the port accepts connections; throws
  // with the captured output when the process ends first or within 20 s.
  void start();
  // Sends sig and waits for the exit status (exit code, or -signal).
  int stop(int sig = SIGTERM, std::chrono::seconds timeout = std::chrono::seconds(40));
  void signal(int sig) const;
  bool running();

  std::string app_log() const;
  std::string stdout_text() const;
  std::string stderr_text() const;
  std::vector<nlohmann::json> audit() const;
  // Polls the app log until it contains text (true) or the timeout passes.
  bool wait_for_log(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  HttpResponse execute(const std::string& alias,
                       const nlohmann::json& params = nlohmann::json::object(),
                       const std::string& key = kApiKey) const {
    return e2e::execute(port_, alias, params, key);
  }

 private:
  testing::TempDir dir_;
  ServiceOptions options_;
  unsigned short port_ = 0;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
  support::UniqueFd stdin_w_;
};

}  // namespace velquin::e2e
