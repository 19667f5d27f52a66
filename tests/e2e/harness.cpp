#include "e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace velquin::e2e {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kReportPrefix = "sanitizer-report";
constexpr const char* kSanitizerOptions[] = {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"};

// report_dir non-empty: a sanitized child writes its reports to files there
// (its stderr is a file no test reads).
std::vector<std::string> child_environment(const Env& extra,
                                           const std::filesystem::path& report_dir = {}) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VELQUIN_", 8) != 0) {
      out.emplace_back(*e);
    }
  }
  if (kSanitized && !report_dir.empty()) {
    const std::string path = ":log_path=" + (report_dir / kReportPrefix).string();
    for (const std::string name : kSanitizerOptions) {
      auto it = std::find_if(out.begin(), out.end(),
                             [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
      if (it != out.end()) {
        *it += path;  // the last occurrence of an option wins
      } else {
        out.push_back(name + "=" + path.substr(1));
      }
    }
  }
  for (const auto& [k, v] : extra) {
    out.push_back(k + "=" + v);
  }
  return out;
}

// Fails the running test with every sanitizer report found in dir.
void expect_no_sanitizer_reports(const std::filesystem::path& dir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind(kReportPrefix, 0) == 0) {
      std::string text = testing::read_file(entry.path());
      if (text.size() > 16384) {
        text.resize(16384);
      }
      ADD_FAILURE() << "velquin wrote a sanitizer report (" << entry.path().filename().string()
                    << "):\n"
                    << text;
    }
  }
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) {
    out.push_back(s.data());
  }
  out.push_back(nullptr);
  return out;
}

// Spawns the binary; stdout/stderr go to the given descriptors, stdin is
// in_fd or /dev/null.
pid_t spawn_velquin(const std::vector<std::string>& args, const Env& env, int out_fd, int err_fd,
                    const std::filesystem::path& report_dir, int in_fd = -1,
                    const std::vector<std::string>& launcher = {}) {
  std::vector<std::string> argv_s = launcher;
  argv_s.push_back(VELQUIN_BINARY);
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  auto env_s = child_environment(env, report_dir);
  auto argv = pointers(argv_s);
  auto envp = pointers(env_s);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  }
  return pid;
}

int decode_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return -WTERMSIG(status);
  }
  return -1;
}

std::string slurp(const std::filesystem::path& p) {
  return testing::read_file(p);
}

std::string lower(std::string s) {
  for (auto& c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

int connect_loopback(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

HttpResponse parse_response(const std::string& raw) {
  HttpResponse r;
  auto head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    throw std::runtime_error("incomplete HTTP response: " + raw.substr(0, 200));
  }
  std::istringstream head(raw.substr(0, head_end));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  // "HTTP/1.1 422 Bad Input"
  auto sp1 = line.find(' ');
  auto sp2 = line.find(' ', sp1 + 1);
  r.status = std::stoi(line.substr(sp1 + 1, sp2 - sp1 - 1));
  r.reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    auto colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.headers.emplace_back(line.substr(0, colon), value);
  }
  std::string body = raw.substr(head_end + 4);
  if (lower(r.header("Transfer-Encoding")) == "chunked") {
    std::string decoded;
    std::size_t pos = 0;
    while (pos < body.size()) {
      auto eol = body.find("\r\n", pos);
      std::size_t len = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
      if (len == 0) {
        break;
      }
      decoded += body.substr(eol + 2, len);
      pos = eol + 2 + len + 2;
    }
    body = decoded;
  } else if (auto cl = r.header("Content-Length"); !cl.empty()) {
    body = body.substr(0, std::stoul(cl));
  }
  r.body = body;
  return r;
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (lower(k) == lower(name)) {
      return v;
    }
  }
  return "";
}

RunResult run_velquin(const std::vector<std::string>& args, const Env& env,
                      std::chrono::seconds timeout) {
  testing::TempDir tmp;
  auto out_path = tmp.path() / "out";
  auto err_path = tmp.path() / "err";
  int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = spawn_velquin(args, env, out_fd, err_fd, tmp.path());
  ::close(out_fd);
  ::close(err_fd);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      throw std::runtime_error("velquin did not exit in time; stderr: " + slurp(err_path));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  expect_no_sanitizer_reports(tmp.path());
  return RunResult{decode_status(status), slurp(out_path), slurp(err_path)};
}

std::string command_output(const std::string& command_line) {
  std::string out;
  FILE* p = ::popen(command_line.c_str(), "r");
  if (p == nullptr) {
    return out;
  }
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
    out.append(buf, n);
  }
  ::pclose(p);
  return out;
}

unsigned short free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

HttpResponse http_raw(unsigned short port, const std::string& request) {
  int fd = connect_loopback(port);
  if (fd < 0) {
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      break;  // the server may answer early (413) and close
    }
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buf[65536];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 60000) <= 0) {
      break;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    raw.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return parse_response(raw);
}

HttpResponse http(unsigned short port, const std::string& method, const std::string& path,
                  const std::map<std::string, std::string>& headers, const std::string& body) {
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  bool has_length = false;
  for (const auto& [k, v] : headers) {
    req += k + ": " + v + "\r\n";
    has_length = has_length || lower(k) == "content-length";
  }
  if (!has_length && (!body.empty() || method == "POST")) {
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  req += "\r\n" + body;
  return http_raw(port, req);
}

HttpResponse execute(unsigned short port, const std::string& alias, const nlohmann::json& params,
                     const std::string& key) {
  return http(port, "POST", "/v1/" + alias,
              {{"Authorization", "Bearer " + key}, {"Content-Type", "application/json"}},
              params.dump());
}

Service::Service(ServiceOptions options) : options_(std::move(options)) {
  port_ = free_port();
  std::filesystem::create_directories(dir() / "alias.d");
  std::filesystem::create_directories(dir() / "auth.d");
  std::filesystem::create_directories(dir() / "logs");
  std::string allowed;
  for (const auto& a : options_.allowed_aliases) {
    allowed += (allowed.empty() ? "" : ", ") + a;
  }
  write_auth_file("users.yaml", std::string("users:\n  tester:\n    api_key_sha256: ") +
                                    kApiKeySha256 + "\n    allowed_aliases: [" + allowed +
                                    "]\n  outsider:\n    api_key_sha256: " + kOtherKeySha256 +
                                    "\n    allowed_aliases: []\n");
  if (options_.write_default_alias) {
    write_alias_file("echo.yaml",
                     "echo:\n  type: process\n  command: echo {{ message | shell }}\n"
                     "  parameters:\n    message:\n      type: string\n      default: hello\n");
  }
  std::ofstream conf(config_path());
  auto d = dir().string();
  conf << "ListenAddress 127.0.0.1\n"
       << "ListenPort " << port_ << "\n"
       << "AuthDir " << d << "/auth.d\n"
       << "AliasDir " << d << "/alias.d\n"
       << "LogDir " << d << "/logs\n"
       << "AuditLog audit.log\n"
       << "AppLog app.log debug\n"
       << "PidFile " << d << "/velquin.pid\n"
       << "SharedDir " << d << "/shared/\n"
       << "Container 0\n";
  for (const auto& line : options_.config_lines) {
    conf << line << "\n";
  }
}

Service::~Service() {
  if (pid_ > 0 && !exit_status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  expect_no_sanitizer_reports(dir());
}

void Service::write_alias_file(const std::string& name, const std::string& yaml) const {
  dir_.write("alias.d/" + name, yaml);
}

void Service::write_auth_file(const std::string& name, const std::string& yaml) const {
  dir_.write("auth.d/" + name, yaml);
}

void Service::start() {
  std::vector<std::string> args{"--config", config_path().string()};
  args.insert(args.end(), options_.extra_args.begin(), options_.extra_args.end());
  int out_fd =
      ::open((dir() / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd =
      ::open((dir() / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int in_fds[2] = {-1, -1};
  if (!options_.stdin_text.empty() && ::pipe2(in_fds, O_CLOEXEC) == 0) {
    ssize_t ignored = ::write(in_fds[1], options_.stdin_text.data(), options_.stdin_text.size());
    (void)ignored;
    stdin_w_.reset(in_fds[1]);  // kept open: a reader never sees the end
  }
  std::vector<std::string> launcher;
  if (options_.socket_activated) {
    // It passes on only the variables named here; it execs velquin in its place.
    launcher = {"/usr/bin/systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port_),
                "-E", "PATH"};
    for (const auto& [name, value] : options_.env) {
      launcher.insert(launcher.end(), {"-E", name + "=" + value});
    }
  }
  pid_ = spawn_velquin(args, options_.env, out_fd, err_fd, dir(), in_fds[0], launcher);
  ::close(out_fd);
  ::close(err_fd);
  if (in_fds[0] >= 0) {
    ::close(in_fds[0]);
  }
  exit_status_.reset();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!running()) {
      throw std::runtime_error("velquin exited with " + std::to_string(*exit_status_) +
                               "; stderr: " + stderr_text() + "\napp log: " + app_log());
    }
    int fd = connect_loopback(port_);
    if (fd >= 0) {
      ::close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("velquin did not listen within 20 s; stderr: " + stderr_text());
}

bool Service::running() {
  if (exit_status_) {
    return false;
  }
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    exit_status_ = decode_status(status);
    return false;
  }
  return pid_ > 0;
}

void Service::signal(int sig) const {
  ::kill(pid_, sig);
}

int Service::stop(int sig, std::chrono::seconds timeout) {
  if (exit_status_) {
    return *exit_status_;
  }
  ::kill(pid_, sig);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      exit_status_ = decode_status(status);
      throw std::runtime_error("velquin did not stop in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return *exit_status_;
}

std::string Service::app_log() const {
  return slurp(dir() / "logs" / "app.log");
}
std::string Service::stdout_text() const {
  return slurp(dir() / "stdout.txt");
}
std::string Service::stderr_text() const {
  return slurp(dir() / "stderr.txt");
}

std::vector<nlohmann::json> Service::audit() const {
  std::vector<nlohmann::json> out;
  std::istringstream in(slurp(dir() / "logs" / "audit.log"));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) {
      out.push_back(nlohmann::json::parse(line));
    }
  }
  return out;
}

bool Service::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    if (app_log().find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace velquin::e2e
