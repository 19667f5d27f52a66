#include "support/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace velquin::support {

namespace {

// Older kernels, and seccomp profiles that predate openat2 (EPERM).
UniqueFd open_by_walking(int dir_fd, std::string_view rel, int flags) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= rel.size()) {
    const std::size_t slash = std::min(rel.find('/', pos), rel.size());
    const std::string_view part = rel.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == "..") {
      errno = EXDEV;
      return UniqueFd();
    }
    parts.emplace_back(part);
  }
  if (parts.empty()) {
    return UniqueFd(::openat(dir_fd, ".", flags | O_CLOEXEC));
  }
  UniqueFd dir;
  int at = dir_fd;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    UniqueFd next(::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      return UniqueFd();
    }
    dir = std::move(next);
    at = dir.get();
  }
  return UniqueFd(::openat(at, parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

UniqueFd open_beneath(int dir_fd, std::string_view rel, int flags, Links links) {
  const std::string path = rel.empty() ? std::string(".") : std::string(rel);
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  if (links == Links::refuse) {
    how.resolve |= RESOLVE_NO_SYMLINKS;
  }
  const long fd = ::syscall(SYS_openat2, dir_fd, path.c_str(), &how, sizeof how);
  if (fd >= 0) {
    return UniqueFd(static_cast<int>(fd));
  }
  if (errno != ENOSYS && errno != EPERM) {
    return UniqueFd();
  }
  return open_by_walking(dir_fd, path, flags);
}

UniqueFd open_regular(int path_fd, struct stat& st) {
  if (::fstat(path_fd, &st) != 0) {
    return UniqueFd();
  }
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
    return UniqueFd();
  }
  // Reopening through /proc reaches exactly the inode looked at, even if the
  // name has been replaced meanwhile.
  const std::string self = "/proc/self/fd/" + std::to_string(path_fd);
  UniqueFd fd(::open(self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  struct stat again {};
  if (fd &&
      (::fstat(fd.get(), &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

bool read_up_to(int fd, std::size_t limit, std::string& out) {
  char buf[65536];
  std::size_t left = limit == SIZE_MAX ? limit : limit + 1;
  while (left > 0) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, left));
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      left -= static_cast<std::size_t>(n);
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace velquin::support
