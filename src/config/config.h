#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "support/published.h"

#include <nlohmann/json.hpp>

namespace velquin::config {

using SettingValue = std::variant<std::monostate, std::string, std::int64_t, bool>;
enum class SettingType { text, integer, boolean };

struct ParamDef {
  std::string_view key;
  SettingType type;
  SettingValue default_value;
};

// The settings in their fixed order (the order of environment errors).
extern const std::array<ParamDef, 26> PARAM_DEFS;

// How a process run's descendants are contained: a cgroup per run, or a
// per-run subreaper; "auto" picks the cgroup where one can be created.
extern const std::set<std::string> RUN_CONTAINMENT_VALUES;

namespace detail {
struct CompatPath {
  std::string_view path;
  std::string_view key;
};
extern const std::array<CompatPath, 11> COMPAT_PATHS;
inline constexpr std::string_view SEPARATOR_RE = R"(^(\S+?)\s*=\s*(.*)$|^(\S+)\s+(.*)$)";
inline constexpr std::string_view DEFAULT_CONFIG = "/etc/velquin/velquin.conf";
}  // namespace detail

// Every message of one load, in order; what() is them joined with "\n".
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::vector<std::string> errors_in);
  std::vector<std::string> errors;
};

// Ordered command-line overrides: settings key -> raw text.
using Overrides = std::vector<std::pair<std::string, std::string>>;

std::string _key_to_env(std::string_view key);
// Throws std::invalid_argument whose what() is the message.
SettingValue _coerce(const SettingValue& raw, SettingType typ);

struct IniResult {
  std::vector<std::string> errors;
  std::map<std::string, SettingValue> values;
};
// Throws std::system_error when the file cannot be opened or read.
IniResult _parse_ini(const std::string& path);

bool _is_running_in_container(const SettingValue& container_setting);
std::string _resolve_relative_to_logdir(const std::string& path, const std::string& log_dir);

struct AppLogSpec {
  std::optional<std::string> path;
  std::optional<std::string> level;
  std::optional<std::string> format;
  std::vector<std::string> errors;
};
AppLogSpec _parse_app_log(std::string_view value);

// Text form of a setting as written in messages and logs: text as is, integers
// in decimal, booleans "True"/"False", null "None".
std::string setting_text(const SettingValue& value);

using AliasDef = nlohmann::ordered_json;
using AliasDefPtr = std::shared_ptr<const AliasDef>;

// Alias name -> definition, in load order. Immutable once published.
class AliasTable {
 public:
  // False (and nothing added) when the name is already present.
  bool add(const std::string& name, AliasDef definition);
  AliasDefPtr find(std::string_view name) const;
  const std::vector<AliasDefPtr>& definitions() const { return ordered_; }
  bool empty() const { return ordered_.empty(); }
  std::size_t size() const { return ordered_.size(); }

 private:
  std::vector<AliasDefPtr> ordered_;
  std::unordered_map<std::string, AliasDefPtr> by_name_;
};
using AliasTablePtr = std::shared_ptr<const AliasTable>;

struct HealthStatus {
  std::optional<std::chrono::system_clock::time_point> last_successful_reload;
  bool is_current = true;
};

class Config {
 public:
  Config();

  // Merges defaults < file < environment < overrides and checks the result;
  // throws ConfigError with every message, leaving the settings unchanged.
  void load(const std::string& config_path = std::string(detail::DEFAULT_CONFIG),
            const std::optional<Overrides>& cli_overrides = std::nullopt);

  // Throws std::out_of_range("Unknown configuration key: " + quoted(key)).
  SettingValue get(std::string_view key) const;
  // Typed reads of get(): null gives "" / 0 / false.
  std::string get_text(std::string_view key) const;
  std::int64_t get_int(std::string_view key) const;
  bool get_bool(std::string_view key) const;
  SettingValue get_setting(std::string_view dotted_path, SettingValue default_value = {}) const;

  // Alias definitions. load_aliases throws std::system_error on I/O failures.
  std::pair<AliasTablePtr, std::vector<std::string>> load_aliases() const;
  void apply_aliases(AliasTablePtr aliases);
  AliasDefPtr get_alias(std::string_view name) const;
  std::vector<AliasDefPtr> get_all_aliases() const;
  AliasTablePtr alias_table() const { return _aliases.load(); }

  // Health record.
  void record_startup_success();
  void record_auth_reload(bool success);
  void record_alias_reload(bool success);
  HealthStatus get_health_status() const;

 private:
  using Values = std::map<std::string, SettingValue, std::less<>>;
  support::Published<const Values> _values;
  support::Published<const AliasTable> _aliases;

  mutable std::mutex _health_lock;
  bool _auth_current = true;   // guarded by _health_lock
  bool _alias_current = true;  // guarded by _health_lock
  std::optional<std::chrono::system_clock::time_point> _last_successful_reload;  // guarded by _health_lock
};

// The process-wide configuration object.
Config& config();

}  // namespace velquin::config
