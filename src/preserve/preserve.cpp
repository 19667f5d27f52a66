#include "preserve/preserve.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "logger/logger.h"
#include "support/beneath.h"
#include "support/fd.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "support/uuid.h"

namespace velquin::preserve {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using support::quoted;
using support::UniqueFd;

namespace {

constexpr const char* DEFAULT_LOG_DIR = "/var/log/velquin";
constexpr const char* DEFAULT_CORRELATION_ID = "unknown";

// A per-file operating-system failure: collected, never fatal for the volume.
class OsError : public std::runtime_error {
 public:
  OsError(int err, const std::string& path)
      : std::runtime_error(errno_text(err) + ": " + quoted(path)), err_(err) {}
  // Without the path, for volumes whose paths carry a parameter value.
  std::string bare() const { return errno_text(err_); }

 private:
  static std::string errno_text(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
  }
  int err_;
};

// A source that is refused on purpose rather than by the OS.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string text_of(const json& value) {
  return value.is_string() ? value.get<std::string>() : support::value_text(value);
}

// Treats the prefix as relative: an absolute prefix must not move the copies
// out of the log directory.
std::string relative_prefix(const std::string& prefix) {
  std::size_t i = 0;
  while (i < prefix.size() && prefix[i] == '/') {
    ++i;
  }
  return prefix.substr(i);
}

// The directory `rel` below dir_fd, created where missing, entered without
// following any link: a link planted in the log directory redirects nothing.
UniqueFd make_dirs_beneath(int dir_fd, const fs::path& rel) {
  UniqueFd current(::openat(dir_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const auto& part : rel) {
    const std::string name = part.string();
    if (!current || name.empty() || name == ".") {
      continue;
    }
    if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
      return UniqueFd();
    }
    current.reset(
        ::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

// The destination's directory, opened. The log directory itself is the
// operator's and may be reached through links; what lies below it may not,
// unless an operator's prefix climbs out of it on purpose.
UniqueFd open_dest_dir(const fs::path& log_dir, const fs::path& dest) {
  const fs::path parent = dest.parent_path();
  const auto without_trailing_slash = [](fs::path p) {
    p = p.lexically_normal();
    return p.has_filename() || !p.has_relative_path() ? p : p.parent_path();
  };
  const fs::path rel =
      without_trailing_slash(parent).lexically_relative(without_trailing_slash(log_dir));
  std::error_code ec;
  if (rel.empty() || *rel.begin() == "..") {
    fs::create_directories(parent, ec);
    if (ec) {
      throw OsError(ec.value(), parent.string());
    }
    UniqueFd dir(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
      throw OsError(errno, parent.string());
    }
    return dir;
  }
  fs::create_directories(log_dir, ec);
  if (ec) {
    throw OsError(ec.value(), log_dir.string());
  }
  UniqueFd root(::open(log_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  UniqueFd dir = root ? make_dirs_beneath(root.get(), rel) : UniqueFd();
  if (!dir) {
    throw OsError(errno, parent.string());
  }
  return dir;
}

void write_all(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw OsError(errno, path);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Writes dest through a fresh file renamed over it: whatever sits at dest
// (a link, a hard link to another file) is replaced, never written through.
// fill writes the content into the descriptor it gets.
template <typename Fill>
void write_replacing(const fs::path& log_dir, const fs::path& dest, mode_t create_mode, Fill fill) {
  UniqueFd dir = open_dest_dir(log_dir, dest);
  const std::string name = dest.filename().string();
  const std::string temp = ".velquin-" + support::uuid4_hex() + ".tmp";
  UniqueFd out(
      ::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode));
  if (!out) {
    throw OsError(errno, dest.string());
  }
  support::ScopeExit drop_temp([&] { ::unlinkat(dir.get(), temp.c_str(), 0); });
  fill(out.get());
  if (::close(out.release()) != 0) {
    throw OsError(errno, dest.string());
  }
  if (::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) {
    throw OsError(errno, dest.string());
  }
  drop_temp.dismiss();
}

// Content, permission bits and access/modification times of a regular file
// that src names (an O_PATH descriptor).
void copy_with_metadata(int src, const std::string& src_path, const fs::path& log_dir,
                        const fs::path& dest) {
  struct stat st {};
  UniqueFd in = support::open_regular(src, st);
  if (!in) {
    // Reading a FIFO or a device could block, never end or act on hardware.
    throw OsError(errno == ELOOP ? EINVAL : errno, src_path);
  }
  write_replacing(log_dir, dest, 0600, [&](int out) {
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(in.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        throw OsError(errno, src_path);
      }
      if (n == 0) {
        break;
      }
      write_all(out, buf, static_cast<std::size_t>(n), dest.string());
    }
    if (::fchmod(out, st.st_mode & 07777) != 0) {
      throw OsError(errno, dest.string());
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) {
      throw OsError(errno, dest.string());
    }
  });
}

// Top-down like a directory walk: a directory's files first, then its
// subdirectories in listing order. Directories are entered without following
// links, and links to directories are not listed at all.
void walk(int dir_fd, const fs::path& root, const fs::path& dir, std::vector<Entry>& out) {
  UniqueFd list_fd(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* d = list_fd ? ::fdopendir(list_fd.get()) : nullptr;
  if (d == nullptr) {
    return;
  }
  list_fd.release();
  support::ScopeExit close_dir([&] { ::closedir(d); });
  std::vector<std::string> subdirs;
  while (struct dirent* ent = ::readdir(d)) {
    std::string name = ent->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      subdirs.push_back(name);
      continue;
    }
    // Only the kind of a link's target is looked at here; nothing is opened.
    if (S_ISLNK(st.st_mode) && ::fstatat(dir_fd, name.c_str(), &st, 0) == 0 &&
        S_ISDIR(st.st_mode)) {
      continue;
    }
    const fs::path abs = dir / name;
    out.push_back({abs.lexically_relative(root).generic_string(), abs.string()});
  }
  for (const auto& name : subdirs) {
    UniqueFd sub(::openat(dir_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub) {
      walk(sub.get(), root, dir / name, out);
    }
  }
}

// The volume's own path as an O_PATH descriptor that may name a link. Below
// the run directory, a link anywhere in the path is refused (ELOOP).
UniqueFd open_volume(const std::string& local_path, const std::string& base) {
  if (!base.empty()) {
    const fs::path rel = fs::path(local_path)
                             .lexically_normal()
                             .lexically_relative(fs::path(base).lexically_normal());
    if (!rel.empty() && *rel.begin() != "..") {
      UniqueFd base_fd(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!base_fd) {
        return UniqueFd();
      }
      std::string inner = rel.string();
      while (!inner.empty() && inner.back() == '/') {
        inner.pop_back();
      }
      return support::open_beneath(base_fd.get(), inner, O_PATH | O_NOFOLLOW,
                                   support::Links::refuse);
    }
  }
  std::string path = local_path;
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return UniqueFd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

struct Volume {
  UniqueFd fd;  // invalid: nothing to preserve
  bool is_link = false;
  std::vector<Entry> entries;
};

Volume list_volume(const std::string& local_path, bool is_dir, const std::string& base) {
  Volume v;
  v.fd = open_volume(local_path, base);
  struct stat st {};
  // A link higher up in the path, or the volume itself; anything else that is
  // neither a file nor a directory as the alias expects gives nothing.
  const bool opened = v.fd && ::fstat(v.fd.get(), &st) == 0;
  if ((!v.fd && errno == ELOOP) || (opened && S_ISLNK(st.st_mode))) {
    v.is_link = true;
  } else if (opened && !is_dir && S_ISREG(st.st_mode)) {
    v.entries.push_back({fs::path(local_path).filename().string(), local_path});
  } else if (opened && is_dir && S_ISDIR(st.st_mode)) {
    walk(v.fd.get(), fs::path(local_path), fs::path(local_path), v.entries);
  } else {
    v.fd.reset();
  }
  if (v.is_link) {
    v.entries.push_back({fs::path(local_path).filename().string(), local_path});
  }
  return v;
}

// The source of one entry as an O_PATH descriptor. Inside a directory volume
// a link is followed only while it stays inside; a single-file volume that is
// a link is never followed.
UniqueFd open_entry(const Volume& v, bool is_dir, const std::string& rel_path) {
  if (v.is_link) {
    throw Refused("symbolic link is not followed");
  }
  if (!is_dir) {
    return UniqueFd(::fcntl(v.fd.get(), F_DUPFD_CLOEXEC, 3));
  }
  UniqueFd fd = support::open_beneath(v.fd.get(), rel_path, O_PATH, support::Links::beneath);
  if (!fd && errno == EXDEV) {
    throw Refused("symbolic link points outside the volume");
  }
  if (!fd && errno == ELOOP) {
    throw Refused("symbolic link is not followed");
  }
  return fd;
}

std::vector<std::string> preserve_one(const PreserveSpec& spec, const std::string& log_dir,
                                      const std::string& correlation_id) {
  std::vector<std::string> errors;
  const Volume volume = list_volume(spec.local_path, spec.is_dir, spec.base);
  for (const auto& entry : volume.entries) {
    const std::string dest =
        detail::dest_path(entry.rel_path, spec.preserve_mode, spec.prefix, log_dir, correlation_id);
    std::string head;
    if (spec.label) {
      std::string name = *spec.label;
      if (spec.is_dir) {
        name += (name.empty() || name.back() != '/' ? "/" : "") + entry.rel_path;
      }
      head = "failed to preserve volume " + support::quoted(std::string_view(name));
    } else {
      head = "failed to preserve " + quoted(entry.abs_path) + " to " + quoted(dest);
    }
    try {
      UniqueFd src = open_entry(volume, spec.is_dir, entry.rel_path);
      if (!src) {
        throw OsError(errno, entry.abs_path);
      }
      copy_with_metadata(src.get(), entry.abs_path, log_dir, dest);
    } catch (const Refused& e) {
      errors.push_back(head + ": " + e.what());
    } catch (const OsError& e) {
      errors.push_back(head + ": " + (spec.label ? e.bare() : std::string(e.what())));
    }
  }
  return errors;
}

}  // namespace

std::string normalize_preserve(const json& value) {
  if (value.is_null()) {
    return "none";
  }
  if (value.is_boolean()) {
    return value.get<bool>() ? "true" : "false";
  }
  return support::to_lower(text_of(value));
}

bool is_preserve_enabled(const json& value) {
  const std::string mode = normalize_preserve(value);
  for (auto disabled : detail::DISABLED_VALUES) {
    if (mode == disabled) {
      return false;
    }
  }
  return true;
}

std::vector<Entry> compute_entries(const std::string& local_path, bool is_dir) {
  return list_volume(local_path, is_dir, "").entries;
}

std::string detail::dest_path(const std::string& rel_path, const std::string& preserve_mode,
                              const std::optional<std::string>& prefix, const std::string& log_dir,
                              const std::string& correlation_id) {
  const bool has_prefix = prefix.has_value() && !prefix->empty();
  if (preserve_mode == "flatten") {
    std::string flat = rel_path;
    for (char& c : flat) {
      if (c == '/') {
        c = '_';
      }
    }
    std::string name = correlation_id + "_";
    if (has_prefix) {
      name += *prefix + "_";
    }
    name += flat;
    return (fs::path(log_dir) / name).string();
  }
  fs::path dest = fs::path(log_dir) / correlation_id;
  if (has_prefix) {
    dest /= relative_prefix(*prefix);
  }
  dest /= rel_path;
  return dest.string();
}

std::vector<std::string> preserve_volume(const std::string& local_path, bool is_dir,
                                         const std::string& preserve_mode,
                                         const std::optional<std::string>& prefix,
                                         const std::string& log_dir,
                                         const std::string& correlation_id) {
  return preserve_one({local_path, is_dir, preserve_mode, prefix}, log_dir, correlation_id);
}

void preserve_volumes(const std::vector<PreserveSpec>& specs, const std::string& log_dir,
                      const std::string& correlation_id) noexcept {
  if (specs.empty()) {
    return;
  }
  const std::string dir = log_dir.empty() ? DEFAULT_LOG_DIR : log_dir;
  const std::string cid = correlation_id.empty() ? DEFAULT_CORRELATION_ID : correlation_id;
  for (const auto& spec : specs) {
    try {
      for (const auto& error : preserve_one(spec, dir, cid)) {
        logger::error("Volume preserve failed: " + error);
      }
    } catch (const std::exception& e) {
      try {
        logger::error("Volume preserve failed for " +
                      (spec.label ? "volume " + quoted(*spec.label) : quoted(spec.local_path)) +
                      ": " + e.what());
      } catch (...) {
      }
    } catch (...) {
    }
  }
}

std::string detail::stream_filename(const alias::StreamEntry& entry) {
  return entry.filename.empty() ? entry.stream + ".log" : entry.filename;
}

std::string detail::stream_dest_path(const std::string& filename, bool flatten,
                                     const std::string& log_dir,
                                     const std::string& correlation_id) {
  if (flatten) {
    return (fs::path(log_dir) / (correlation_id + "_" + filename)).string();
  }
  return (fs::path(log_dir) / correlation_id / filename).string();
}

void preserve_streams(const std::vector<alias::StreamEntry>& entries,
                      const std::optional<std::string>& stdout_text,
                      const std::optional<std::string>& stderr_text, const std::string& log_dir,
                      const std::string& correlation_id) {
  if (entries.empty()) {
    return;
  }
  const std::string dir = log_dir.empty() ? DEFAULT_LOG_DIR : log_dir;
  const std::string cid = correlation_id.empty() ? DEFAULT_CORRELATION_ID : correlation_id;
  for (const auto& entry : entries) {
    const std::optional<std::string>* content = nullptr;
    if (entry.stream == "stdout") {
      content = &stdout_text;
    } else if (entry.stream == "stderr") {
      content = &stderr_text;
    }
    if (content == nullptr || !content->has_value() || (*content)->empty()) {
      continue;
    }
    const std::string& raw = **content;
    // Valid text (the usual case) is written as it is, without another copy.
    const bool valid = support::is_valid_utf8(raw);
    const std::string replaced = valid ? std::string() : support::decode_utf8_replace(raw);
    const std::string& text = valid ? raw : replaced;
    const std::string dest =
        detail::stream_dest_path(detail::stream_filename(entry), entry.flatten, dir, cid);
    try {
      write_replacing(dir, dest, 0666,
                      [&](int fd) { write_all(fd, text.data(), text.size(), dest); });
    } catch (const OsError& e) {
      logger::error("Stream preserve failed: failed to preserve " + entry.stream + " to " +
                    quoted(dest) + ": " + e.what());
    }
  }
}

}  // namespace velquin::preserve
