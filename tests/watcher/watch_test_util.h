#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <istream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velquin::watcher::testing {

// Waits for what the watcher's threads bring about. The bound only limits a
// failing test, never a passing one.
template <typename Condition> bool eventually(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Entries of a /proc directory (threads, descriptors); counts compare.
inline std::size_t entries_in(const char* dir) {
  const auto it = std::filesystem::directory_iterator(dir);
  return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

// Threads of this process whose kernel name (15 bytes at most) is `name`.
inline std::size_t threads_named(std::string_view name) {
  std::size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    n += comm == name ? 1 : 0;
  }
  return n;
}

// A fixed modification time: a "touch" is a change however coarse the clock.
inline void set_mtime(const std::filesystem::path& path, long seconds_since_epoch) {
  const timespec times[2] = {{seconds_since_epoch, 0}, {seconds_since_epoch, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// In place in one step, as editors save: never seen half written.
inline void replace_file(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::path aside = path;
  aside += ".tmp";
  write_file(aside, content);
  std::filesystem::rename(aside, path);
}

inline std::size_t count_containing(const std::vector<std::string>& messages,
                                    std::string_view needle) {
  std::size_t n = 0;
  for (const std::string& message : messages) {
    n += message.find(needle) != std::string::npos ? 1 : 0;
  }
  return n;
}

}  // namespace velquin::watcher::testing
