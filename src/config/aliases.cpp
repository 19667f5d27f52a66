// Alias definitions: loading every alias file of AliasDir into a new table,
// and publishing tables with one atomic swap. Reloads (load, pull, publish)
// belong to the reloader, the one thread that publishes after start-up.

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

#include "config/alias_parser.h"
#include "config/config.h"
#include "logger/logger.h"
#include "scratch/scratch.h"
#include "support/fd.h"
#include "support/text.h"
#include "support/yaml_value.h"

namespace velquin::config {

namespace {

namespace fs = std::filesystem;

bool is_alias_file(std::string_view name) {
  return name.ends_with(".yaml") || name.ends_with(".yml");
}

// Whole file as UTF-8 text; every failure (a directory, no permission, bytes
// that are not UTF-8) is an I/O error that aborts the load.
std::string read_alias_file(const fs::path& path) {
  support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    }
    if (n == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  if (!support::is_valid_utf8(content)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "cannot decode " + path.string() + " as UTF-8");
  }
  return content;
}

std::vector<std::string> sorted_alias_files(const fs::path& dir) {
  std::vector<std::string> names;
  // The non-throwing overloads would silently end the listing early on an error.
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (is_alias_file(name)) {
      names.push_back(std::move(name));
    }
  }
  // std::string compares by unsigned byte value: "B.yaml" sorts before "a.yaml".
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool AliasTable::add(alias::AliasPtr definition) {
  if (!definition || by_name_.contains(definition->name)) {
    return false;
  }
  by_name_.emplace(definition->name, definition);
  ordered_.push_back(std::move(definition));
  return true;
}

alias::AliasPtr AliasTable::find(std::string_view name) const {
  const auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

namespace {
std::mutex warnings_lock;
std::function<std::vector<std::string>(const alias::Alias&)> warnings_source;  // guarded
}  // namespace

void set_alias_warnings(std::function<std::vector<std::string>(const alias::Alias&)> source) {
  std::lock_guard lock(warnings_lock);
  warnings_source = std::move(source);
}

std::vector<std::string> alias_warnings(const alias::Alias& definition) {
  std::lock_guard lock(warnings_lock);
  return warnings_source ? warnings_source(definition) : std::vector<std::string>{};
}

std::pair<AliasTablePtr, std::vector<std::string>> Config::load_aliases() const {
  const auto settings = this->settings();
  const std::string& alias_dir = settings->alias_dir;
  const std::optional<std::int64_t> max_timeout = settings->max_timeout;

  auto table = std::make_shared<AliasTable>();
  std::vector<std::string> errors;

  std::error_code ec;
  const auto status = fs::status(alias_dir, ec);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    throw std::system_error(ec, "cannot access " + alias_dir);
  }
  if (alias_dir.empty() || !fs::is_directory(status)) {
    errors.push_back("AliasDir does not exist: " + alias_dir);
    return {table, errors};
  }

  std::map<std::string, std::string, std::less<>> first_defined_in;
  for (const auto& filename : sorted_alias_files(alias_dir)) {
    const std::string text = read_alias_file(fs::path(alias_dir) / filename);
    nlohmann::ordered_json document;
    try {
      document = support::parse_yaml(text);
    } catch (const support::YamlError& e) {
      errors.push_back(filename + ": invalid YAML: " + e.what());
      continue;
    }
    if (!document.is_object()) {
      errors.push_back(filename + ": top-level value must be a YAML mapping");
      continue;
    }
    for (const auto& [alias_name, value] : document.items()) {
      if (!value.is_object()) {
        errors.push_back(filename + ": alias '" + alias_name + "' must be a mapping");
        continue;
      }
      const auto first = first_defined_in.find(alias_name);
      if (first != first_defined_in.end()) {
        errors.push_back(filename + ": duplicate alias name '" + alias_name +
                         "' (first defined in " + first->second + ")");
        continue;
      }
      ParsedAlias parsed = parse_alias(alias_name, std::move(value), max_timeout);
      if (!parsed.errors.empty()) {
        for (const auto& problem : parsed.errors) {
          errors.push_back(filename + ": alias '" + alias_name + "': " + problem);
        }
        continue;
      }
      for (const auto& warning : alias_warnings(*parsed.alias)) {
        logger::warning(filename + ": alias '" + alias_name + "': " + warning);
      }
      table->add(std::move(parsed.alias));
      first_defined_in.emplace(alias_name, filename);
    }
  }

  const SettingValue container =
      settings->container ? SettingValue(*settings->container) : SettingValue();
  if (settings->external_dir.empty() && is_running_in_container(container)) {
    const auto& defs = table->definitions();
    const bool needed = std::any_of(defs.begin(), defs.end(), [](const alias::AliasPtr& def) {
      return scratch::needs_external_dir(*def);
    });
    if (needed) {
      errors.emplace_back(
          "ExternalDir is required: Velquin is running in a container and at least one alias "
          "mounts a SharedDir-relative volume, but ExternalDir is not set");
    }
  }
  return {table, errors};
}

void Config::apply_aliases(AliasTablePtr aliases) {
  aliases_.store(aliases ? std::move(aliases) : std::make_shared<const AliasTable>());
}

alias::AliasPtr Config::get_alias(std::string_view name) const {
  const AliasTablePtr table = aliases_.load();
  return table ? table->find(name) : nullptr;
}

std::vector<alias::AliasPtr> Config::get_all_aliases() const {
  const AliasTablePtr table = aliases_.load();
  return table ? table->definitions() : std::vector<alias::AliasPtr>{};
}

}  // namespace velquin::config
