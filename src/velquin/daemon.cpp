#include "velquin/daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

namespace velquin::app::detail {
namespace {

// Written once by register_pid_removal before any thread exists; read at exit.
std::string g_pid_path;

void remove_registered_pid() {
  remove_pid(g_pid_path);
}

void fail(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  std::fflush(stderr);
  std::exit(1);
}

}  // namespace

void daemonize() {
  pid_t pid = ::fork();
  if (pid < 0) {
    fail(std::string("daemon fork #1 failed: ") + std::strerror(errno));
  }
  if (pid > 0) {
    std::_Exit(0);
  }
  if (::setsid() < 0) {
    std::_Exit(1);
  }
  pid = ::fork();
  if (pid < 0) {
    fail(std::string("daemon fork #2 failed: ") + std::strerror(errno));
  }
  if (pid > 0) {
    std::_Exit(0);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    ::dup2(fd, STDIN_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
}

void write_pid(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = 0;
  if (fd < 0) {
    err = errno;
  } else {
    std::string text = std::to_string(::getpid());
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      err = errno != 0 ? errno : EIO;
    }
    if (::close(fd) != 0 && err == 0) {
      err = errno;
    }
  }
  if (err != 0) {
    fail("cannot write PID file " + path + ": " + std::strerror(err));
  }
}

void remove_pid(const std::string& path) noexcept {
  if (!path.empty()) {
    ::unlink(path.c_str());
  }
}

void register_pid_removal(const std::string& path) {
  g_pid_path = path;
  std::atexit(remove_registered_pid);
  std::at_quick_exit(remove_registered_pid);
}

void log_pre_init_error(const std::string& msg, const std::string& path) noexcept {
  try {
    auto absolute = std::filesystem::absolute(path);
    std::error_code ec;
    std::filesystem::create_directories(absolute.parent_path(), ec);
    std::FILE* f = std::fopen(absolute.c_str(), "ae");
    if (f == nullptr) {
      return;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S,000", &local);
    std::fprintf(f, "%s ERROR velquin %s\n", stamp, msg.c_str());
    std::fclose(f);
  } catch (...) {
    // Nothing may come of a failure here: the caller is already failing.
  }
}

}  // namespace velquin::app::detail
