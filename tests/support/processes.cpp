#include "support/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <string_view>

namespace velquin::testing {

std::string proc_file(pid_t pid, const std::string& name) {
  std::string text;
  const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return text;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

std::vector<pid_t> marked_processes(const std::string& marker) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    return found;
  }
  while (struct dirent* ent = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(ent->d_name[0]))) {
      continue;
    }
    const pid_t pid = static_cast<pid_t>(std::stol(ent->d_name));
    // Zombies have no environment left, so they never match.
    const std::string env = '\0' + proc_file(pid, "environ");
    if (env.find('\0' + marker + '\0') != std::string::npos) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
  return found;
}

void kill_marked(const std::string& marker) {
  for (pid_t pid : marked_processes(marker)) {
    ::kill(pid, SIGKILL);
  }
}

}  // namespace velquin::testing
