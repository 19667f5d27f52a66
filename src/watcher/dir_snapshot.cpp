#include "watcher/dir_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "support/scope_exit.h"

namespace velquin::watcher::detail {

bool is_yaml_name(std::string_view path) {
  return path.ends_with(".yaml") || path.ends_with(".yml");
}

DirSnapshot take_snapshot(const std::string& dir) {
  DirSnapshot snapshot;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return snapshot;
  }
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    ::close(fd);
    return snapshot;
  }
  support::ScopeExit close_stream([stream] { ::closedir(stream); });
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (!is_yaml_name(name)) {
      continue;
    }
    // Follows symbolic links: an operator who links a file in wants the
    // target's edits noticed.
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, 0) != 0) {
      continue;
    }
    snapshot.emplace(
        std::string(name),
        FileStamp{static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                  static_cast<std::int64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino)});
  }
  return snapshot;
}

bool detect_change(const std::string& dir, DirSnapshot& known) {
  DirSnapshot current = take_snapshot(dir);
  if (current == known) {
    return false;
  }
  known = std::move(current);
  return true;
}

}  // namespace velquin::watcher::detail
