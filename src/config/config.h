#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

#include "alias/alias.h"
#include "support/published.h"

namespace velquin::config {

using SettingValue = std::variant<std::monostate, std::string, std::int64_t, bool>;
enum class SettingType { text, integer, boolean };

struct ParamDef {
  std::string_view key;
  SettingType type;
  SettingValue default_value;
};

// The settings in their fixed order (the order of environment errors).
extern const std::array<ParamDef, 29> PARAM_DEFS;

// How a process run's descendants are contained: a cgroup per run, or a
// per-run subreaper; "auto" picks the cgroup where one can be created.
extern const std::set<std::string> RUN_CONTAINMENT_VALUES;
// When images are pulled. Sorted sets: messages list them in ascending order.
extern const std::set<std::string> REFRESH_IMAGE_VALUES;   // always, no, on-start
extern const std::set<std::string> PREFETCH_IMAGE_VALUES;  // no, on-config-change, on-start

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

struct IniResult {
  std::vector<std::string> errors;
  std::map<std::string, SettingValue> values;
};

namespace detail {
std::string key_to_env(std::string_view key);
// Throws std::invalid_argument whose what() is the message.
SettingValue coerce(const SettingValue& raw, SettingType typ);
// Throws std::system_error when the file cannot be opened or read.
IniResult parse_ini(const std::string& path);
std::string resolve_relative_to_logdir(const std::string& path, const std::string& log_dir);
}  // namespace detail

// The Container setting when set, else the marker files and variable.
bool is_running_in_container(const SettingValue& container_setting);

struct AppLogSpec {
  std::optional<std::string> path;
  std::optional<std::string> level;
  std::optional<std::string> format;
  std::vector<std::string> errors;
};
AppLogSpec parse_app_log(std::string_view value);

// The settings of one successful load, typed. Null texts read as "", the
// unset integers as none (ListenPort only before the first load).
struct Settings {
  std::string pid_file;
  std::string auth_dir;
  std::string alias_dir;
  std::string shared_dir;
  std::string external_dir;
  std::string listen_address;
  std::int64_t listen_port = 0;
  bool ssl_enabled = false;
  std::string ssl_cert;
  std::string ssl_key;
  std::string log_level;
  std::string log_dir;
  std::string audit_log;
  std::string app_log;
  std::string logs_api_key;
  std::string health_api_key;
  std::int64_t auth_reload = 0;
  std::int64_t alias_reload = 0;
  std::optional<std::string> container;
  std::optional<std::int64_t> max_timeout;
  std::string refresh_image;
  std::string prefetch_image;
  std::string run_containment;
  std::int64_t max_output_size = 0;
  std::int64_t max_buffered_body_bytes = 0;
  std::int64_t max_concurrent_runs = 0;              // 0: no limit
  std::int64_t drain_delay = 0;                      // seconds of lame duck after SIGTERM
  std::optional<std::int64_t> default_memory_limit;  // bytes, for aliases without limits.memory
  std::optional<std::int64_t> default_pids_limit;
};

// Text form of a setting as written in messages and logs: text as is, integers
// in decimal, booleans "True"/"False", null "None".
std::string setting_text(const SettingValue& value);

// Alias name -> definition, in load order. Immutable once published.
class AliasTable {
 public:
  // False (and nothing added) when the name is already present.
  bool add(alias::AliasPtr definition);
  alias::AliasPtr find(std::string_view name) const;
  const std::vector<alias::AliasPtr>& definitions() const { return ordered_; }
  bool empty() const { return ordered_.empty(); }
  std::size_t size() const { return ordered_.size(); }

 private:
  // Heterogeneous lookup: a request's name is found without making a string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const {
      return std::hash<std::string_view>{}(name);
    }
  };
  std::vector<alias::AliasPtr> ordered_;
  std::unordered_map<std::string, alias::AliasPtr, NameHash, std::equal_to<>> by_name_;
};
using AliasTablePtr = std::shared_ptr<const AliasTable>;

struct HealthStatus {
  std::optional<std::chrono::system_clock::time_point> last_successful_reload;
  bool is_current = true;
};

// Warnings about a definition that loads but that this host cannot apply in
// full (a run limit it lacks the means for). Set once the runs' means are known;
// every later alias load logs them.
void set_alias_warnings(std::function<std::vector<std::string>(const alias::Alias&)> source);
std::vector<std::string> alias_warnings(const alias::Alias& definition);

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
  // The typed settings: one snapshot, replaced whole by load(); read it once per use.
  std::shared_ptr<const Settings> settings() const;

  // Alias definitions. load_aliases throws std::system_error on I/O failures.
  std::pair<AliasTablePtr, std::vector<std::string>> load_aliases() const;
  void apply_aliases(AliasTablePtr aliases);
  alias::AliasPtr get_alias(std::string_view name) const;
  std::vector<alias::AliasPtr> get_all_aliases() const;
  AliasTablePtr alias_table() const { return aliases_.load(); }

  // Health record.
  void record_startup_success();
  void record_auth_reload(bool success);
  void record_alias_reload(bool success);
  HealthStatus get_health_status() const;

 private:
  using Values = std::map<std::string, SettingValue, std::less<>>;
  // Both views of one load, published together.
  struct Snapshot {
    Values values;
    Settings settings;
  };
  static std::shared_ptr<const Snapshot> make_snapshot(Values values);
  support::Published<const Snapshot> values_;
  support::Published<const AliasTable> aliases_;

  mutable std::mutex health_lock_;
  bool auth_current_ = true;   // guarded by health_lock_
  bool alias_current_ = true;  // guarded by health_lock_
  std::optional<std::chrono::system_clock::time_point>
      last_successful_reload_;  // guarded by health_lock_
};

}  // namespace velquin::config
