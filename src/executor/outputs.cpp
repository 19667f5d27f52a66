// Output files and directories named by an alias's output template. They are
// read after the command ran, so nothing it planted (symbolic links, FIFOs)
// may make the service read outside the run directory or block.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "executor/executor.h"
#include "scratch/scratch.h"
#include "support/beneath.h"
#include "support/fd.h"
#include "support/quoted.h"
#include "support/scope_exit.h"
#include "support/text.h"
#include "template/template.h"

namespace velquin::executor {

namespace fs = std::filesystem;
using support::UniqueFd;

namespace {

// Every output source of the template: the single value's first.
std::vector<const alias::OutputSource*> sources_of(const alias::OutputTemplate& output) {
  std::vector<const alias::OutputSource*> sources;
  if (output.single_value) {
    sources.push_back(&output.single_value->source);
  }
  if (output.multiple_values) {
    for (const auto& value : *output.multiple_values) {
      sources.push_back(&value.source);
    }
  }
  return sources;
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

constexpr uid_t ANY_OWNER = static_cast<uid_t>(-1);

// A `user` run owns its run directory, and where fs.protected_hardlinks is
// off that user could hard-link a file it may not read (/etc/shadow) into
// it. There a file with other links is read only when that user owns it.
bool foreign_hard_link(const struct stat& st, uid_t owner) {
  return owner != ANY_OWNER && st.st_nlink > 1 && st.st_uid != owner;
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

// An O_PATH descriptor of an output: below the run directory without any
// link, elsewhere (administrator's literal) as it is.
UniqueFd open_output(const std::string& run_dir, const std::string& path, int flags) {
  if (auto rel = inside_run_dir(run_dir, path)) {
    UniqueFd root(::open(run_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
      return UniqueFd();
    }
    return support::open_beneath(root.get(), *rel, O_PATH | flags, support::Links::refuse);
  }
  return UniqueFd(::open(path.c_str(), O_PATH | flags | O_CLOEXEC));
}

std::string output_name(const std::string& token) {
  return "output " + support::quoted(token);
}

// The file as text; the empty text when it is missing, not a regular file or
// unreadable. The apparent size is checked first: a sparse file costs nothing
// on disk but everything in memory.
std::string read_output_file(const std::string& run_dir, const std::string& path,
                             const std::string& token, std::size_t cap) {
  UniqueFd where = open_output(run_dir, path, 0);
  if (!where) {
    return "";
  }
  struct stat st {};
  UniqueFd fd = support::open_regular(where.get(), st);
  if (!fd || foreign_hard_link(st, link_owner(run_dir, path))) {
    return "";
  }
  if (static_cast<std::uint64_t>(st.st_size) > cap) {
    throw OutputTooLarge(output_name(token), cap);
  }
  std::string bytes;
  if (!support::read_up_to(fd.get(), cap, bytes)) {
    return "";
  }
  if (bytes.size() > cap) {
    throw OutputTooLarge(output_name(token), cap);  // it grew while we read
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
    contents_.clear();  // the archive holds its own copy now
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

// One file to archive, found by the walk; read only once the sizes add up.
struct ArchiveItem {
  std::string rel;
  bool via_link = false;
};

// Top-down: a directory's files, then its subdirectories. Links to
// directories are never entered; a link to a file counts only while it
// resolves below the output directory. Sums the apparent sizes.
void list_tree(int root_fd, int dir_fd, const std::string& prefix, const std::string& token,
               std::vector<ArchiveItem>& items, std::uint64_t& total) {
  const auto fail = [&token](int err) {
    return std::system_error(err, std::generic_category(),
                             "cannot list a directory of " + output_name(token));
  };
  UniqueFd list_fd(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!list_fd) {
    throw fail(errno);
  }
  DIR* d = ::fdopendir(list_fd.get());
  if (d == nullptr) {
    throw fail(errno);
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
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished meanwhile
    }
    if (S_ISDIR(st.st_mode)) {
      subdirs.push_back(name);
      continue;
    }
    const bool via_link = S_ISLNK(st.st_mode);
    if (via_link) {
      UniqueFd target = support::open_beneath(root_fd, rel, O_PATH, support::Links::beneath);
      if (!target || ::fstat(target.get(), &st) != 0) {
        continue;  // dangling, or pointing out of the directory
      }
    }
    if (!S_ISREG(st.st_mode)) {
      continue;  // FIFOs, devices, sockets, links to directories
    }
    total += static_cast<std::uint64_t>(st.st_size);
    items.push_back({rel, via_link});
  }
  for (const auto& name : subdirs) {
    UniqueFd sub(::openat(dir_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub) {
      throw fail(errno);
    }
    list_tree(root_fd, sub.get(), prefix.empty() ? name : prefix + "/" + name, token, items, total);
  }
}

std::string archive_output_dir(const std::string& run_dir, const std::string& abs_dir,
                               const std::string& token, std::size_t cap) {
  UniqueFd dir = open_output(run_dir, abs_dir, O_DIRECTORY);
  if (!dir) {
    return "";
  }
  std::vector<ArchiveItem> items;
  std::uint64_t total = 0;
  list_tree(dir.get(), dir.get(), "", token, items, total);
  if (total > cap) {
    throw OutputTooLarge(output_name(token), cap);
  }
  ZipWriter zip;
  std::size_t left = cap;
  const uid_t owner = link_owner(run_dir, abs_dir);
  for (const auto& item : items) {
    UniqueFd where =
        support::open_beneath(dir.get(), item.rel, O_PATH,
                              item.via_link ? support::Links::beneath : support::Links::refuse);
    struct stat st {};
    UniqueFd fd = where ? support::open_regular(where.get(), st) : UniqueFd();
    if (!fd && item.via_link) {
      continue;  // re-pointed since the listing
    }
    if (fd && foreign_hard_link(st, owner)) {
      continue;
    }
    std::string content;
    if (!fd || !support::read_up_to(fd.get(), left, content)) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot read a file of " + output_name(token));
    }
    if (content.size() > left) {
      throw OutputTooLarge(output_name(token), cap);  // files grew after the listing
    }
    left -= content.size();
    zip.add(item.rel, std::move(content), st.st_mtime);
  }
  return support::base64_encode(zip.finish());
}

}  // namespace

void detail::precreate_output_dirs(const alias::Alias& alias_def, const json& params,
                                   const std::optional<std::string>& run_dir) {
  if (!run_dir || run_dir->empty()) {
    return;
  }
  for (const alias::OutputSource* source : sources_of(alias_def.output)) {
    const std::string& token = source->token;
    if (token.empty() || token.front() == '%') {
      continue;
    }
    const std::string rendered = tmpl::render(source->path, params);
    if (rendered.empty()) {
      continue;
    }
    const bool from_parameter = source->path.references_parameter();
    const std::string path = scratch::join_run_path(*run_dir, rendered, from_parameter, token);
    const std::string dir = rendered.back() == '/' ? path : fs::path(path).parent_path().string();
    if (dir.empty() || dir == *run_dir) {
      continue;
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      // The error's own text would carry the rendered path.
      throw std::system_error(ec, "cannot create the directory of " + output_name(token));
    }
  }
}

FileOutputs detail::collect_output_files(const alias::Alias& alias_def, const json& params,
                                         const std::optional<std::string>& run_dir,
                                         std::size_t cap) {
  FileOutputs file_outputs;
  if (!run_dir || run_dir->empty()) {
    return file_outputs;
  }
  for (const alias::OutputSource* source : sources_of(alias_def.output)) {
    const std::string& token = source->token;
    if (token.empty() || source->kind != alias::SourceKind::file) {
      continue;
    }
    const std::string rendered = tmpl::render(source->path, params);
    const bool from_parameter = source->path.references_parameter();
    if (!rendered.empty() && rendered.back() == '/') {
      std::string stripped = rendered;
      while (!stripped.empty() && stripped.back() == '/') {
        stripped.pop_back();
      }
      const std::string abs_dir = scratch::join_run_path(*run_dir, stripped, from_parameter, token);
      file_outputs[token] = archive_output_dir(*run_dir, abs_dir, token, cap);
    } else {
      const std::string abs_path =
          scratch::join_run_path(*run_dir, rendered, from_parameter, token);
      file_outputs[token] = read_output_file(*run_dir, abs_path, token, cap);
    }
  }
  return file_outputs;
}

}  // namespace velquin::executor
