// Output files and directories named by an alias's output template. They are
// read after the command ran, so nothing it planted (symbolic links, FIFOs)
// may make the service read outside the run directory or block.

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zip.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "executor/executor.h"
#include "scratch/scratch.h"
#include "support/json_value.h"
#include "support/fd.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "template/template.h"

namespace velquin::executor {

namespace fs = std::filesystem;
using support::UniqueFd;

namespace {

using support::is_empty_value;
using support::member;

bool is_stream_token(const std::string& token) {
  return token == "%stdOut" || token == "%stdErr" || token == "%exitCode";
}

std::string token_text(const json* value) {
  if (value == nullptr || value->is_null()) {
    return "";
  }
  return value->is_string() ? value->get<std::string>() : value->dump();
}

const json& output_of(const json& alias_cfg) {
  static const json empty = json::object();
  const json* output = member(alias_cfg, "output");
  return is_empty_value(output) ? empty : *output;
}

// Tokens for pre-creation: lenient about the template's shape.
std::vector<std::string> tokens_to_precreate(const json& output) {
  std::vector<std::string> tokens;
  const json* single = member(output, "single_value");
  if (!is_empty_value(single)) {
    const json* source = member(*single, "source");
    if (!is_empty_value(source)) {
      tokens.push_back(token_text(source));
    }
  }
  const json* multiple = member(output, "multiple_values");
  if (!is_empty_value(multiple) && multiple->is_array()) {
    for (const auto& element : *multiple) {
      const json* source = member(element, "source");
      if (element.is_object() && !is_empty_value(source)) {
        tokens.push_back(token_text(source));
      }
    }
  }
  return tokens;
}

// Tokens for collection: every element must be a mapping.
std::vector<std::string> tokens_to_collect(const json& output) {
  std::vector<std::string> tokens;
  if (!output.is_object()) {
    throw std::runtime_error("output template must be a mapping");
  }
  if (const json* single = member(output, "single_value")) {
    if (!single->is_object() && !single->is_null()) {
      throw std::runtime_error("output single_value must be a mapping");
    }
    tokens.push_back(token_text(member(*single, "source")));
  }
  if (const json* multiple = member(output, "multiple_values")) {
    if (!multiple->is_array() && !multiple->is_null()) {
      throw std::runtime_error("output multiple_values must be a list");
    }
    if (multiple->is_array()) {
      for (const auto& element : *multiple) {
        if (!element.is_object()) {
          throw std::runtime_error("output multiple_values entries must be mappings");
        }
        tokens.push_back(token_text(member(element, "source")));
      }
    }
  }
  return tokens;
}

// Opens path below root_fd; symbolic links may be followed only while they
// stay below it.
int open_beneath(int root_fd, const std::string& rel, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, root_fd, rel.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) {
    return static_cast<int>(fd);
  }
  // Older kernels: walk the components without following any link.
  UniqueFd dir(::fcntl(root_fd, F_DUPFD_CLOEXEC, 3));
  if (!dir) {
    return -1;
  }
  std::vector<std::string> parts;
  for (const auto& part : fs::path(rel)) {
    std::string p = part.string();
    if (p.empty() || p == "." || p == "/") {
      continue;
    }
    if (p == "..") {
      errno = EXDEV;
      return -1;
    }
    parts.push_back(p);
  }
  if (parts.empty()) {
    return ::openat(dir.get(), ".", flags | O_CLOEXEC);
  }
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    UniqueFd next(
        ::openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      return -1;
    }
    dir = std::move(next);
  }
  return ::openat(dir.get(), parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

// Where a path lies relative to the run directory: the relative part when it
// is inside, none when it is outside (an administrator's literal path).
std::optional<std::string> inside_run_dir(const std::string& run_dir, const std::string& path) {
  fs::path rel =
      fs::path(path).lexically_normal().lexically_relative(fs::path(run_dir).lexically_normal());
  if (rel.empty() || *rel.begin() == "..") {
    return std::nullopt;
  }
  return rel.string();
}

// Opens an output path: below the run directory without escaping it,
// elsewhere (administrator's literal) as it is.
UniqueFd open_output(const std::string& run_dir, const std::string& path, int flags) {
  if (auto rel = inside_run_dir(run_dir, path)) {
    UniqueFd root(::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
      return UniqueFd();
    }
    return UniqueFd(open_beneath(root.get(), *rel, flags));
  }
  return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC));
}

// Reads a regular file whole; false for anything else or on a read error.
bool read_regular(int fd, std::string& out, struct stat* st_out = nullptr) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  if (st_out != nullptr) {
    *st_out = st;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

constexpr uid_t ANY_OWNER = static_cast<uid_t>(-1);

// A `user` run owns its run directory, and where fs.protected_hardlinks is
// off that user could hard-link a file it may not read (/etc/shadow) into
// it. There a file with other links is read only when that user owns it.
bool foreign_hard_link(int fd, uid_t owner) {
  struct stat st {};
  return owner != ANY_OWNER && (::fstat(fd, &st) != 0 || (st.st_nlink > 1 && st.st_uid != owner));
}

// The owner that files at path must have when they carry other links:
// ANY_OWNER for the service's own run directories and for paths outside them.
uid_t link_owner(const std::string& run_dir, const std::string& path) {
  struct stat st {};
  if (!inside_run_dir(run_dir, path) || ::stat(run_dir.c_str(), &st) != 0 ||
      st.st_uid == ::geteuid()) {
    return ANY_OWNER;
  }
  return st.st_uid;
}

std::string read_output_file(const std::string& run_dir, const std::string& path) {
  UniqueFd fd = open_output(run_dir, path, O_RDONLY | O_NONBLOCK);
  std::string bytes;
  if (fd && foreign_hard_link(fd.get(), link_owner(run_dir, path))) {
    return "";
  }
  if (!fd || !read_regular(fd.get(), bytes)) {
    return "";
  }
  return support::universal_newlines(support::decode_utf8_replace(bytes));
}

class ZipWriter {
 public:
  ZipWriter() {
    zip_error_t error;
    zip_error_init(&error);
    source_ = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (source_ == nullptr) {
      throw_error(&error);
    }
    archive_ = zip_open_from_source(source_, ZIP_TRUNCATE, &error);
    if (archive_ == nullptr) {
      zip_source_free(source_);
      source_ = nullptr;
      throw_error(&error);
    }
    // Keep the buffer after zip_close so that we can read the archive back.
    zip_source_keep(source_);
  }
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ~ZipWriter() {
    if (archive_ != nullptr) {
      zip_discard(archive_);
    }
    if (source_ != nullptr) {
      zip_source_free(source_);
    }
  }

  void add(const std::string& name, std::string content, time_t mtime) {
    const std::string& data = contents_.emplace_back(std::move(content));
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* file = zip_source_buffer_create(data.data(), data.size(), 0, &error);
    if (file == nullptr) {
      throw_error(&error);
    }
    zip_int64_t index =
        zip_file_add(archive_, name.c_str(), file, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(file);
      throw_error(zip_get_error(archive_));
    }
    auto i = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive_, i, ZIP_CM_DEFLATE, 0) != 0 ||
        zip_file_set_mtime(archive_, i, mtime, 0) != 0) {
      throw_error(zip_get_error(archive_));
    }
    ++count_;
  }

  std::string finish() {
    if (count_ == 0) {
      // libzip writes nothing for an empty archive; a valid empty ZIP is its
      // end-of-central-directory record alone.
      return std::string("PK\x05\x06", 4) + std::string(18, '\0');
    }
    if (zip_close(archive_) != 0) {
      throw_error(zip_get_error(archive_));
    }
    archive_ = nullptr;
    zip_stat_t st;
    if (zip_source_stat(source_, &st) != 0 || zip_source_open(source_) != 0) {
      throw_error(zip_source_error(source_));
    }
    support::ScopeExit close_source([&] { zip_source_close(source_); });
    std::string out(static_cast<std::size_t>(st.size), '\0');
    zip_int64_t n = zip_source_read(source_, out.data(), st.size);
    if (n < 0 || static_cast<zip_uint64_t>(n) != st.size) {
      throw_error(zip_source_error(source_));
    }
    return out;
  }

 private:
  [[noreturn]] static void throw_error(zip_error_t* error) {
    std::string message = std::string("cannot build the ZIP archive: ") + zip_error_strerror(error);
    zip_error_fini(error);
    throw std::runtime_error(message);
  }

  zip_source_t* source_ = nullptr;
  zip_t* archive_ = nullptr;
  std::deque<std::string> contents_;  // buffers must outlive zip_close
  int count_ = 0;
};

// Top-down: a directory's files, then its subdirectories. Links to
// directories are never entered; a link to a file counts only while it
// resolves below the output directory.
void archive_tree(int root_fd, int dir_fd, const std::string& prefix, ZipWriter& zip, uid_t owner) {
  UniqueFd list_fd(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 3));
  if (!list_fd) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot list " + support::quoted(prefix));
  }
  DIR* d = ::fdopendir(list_fd.get());
  if (d == nullptr) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot list " + support::quoted(prefix));
  }
  list_fd.release();
  support::ScopeExit close_dir([&] { ::closedir(d); });

  std::vector<std::string> subdirs;
  while (struct dirent* ent = ::readdir(d)) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    struct stat lst {};
    if (::fstatat(dir_fd, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished meanwhile
    }
    if (S_ISDIR(lst.st_mode)) {
      subdirs.push_back(name);
      continue;
    }
    UniqueFd fd;
    if (S_ISREG(lst.st_mode)) {
      fd.reset(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!fd) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot read " + support::quoted(rel));
      }
    } else if (S_ISLNK(lst.st_mode)) {
      fd.reset(open_beneath(root_fd, rel, O_RDONLY | O_NONBLOCK));
      if (!fd) {
        continue;  // dangling, or pointing out of the directory
      }
    } else {
      continue;
    }
    if (foreign_hard_link(fd.get(), owner)) {
      continue;
    }
    std::string content;
    struct stat st {};
    if (!read_regular(fd.get(), content, &st)) {
      if (S_ISLNK(lst.st_mode)) {
        continue;  // a link to something that is not a regular file
      }
      throw std::runtime_error("cannot read " + support::quoted(rel));
    }
    zip.add(rel, std::move(content), st.st_mtime);
  }
  for (const auto& name : subdirs) {
    UniqueFd sub(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    if (!sub) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot list " + support::quoted(rel));
    }
    archive_tree(root_fd, sub.get(), rel, zip, owner);
  }
}

std::string archive_output_dir(const std::string& run_dir, const std::string& abs_dir) {
  UniqueFd dir = open_output(run_dir, abs_dir, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    return "";
  }
  ZipWriter zip;
  archive_tree(dir.get(), dir.get(), "", zip, link_owner(run_dir, abs_dir));
  return support::base64_encode(zip.finish());
}

}  // namespace

void _precreate_output_dirs(const json& alias_cfg, const json& params,
                            const std::optional<std::string>& run_dir) {
  if (!run_dir || run_dir->empty()) {
    return;
  }
  for (const auto& token : tokens_to_precreate(output_of(alias_cfg))) {
    if (token.empty() || token.front() == '%') {
      continue;
    }
    const std::string rendered = tmpl::render(token, params);
    if (rendered.empty()) {
      continue;
    }
    const bool from_parameter = tmpl::references_parameter(token);
    const std::string path = scratch::join_run_path(*run_dir, rendered, from_parameter);
    if (rendered.back() == '/') {
      fs::create_directories(path);
      continue;
    }
    const std::string parent = fs::path(path).parent_path().string();
    if (!parent.empty() && parent != *run_dir) {
      fs::create_directories(parent);
    }
  }
}

json _collect_output_files(const json& alias_cfg, const json& params,
                           const std::optional<std::string>& run_dir) {
  json file_outputs = json::object();
  if (!run_dir || run_dir->empty()) {
    return file_outputs;
  }
  for (const auto& token : tokens_to_collect(output_of(alias_cfg))) {
    if (token.empty() || is_stream_token(token)) {
      continue;
    }
    const std::string rendered = tmpl::render(token, params);
    const bool from_parameter = tmpl::references_parameter(token);
    if (!rendered.empty() && rendered.back() == '/') {
      std::string stripped = rendered;
      while (!stripped.empty() && stripped.back() == '/') {
        stripped.pop_back();
      }
      const std::string abs_dir = scratch::join_run_path(*run_dir, stripped, from_parameter);
      file_outputs[token] = archive_output_dir(*run_dir, abs_dir);
    } else {
      const std::string abs_path = scratch::join_run_path(*run_dir, rendered, from_parameter);
      file_outputs[token] = read_output_file(*run_dir, abs_path);
    }
  }
  return file_outputs;
}

}  // namespace velquin::executor
