#include "support/file.h"

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

}  // namespace velquin::support
