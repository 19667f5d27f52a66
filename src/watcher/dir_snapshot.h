#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace velquin::watcher::detail {

// What we remember of one YAML file. The size and inode ride along with the
// modification time because the kernel stamps times with a coarse clock: a
// truncate and the following write often share one stamp, and a file renamed
// over another may carry an older one. Either would otherwise hide a change.
struct FileStamp {
  std::int64_t mtime_ns = 0;
  std::int64_t size = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

// File name (not path) -> stamp of every ".yaml" / ".yml" entry directly in a
// directory.
using DirSnapshot = std::map<std::string, FileStamp, std::less<>>;

// True when the name ends with ".yaml" or ".yml" (case-sensitive).
bool is_yaml_name(std::string_view path);

// Never fails: an entry whose status cannot be read is left out, and a
// directory that cannot be listed gives an empty snapshot.
DirSnapshot take_snapshot(const std::string& dir);

// Takes a new snapshot; when it differs from `known`, stores it there and
// returns true. The caller holds the directory's lock.
bool detect_change(const std::string& dir, DirSnapshot& known);

}  // namespace velquin::watcher::detail
