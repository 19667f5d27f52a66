#include "scratch/scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "logger/logger.h"
#include "support/file.h"
#include "support/quoted.h"
#include "support/uuid.h"

namespace velquin::scratch {

namespace fs = std::filesystem;

namespace {

using support::UniqueFd;

// Below this depth directories are moved up rather than descended into, so
// that neither the stack nor the open descriptors grow with a command's tree.
constexpr int MAX_DEPTH = 64;
constexpr int MAX_PASSES = 1000;

std::system_error os_error(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

std::vector<std::string> entries_of(int dir_fd) {
  return support::directory_names(dir_fd);
}

// A subdirectory, never through a link. A command may leave directories
// without permissions; they are opened up first.
UniqueFd open_subdir(int parent_fd, const std::string& name) {
  UniqueFd dir(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir && errno == EACCES) {
    UniqueFd path(::openat(parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (path) {
      ::chmod(("/proc/self/fd/" + std::to_string(path.get())).c_str(), 0700);
      dir.reset(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
  }
  return dir;
}

// Removes what dir_fd holds, depth levels below root_fd, and goes on past
// every failure. Returns whether it moved a directory up to root_fd.
bool empty_dir(int root_fd, int dir_fd, int depth) {
  bool moved = false;
  struct stat self {};
  if (::fstat(dir_fd, &self) == 0 && (self.st_mode & 0700) != 0700) {
    ::fchmod(dir_fd, (self.st_mode & 07777) | 0700);
  }
  for (const auto& name : entries_of(dir_fd)) {
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      ::unlinkat(dir_fd, name.c_str(), 0);
      continue;
    }
    if (depth >= MAX_DEPTH) {
      const std::string up = ".velquin-" + support::uuid4_hex();
      if (::renameat(dir_fd, name.c_str(), root_fd, up.c_str()) == 0) {
        moved = true;
        continue;
      }
    }
    if (UniqueFd sub = open_subdir(dir_fd, name)) {
      moved = empty_dir(root_fd, sub.get(), depth + 1) || moved;
    }
    ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
  }
  return moved;
}

// Removes name below parent_fd and everything under it without following
// a link anywhere: a command that swaps a directory for a link to /etc
// while we remove its tree gets the link removed, not /etc.
void remove_tree_at(int parent_fd, const std::string& name) {
  struct stat st {};
  if (::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    ::unlinkat(parent_fd, name.c_str(), 0);
    return;
  }
  if (UniqueFd root = open_subdir(parent_fd, name)) {
    for (int pass = 0; pass < MAX_PASSES && empty_dir(root.get(), root.get(), 0); ++pass) {
    }
  }
  ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

// Creates the run directory and takes a shared lock on it. A starting
// instance that removes abandoned directories takes the lock exclusively,
// so a directory it removed between our mkdir and our lock is made again.
std::shared_ptr<UniqueFd> lock_run_dir(const std::string& path) {
  for (int attempt = 0;; ++attempt) {
    fs::create_directories(path);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && (errno != ENOENT || attempt >= 3)) {
      throw os_error(errno, "cannot open the run directory " + support::quoted(path));
    }
    if (fd) {
      while (::flock(fd.get(), LOCK_SH) != 0) {
        if (errno != EINTR) {
          throw os_error(errno, "cannot lock the run directory " + support::quoted(path));
        }
      }
      struct stat held {};
      struct stat named {};
      if (::fstat(fd.get(), &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        return std::make_shared<UniqueFd>(std::move(fd));
      }
      if (attempt >= 3) {
        throw os_error(EAGAIN, "cannot lock the run directory " + support::quoted(path));
      }
    }
  }
}

// Children first, so that nothing becomes the user's before what it holds.
void chown_below(int dir_fd, int depth, uid_t uid, gid_t gid) {
  for (const auto& name : entries_of(dir_fd)) {
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (S_ISDIR(st.st_mode) && depth < MAX_DEPTH) {
      if (UniqueFd sub = open_subdir(dir_fd, name)) {
        chown_below(sub.get(), depth + 1, uid, gid);
      }
    }
    if (::fchownat(dir_fd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
      throw os_error(errno, "cannot hand the run directory to its user");
    }
  }
}

}  // namespace

namespace detail {

bool has_file_output_sources(const alias::Alias& alias_def) {
  const auto is_file = [](const alias::OutputSource& source) {
    return !source.token.empty() && source.token.front() != '%';
  };
  const alias::OutputTemplate& output = alias_def.output;
  if (output.single_value && is_file(output.single_value->source)) {
    return true;
  }
  if (output.multiple_values) {
    for (const auto& value : *output.multiple_values) {
      if (is_file(value.source)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace detail

bool needs_external_dir(const alias::Alias& alias_def) {
  const alias::ContainerSpec* container = alias_def.container();
  if (container == nullptr) {
    return false;
  }
  return std::ranges::any_of(container->volumes, [](const auto& volume) {
    return volume.kind != alias::VolumeSource::host;
  });
}

bool needs_run_dir(const alias::Alias& alias_def) {
  if (const alias::ProcessSpec* process = alias_def.process()) {
    return !process->files.empty() || detail::has_file_output_sources(alias_def);
  }
  return needs_external_dir(alias_def) || detail::has_file_output_sources(alias_def);
}

bool needs_auto_dir(const alias::Alias& alias_def) {
  const alias::ContainerSpec* container = alias_def.container();
  if (container == nullptr) {
    return false;
  }
  return std::ranges::any_of(container->volumes, [](const auto& volume) {
    return volume.kind == alias::VolumeSource::automatic;
  });
}

RunInfo create(const std::string& shared_dir, const alias::Alias& alias_def,
               const std::string& correlation_id) {
  const std::string run_id = correlation_id.empty() ? support::uuid4() : correlation_id;
  RunInfo info;
  info.run_dir = (fs::path(shared_dir) / run_id).string();
  info.lock = lock_run_dir(info.run_dir);
  if (needs_auto_dir(alias_def)) {
    auto auto_dir = (fs::path(info.run_dir) / "auto").string();
    fs::create_directories(auto_dir);
    info.auto_dir = auto_dir;
  }
  return info;
}

void cleanup(const std::string& run_dir) noexcept {
  if (run_dir.empty()) {
    return;
  }
  try {
    fs::path path = fs::path(run_dir).lexically_normal();
    if (!path.has_filename()) {
      path = path.parent_path();
    }
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent_fd) {
      remove_tree_at(parent_fd.get(), path.filename().string());
    }
  } catch (const std::exception& e) {
    try {
      logger::debug(std::string("Run-dir cleanup error (ignored): ") + e.what());
    } catch (...) {
    }
  } catch (...) {
  }
}

std::size_t remove_abandoned(const std::string& shared_dir) noexcept {
  std::size_t removed = 0;
  try {
    UniqueFd shared(::open(shared_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!shared) {
      return 0;
    }
    for (const auto& name : entries_of(shared.get())) {
      if (!support::is_uuid(name)) {
        continue;
      }
      UniqueFd dir(
          ::openat(shared.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      // Held by a live run (ours or another instance's on the same SharedDir).
      if (!dir || ::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
        continue;
      }
      remove_tree_at(shared.get(), name);
      ++removed;
    }
  } catch (...) {
  }
  return removed;
}

void hand_over(const std::string& run_dir, uid_t uid, gid_t gid) {
  UniqueFd root(::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) {
    throw os_error(errno, "cannot hand the run directory to its user");
  }
  chown_below(root.get(), 0, uid, gid);
  if (::fchown(root.get(), uid, gid) != 0) {
    throw os_error(errno, "cannot hand the run directory to its user");
  }
}

std::string join_run_path(const std::string& run_dir, const std::string& rendered,
                          bool from_parameter, std::string_view source) {
  fs::path joined = fs::path(run_dir) / rendered;
  if (!from_parameter) {
    return joined.string();
  }
  fs::path normal = joined.lexically_normal();
  fs::path base = fs::path(run_dir).lexically_normal();
  // Compare whole components so that "/run/abc" does not accept "/run/abcd".
  auto b = base.begin();
  auto n = normal.begin();
  for (; b != base.end(); ++b) {
    if (b->empty()) {
      continue;  // trailing separator of the base
    }
    if (n == normal.end() || *n != *b) {
      // The rendered text carries the client's value, which must not reach a log.
      throw PathEscape(source.empty()
                           ? std::string("path escapes the run directory")
                           : "path escapes the run directory: " + support::quoted(source));
    }
    ++n;
  }
  return normal.string();
}

}  // namespace velquin::scratch
