#include "scratch/scratch.h"

#include <sys/stat.h>

#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "logger/logger.h"
#include "support/json_value.h"
#include "support/quoted.h"
#include "support/uuid.h"

namespace velquin::scratch {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

using support::is_empty_value;
using support::member;

bool is_type(const json& alias_config, const char* type) {
  const json* t = member(alias_config, "type");
  return t != nullptr && t->is_string() && t->get_ref<const std::string&>() == type;
}

std::vector<const json*> volumes_of(const json& alias_config) {
  std::vector<const json*> out;
  const json* volumes = member(alias_config, "volumes");
  if (volumes != nullptr && volumes->is_array()) {
    for (const auto& v : *volumes) {
      out.push_back(&v);
    }
  }
  return out;
}

std::string source_text(const json& source) {
  return source.is_string() ? source.get<std::string>() : source.dump();
}

// Removes what it can and goes on past every failure. Directories are made
// writable first, because a command may leave read-only trees behind.
void remove_tree(const fs::path& path) {
  std::error_code ec;
  auto st = fs::symlink_status(path, ec);
  if (ec) {
    return;
  }
  if (fs::is_directory(st)) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    std::vector<fs::path> children;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      children.push_back(it->path());
    }
    for (const auto& child : children) {
      remove_tree(child);
    }
  }
  fs::remove(path, ec);
}

}  // namespace

bool _has_file_output_sources(const json& alias_config) {
  const json* output = member(alias_config, "output");
  if (is_empty_value(output) || !output->is_object()) {
    return false;
  }
  std::vector<std::string> sources;
  const json* single = member(*output, "single_value");
  if (!is_empty_value(single)) {
    const json* source = member(*single, "source");
    if (!is_empty_value(source)) {
      sources.push_back(source_text(*source));
    }
  }
  const json* multiple = member(*output, "multiple_values");
  if (!is_empty_value(multiple) && multiple->is_array()) {
    for (const auto& element : *multiple) {
      const json* source = member(element, "source");
      if (!is_empty_value(source)) {
        sources.push_back(source_text(*source));
      }
    }
  }
  for (const auto& s : sources) {
    if (!s.empty() && s.front() != '%') {
      return true;
    }
  }
  return false;
}

bool needs_external_dir(const json& alias_config) {
  if (!is_type(alias_config, "container")) {
    return false;
  }
  for (const json* volume : volumes_of(alias_config)) {
    const json* source = member(*volume, "source");
    if (source == nullptr || source->is_null()) {
      return true;
    }
    if (!fs::path(source_text(*source)).is_absolute()) {
      return true;
    }
  }
  return false;
}

bool needs_run_dir(const json& alias_config) {
  if (is_type(alias_config, "process")) {
    return !is_empty_value(member(alias_config, "files")) || _has_file_output_sources(alias_config);
  }
  if (is_type(alias_config, "container")) {
    return needs_external_dir(alias_config) || _has_file_output_sources(alias_config);
  }
  return false;
}

bool needs_auto_dir(const json& alias_config) {
  if (!is_type(alias_config, "container")) {
    return false;
  }
  for (const json* volume : volumes_of(alias_config)) {
    const json* source = member(*volume, "source");
    if (source == nullptr || source->is_null()) {
      return true;
    }
  }
  return false;
}

RunInfo create(const std::string& shared_dir, const json& alias_config,
               const std::string& correlation_id) {
  const std::string run_id = correlation_id.empty() ? support::uuid4() : correlation_id;
  RunInfo info;
  info.run_dir = (fs::path(shared_dir) / run_id).string();
  fs::create_directories(info.run_dir);
  if (needs_auto_dir(alias_config)) {
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
    remove_tree(run_dir);
  } catch (const std::exception& e) {
    try {
      logger::debug(std::string("Run-dir cleanup error (ignored): ") + e.what());
    } catch (...) {
    }
  } catch (...) {
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
