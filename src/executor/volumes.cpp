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

namespace velquin::executor::detail {

namespace fs = std::filesystem;

namespace {

// "/a/b/" and "/a/b" name the same directory; relative paths need one form.
fs::path without_trailing_slash(fs::path path) {
  while (!path.has_filename() && path.has_relative_path()) {
    path = path.parent_path();
  }
  return path;
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
void write_volume_file_at(const std::string& local_path, const tmpl::Template& content,
                          const json& params, const std::string& location) {
  try {
    write_volume_file(local_path, content, params);
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(), "Cannot write the volume file bound at " +
                                          support::quoted(std::string_view(location)));
  }
}

}  // namespace

std::string to_host_path(const std::string& local_path, const std::string& shared_dir,
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

void write_volume_file(const std::string& local_path, const tmpl::Template& content_template,
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
  const std::string content = tmpl::render(content_template, params);

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

VolumeSetup build_volumes(const alias::ContainerSpec& container, const json& params,
                          const std::optional<std::string>& run_dir, const std::string& shared_dir,
                          const std::string& external_dir) {
  VolumeSetup setup;
  for (const alias::Volume& volume : container.volumes) {
    const std::string& location = volume.location;
    std::string local_path;
    std::optional<std::string> label;  // the source, when its rendering carries a value
    switch (volume.kind) {
    case alias::VolumeSource::host:
      // The administrator's own host path: bound as written and read-only.
      put_binding(setup.bindings, {volume.source, location, "ro"});
      continue;
    case alias::VolumeSource::automatic:
      local_path = (fs::path(require_run_dir(run_dir)) / "auto" / support::uuid4_hex()).string();
      write_volume_file_at(local_path, volume.content, params, location);
      put_binding(setup.bindings,
                  {to_host_path(local_path, shared_dir, external_dir), location, "rw"});
      break;
    case alias::VolumeSource::run_dir: {
      const std::string rendered = tmpl::render(volume.source_template, params);
      if (volume.source_template.references_parameter()) {
        label = volume.source;
      }
      local_path = scratch::join_run_path(require_run_dir(run_dir), rendered, label.has_value(),
                                          volume.source);
      if (volume.is_dir) {
        std::error_code ec;
        fs::create_directories(local_path, ec);
        if (ec) {
          throw std::system_error(ec, "Cannot create the directory of volume " +
                                          support::quoted(std::string_view(volume.source)));
        }
      } else {
        write_volume_file_at(local_path, volume.content, params, location);
      }
      put_binding(setup.bindings,
                  {to_host_path(local_path, shared_dir, external_dir), location, volume.mode});
      break;
    }
    }
    if (volume.preserve) {
      setup.preserve_specs.push_back({local_path, volume.is_dir, *volume.preserve,
                                      volume.preserve_prefix, require_run_dir(run_dir), label});
    }
  }
  return setup;
}

}  // namespace velquin::executor::detail
