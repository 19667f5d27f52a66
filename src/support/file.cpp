#include "support/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "support/fd.h"

namespace velquin::support {

std::string read_whole_file(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(), path);
  }
  std::string content;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), path);
    }
    if (n == 0) {
      break;
    }
    content.append(buf, static_cast<std::size_t>(n));
  }
  return content;
}

std::vector<std::string> directory_names(int dir_fd, bool only_directories) {
  std::vector<std::string> names;
  // A description of its own, so that listing never moves the caller's offset.
  int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return names;
  }
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* ent = ::readdir(d)) {
    const std::string_view name = ent->d_name;
    if (name != "." && name != ".." && (!only_directories || ent->d_type == DT_DIR)) {
      names.emplace_back(name);
    }
  }
  ::closedir(d);
  return names;
}

}  // namespace velquin::support
