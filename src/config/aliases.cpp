// Alias definitions: loading every alias file of AliasDir into a new table,
// and publishing tables with one atomic swap. Reloads (load, pull, publish)
// belong to the reloader, the one thread that publishes after start-up.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

#include "config/config.h"
#include "scratch/scratch.h"
#include "support/fd.h"
#include "support/text.h"
#include "support/yaml_value.h"
#include "validator/validator.h"

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

std::optional<std::int64_t> max_timeout_setting(const SettingValue& value) {
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return *number;
  }
  return std::nullopt;
}

}  // namespace

bool AliasTable::add(const std::string& name, AliasDef definition) {
  if (by_name_.contains(name)) {
    return false;
  }
  auto shared = std::make_shared<const AliasDef>(std::move(definition));
  by_name_.emplace(name, shared);
  ordered_.push_back(std::move(shared));
  return true;
}

AliasDefPtr AliasTable::find(std::string_view name) const {
  const auto it = by_name_.find(std::string(name));
  return it == by_name_.end() ? nullptr : it->second;
}

std::pair<AliasTablePtr, std::vector<std::string>> Config::load_aliases() const {
  const std::string alias_dir = get_text("AliasDir");
  const std::optional<std::int64_t> max_timeout = max_timeout_setting(get("MaxTimeout"));

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
    for (auto& [alias_name, value] : document.items()) {
      if (!value.is_object()) {
        errors.push_back(filename + ": alias '" + alias_name + "' must be a mapping");
        continue;
      }
      AliasDef definition = value;
      definition["name"] = alias_name;
      const auto first = first_defined_in.find(alias_name);
      if (first != first_defined_in.end()) {
        errors.push_back(filename + ": duplicate alias name '" + alias_name +
                         "' (first defined in " + first->second + ")");
        continue;
      }
      // The validator compiles exitCodes into this very copy, which is what gets stored.
      const auto problems = validator::validate_alias_definition(definition, max_timeout);
      if (!problems.empty()) {
        for (const auto& problem : problems) {
          errors.push_back(filename + ": alias '" + alias_name + "': " + problem);
        }
        continue;
      }
      table->add(alias_name, std::move(definition));
      first_defined_in.emplace(alias_name, filename);
    }
  }

  if (get_text("ExternalDir").empty() && _is_running_in_container(get("Container"))) {
    const auto& defs = table->definitions();
    const bool needed = std::any_of(defs.begin(), defs.end(), [](const AliasDefPtr& def) {
      return scratch::needs_external_dir(*def);
    });
    if (needed) {
      errors.push_back(
          "ExternalDir is required: Velquin is running in a container and at least one alias "
          "mounts a SharedDir-relative volume, but ExternalDir is not set");
    }
  }
  return {table, errors};
}

void Config::apply_aliases(AliasTablePtr aliases) {
  _aliases.store(aliases ? std::move(aliases) : std::make_shared<const AliasTable>());
}

AliasDefPtr Config::get_alias(std::string_view name) const {
  const AliasTablePtr table = _aliases.load();
  return table ? table->find(name) : nullptr;
}

std::vector<AliasDefPtr> Config::get_all_aliases() const {
  const AliasTablePtr table = _aliases.load();
  return table ? table->definitions() : std::vector<AliasDefPtr>{};
}

}  // namespace velquin::config
