#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velquin::watcher::testing {

// Waits for a condition that the watcher's threads bring about. The bound is
// generous on purpose: it only limits a failing test, never a passing one.
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::size_t entries_in(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++n;
  }
  return n;
}

inline std::size_t thread_count() { return entries_in("/proc/self/task"); }

// The iterator's own descriptor is counted every time, so counts compare.
inline std::size_t fd_count() { return entries_in("/proc/self/fd"); }

// Sets a file's modification time to a fixed moment, so that a "touch" is a
// change however coarse the file system's clock is.
inline void set_mtime(const std::filesystem::path& path, long seconds_since_epoch) {
  const timespec times[2] = {{seconds_since_epoch, 0}, {seconds_since_epoch, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Puts a file in place in one step, as editors do, so that a reader never
// sees it half written (a half-written file would be a second change).
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
    if (message.find(needle) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

}  // namespace velquin::watcher::testing
