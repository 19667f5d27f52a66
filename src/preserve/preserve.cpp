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
#include "support/fd.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/text.h"

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
      : std::runtime_error("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": " +
                           quoted(path)) {}
};

std::string os_error_text(const std::filesystem::filesystem_error& e) {
  int err = e.code().value();
  std::string text = "[Errno " + std::to_string(err) + "] " + std::strerror(err);
  if (!e.path1().empty()) {
    text += ": " + quoted(e.path1().string());
  }
  return text;
}

bool truthy(const json& value) {
  if (value.is_null()) {
    return false;
  }
  if (value.is_boolean()) {
    return value.get<bool>();
  }
  if (value.is_number()) {
    return value.get<double>() != 0.0;
  }
  if (value.is_string() || value.is_array() || value.is_object()) {
    return !value.empty();
  }
  return true;
}

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

void create_parent(const fs::path& dest) {
  std::error_code ec;
  if (dest.has_parent_path()) {
    fs::create_directories(dest.parent_path(), ec);
    if (ec) {
      throw OsError(ec.value(), dest.parent_path().string());
    }
  }
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

// Content, permission bits and access/modification times; follows a link.
void copy_with_metadata(const std::string& src, const std::string& dest) {
  UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in) {
    throw OsError(errno, src);
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) {
    throw OsError(errno, src);
  }
  if (S_ISDIR(st.st_mode)) {
    throw OsError(EISDIR, src);
  }
  if (!S_ISREG(st.st_mode)) {
    // Reading a FIFO or a device could block or never end.
    throw OsError(EINVAL, src);
  }
  UniqueFd out(::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out) {
    throw OsError(errno, dest);
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw OsError(errno, src);
    }
    if (n == 0) {
      break;
    }
    write_all(out.get(), buf, static_cast<std::size_t>(n), dest);
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) {
    throw OsError(errno, dest);
  }
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) {
    throw OsError(errno, dest);
  }
  if (::close(out.release()) != 0) {
    throw OsError(errno, dest);
  }
}

// Top-down like a directory walk: a directory's files first, then its
// subdirectories in listing order. Links to directories are not entered.
void walk(const fs::path& root, const fs::path& dir, std::vector<Entry>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    return;
  }
  std::vector<fs::path> subdirs;
  while (struct dirent* ent = ::readdir(d)) {
    std::string name = ent->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    fs::path abs = dir / name;
    struct stat st {};
    bool is_dir = ::stat(abs.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (is_dir) {
      struct stat lst {};
      if (::lstat(abs.c_str(), &lst) == 0 && !S_ISLNK(lst.st_mode)) {
        subdirs.push_back(abs);
      }
      continue;
    }
    out.push_back({abs.lexically_relative(root).generic_string(), abs.string()});
  }
  ::closedir(d);
  for (const auto& sub : subdirs) {
    walk(root, sub, out);
  }
}

// True when abs_path is a symbolic link whose target resolves outside root.
bool link_leaves(const std::string& root, const std::string& abs_path) {
  struct stat lst {};
  if (::lstat(abs_path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) {
    return false;
  }
  std::error_code ec;
  fs::path base = fs::weakly_canonical(root, ec);
  if (ec) {
    return true;
  }
  fs::path target = fs::weakly_canonical(abs_path, ec);
  if (ec) {
    return true;
  }
  auto rel = target.lexically_relative(base);
  return rel.empty() || *rel.begin() == "..";
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
  std::vector<Entry> out;
  if (!is_dir) {
    struct stat st {};
    if (::stat(local_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      out.push_back({fs::path(local_path).filename().string(), local_path});
    }
    return out;
  }
  struct stat st {};
  if (::stat(local_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return out;
  }
  walk(fs::path(local_path), fs::path(local_path), out);
  return out;
}

std::string _dest_path(const std::string& rel_path, const std::string& preserve_mode,
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
  std::vector<std::string> errors;
  for (const auto& entry : compute_entries(local_path, is_dir)) {
    const std::string dest =
        _dest_path(entry.rel_path, preserve_mode, prefix, log_dir, correlation_id);
    const std::string head = "failed to preserve " + quoted(entry.abs_path) + " to " + quoted(dest);
    // A link planted inside the volume must not make us copy host files.
    if (is_dir && link_leaves(local_path, entry.abs_path)) {
      errors.push_back(head + ": symbolic link points outside the volume");
      continue;
    }
    try {
      create_parent(dest);
      copy_with_metadata(entry.abs_path, dest);
    } catch (const OsError& e) {
      errors.push_back(head + ": " + e.what());
    } catch (const fs::filesystem_error& e) {
      errors.push_back(head + ": " + os_error_text(e));
    }
  }
  return errors;
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
      for (const auto& error : preserve_volume(spec.local_path, spec.is_dir, spec.preserve_mode,
                                               spec.prefix, dir, cid)) {
        logger::error("Volume preserve failed: " + error);
      }
    } catch (const std::exception& e) {
      try {
        logger::error("Volume preserve failed for " + quoted(spec.local_path) + ": " + e.what());
      } catch (...) {
      }
    } catch (...) {
    }
  }
}

json expand_preserve_streams(const json& raw) {
  if (raw.is_boolean() && raw.get<bool>()) {
    // Sorted stream names: stderr before stdout.
    return json::array({json{{"stream", "stderr"}}, json{{"stream", "stdout"}}});
  }
  if (!truthy(raw)) {
    return json::array();
  }
  if (!raw.is_array()) {
    throw std::invalid_argument("preserveStreams must be a boolean or a list of stream entries");
  }
  return raw;
}

std::string _stream_filename(const json& entry) {
  if (entry.is_object()) {
    auto it = entry.find("filename");
    if (it != entry.end() && !it->is_null()) {
      std::string name = text_of(*it);
      if (!name.empty()) {
        return name;
      }
    }
    auto s = entry.find("stream");
    if (s != entry.end()) {
      return text_of(*s) + ".log";
    }
  }
  return ".log";
}

std::string _stream_dest_path(const std::string& filename, bool flatten, const std::string& log_dir,
                              const std::string& correlation_id) {
  if (flatten) {
    return (fs::path(log_dir) / (correlation_id + "_" + filename)).string();
  }
  return (fs::path(log_dir) / correlation_id / filename).string();
}

void preserve_streams(const json& entries, const std::optional<std::string>& stdout_text,
                      const std::optional<std::string>& stderr_text, const std::string& log_dir,
                      const std::string& correlation_id) {
  if (!entries.is_array() || entries.empty()) {
    return;
  }
  const std::string dir = log_dir.empty() ? DEFAULT_LOG_DIR : log_dir;
  const std::string cid = correlation_id.empty() ? DEFAULT_CORRELATION_ID : correlation_id;
  for (const auto& entry : entries) {
    if (!entry.is_object() || !entry.contains("stream")) {
      throw std::invalid_argument("stream entry without 'stream': " + entry.dump());
    }
    const std::string stream = text_of(entry.at("stream"));
    const std::optional<std::string>* content = nullptr;
    if (stream == "stdout") {
      content = &stdout_text;
    } else if (stream == "stderr") {
      content = &stderr_text;
    }
    if (content == nullptr || !content->has_value() || (*content)->empty()) {
      continue;
    }
    const std::string text = support::decode_utf8_replace(**content);
    const bool flatten = entry.contains("flatten") && truthy(entry.at("flatten"));
    const std::string dest = _stream_dest_path(_stream_filename(entry), flatten, dir, cid);
    try {
      create_parent(dest);
      UniqueFd fd(::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
      if (!fd) {
        throw OsError(errno, dest);
      }
      write_all(fd.get(), text.data(), text.size(), dest);
      if (::close(fd.release()) != 0) {
        throw OsError(errno, dest);
      }
    } catch (const OsError& e) {
      logger::error("Stream preserve failed: failed to preserve " + stream + " to " + quoted(dest) +
                    ": " + e.what());
    }
  }
}

}  // namespace velquin::preserve
