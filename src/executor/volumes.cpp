#include "executor/volumes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "executor/executor.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"
#include "support/fd.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/text.h"
#include "support/uuid.h"
#include "template/template.h"

namespace velquin::executor {

namespace fs = std::filesystem;

namespace {

// "/a/b/" and "/a/b" name the same directory; relative paths need one form.
fs::path without_trailing_slash(fs::path path) {
  while (!path.has_filename() && path.has_relative_path()) {
    path = path.parent_path();
  }
  return path;
}

std::string text_of(const json& value) {
  return value.is_string() ? value.get<std::string>() : support::value_text(value);
}

bool is_empty_value(const json& value) {
  return value.is_null() || (value.is_string() && value.get_ref<const std::string&>().empty());
}

// Keeps first-seen order while a repeated host path takes the later binding.
void put_binding(std::vector<docker::Bind>& bindings, docker::Bind bind) {
  for (docker::Bind& existing : bindings) {
    if (existing.host_path == bind.host_path) {
      existing = std::move(bind);
      return;
    }
  }
  bindings.push_back(std::move(bind));
}

const std::string& require_run_dir(const std::optional<std::string>& run_dir) {
  if (!run_dir || run_dir->empty()) {
    throw std::runtime_error("volume needs a run directory but the alias has none");
  }
  return *run_dir;
}

// Names the volume by where it is bound, which the operator wrote.
void write_volume_file_at(const std::string& local_path, const json& content, const json& params,
                          const std::string& location) {
  try {
    _write_volume_file(local_path, content, params);
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(), "Cannot write the volume file bound at " +
                                          support::quoted(std::string_view(location)));
  }
}

}  // namespace

std::string _to_host_path(const std::string& local_path, const std::string& shared_dir,
                          const std::string& external_dir) {
  if (external_dir.empty()) {
    return local_path;
  }
  const fs::path local = without_trailing_slash(fs::absolute(local_path).lexically_normal());
  const fs::path shared = without_trailing_slash(fs::absolute(shared_dir).lexically_normal());
  const fs::path relative = local.lexically_relative(shared);
  if (relative.empty() || relative == ".") {
    return external_dir;
  }
  return (fs::path(external_dir) / relative).string();
}

void _write_volume_file(const std::string& local_path, const json& content_template,
                        const json& params) {
  fs::path parent = fs::path(local_path).parent_path();
  if (parent.empty()) {
    parent = ".";
  }
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) {
    throw std::system_error(ec, "Cannot create the directory of a volume file");
  }
  const std::string content = is_empty_value(content_template)
                                  ? std::string()
                                  : tmpl::render(text_of(content_template), params);

  // O_NOFOLLOW: a link planted at this name must not redirect the write.
  // The messages leave the path out: it may carry a parameter value.
  support::UniqueFd fd(
      ::open(local_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(), "Cannot write volume file");
  }
  std::string_view rest = content;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "Cannot write volume file");
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

VolumeSetup _build_volumes(const json& alias_cfg, const json& params,
                           const std::optional<std::string>& run_dir, const std::string& shared_dir,
                           const std::string& external_dir) {
  VolumeSetup setup;
  const auto volumes_it = alias_cfg.find("volumes");
  if (volumes_it == alias_cfg.end() || !volumes_it->is_array()) {
    return setup;
  }
  for (const json& entry : *volumes_it) {
    if (!entry.is_object()) {
      throw std::invalid_argument("volume entry is not a mapping: " + entry.dump());
    }
    const json location_value = entry.value("location", json());
    const std::string location = is_empty_value(location_value) ? "" : text_of(location_value);
    const json source = entry.value("source", json());
    const json content = entry.value("content", json());
    const json mode_value = entry.value("mode", json());
    const std::string mode = is_empty_value(mode_value) ? "rw" : text_of(mode_value);

    std::string local_path;
    bool is_dir = false;
    std::optional<std::string> label;  // the source, when its rendering carries a value
    if (source.is_null()) {
      local_path = (fs::path(require_run_dir(run_dir)) / "auto" / support::uuid4_hex()).string();
      write_volume_file_at(local_path, content, params, location);
      put_binding(setup.bindings,
                  {_to_host_path(local_path, shared_dir, external_dir), location, "rw"});
    } else {
      const std::string source_text = text_of(source);
      if (!source_text.empty() && source_text.front() == '/') {
        // The administrator's own host path: bound as written and read-only.
        put_binding(setup.bindings, {source_text, location, "ro"});
        continue;
      }
      is_dir = !source_text.empty() && source_text.back() == '/';
      const std::string rendered = tmpl::render(source_text, params);
      if (tmpl::references_parameter(source_text)) {
        label = source_text;
      }
      local_path = scratch::join_run_path(require_run_dir(run_dir), rendered, label.has_value(),
                                          source_text);
      if (is_dir) {
        std::error_code ec;
        fs::create_directories(local_path, ec);
        if (ec) {
          throw std::system_error(ec, "Cannot create the directory of volume " +
                                          support::quoted(std::string_view(source_text)));
        }
      } else {
        write_volume_file_at(local_path, content, params, location);
      }
      put_binding(setup.bindings,
                  {_to_host_path(local_path, shared_dir, external_dir), location, mode});
    }

    const json preserve_value = entry.value("preserve", json());
    if (preserve::is_preserve_enabled(preserve_value)) {
      std::optional<std::string> prefix;
      const json prefix_value = entry.value("preservePrefix", json());
      if (!prefix_value.is_null()) {
        prefix = text_of(prefix_value);
      }
      setup.preserve_specs.push_back({local_path, is_dir,
                                      preserve::normalize_preserve(preserve_value), prefix,
                                      require_run_dir(run_dir), label});
    }
  }
  return setup;
}

}  // namespace velquin::executor
