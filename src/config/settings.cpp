#include "config/config.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "support/byte_size.h"
#include "support/file.h"
#include "support/quoted.h"
#include "support/text.h"

namespace velquin::config {

using support::quoted;

const std::array<ParamDef, 29> PARAM_DEFS = {{
    {"PidFile", SettingType::text, std::string("/run/velquin.pid")},
    {"AuthDir", SettingType::text, std::string("/etc/velquin/auth.d")},
    {"AliasDir", SettingType::text, std::string("/etc/velquin/alias.d")},
    {"SharedDir", SettingType::text, std::string("/tmp/velquin/")},
    {"ExternalDir", SettingType::text, std::string()},
    {"ListenAddress", SettingType::text, std::string("0.0.0.0")},
    {"ListenPort", SettingType::integer, std::monostate{}},
    {"SslEnabled", SettingType::boolean, false},
    {"SslCert", SettingType::text, std::string()},
    {"SslKey", SettingType::text, std::string()},
    {"LogLevel", SettingType::text, std::string("warning")},
    {"LogDir", SettingType::text, std::string("/var/log/velquin")},
    {"AuditLog", SettingType::text, std::string("/var/log/velquin/audit.log")},
    {"AppLog", SettingType::text, std::string("/var/log/velquin/app.log")},
    {"LogsApiKey", SettingType::text, std::string()},
    {"HealthApiKey", SettingType::text, std::string()},
    {"AuthReload", SettingType::integer, std::int64_t{30}},
    {"AliasReload", SettingType::integer, std::int64_t{30}},
    {"Container", SettingType::text, std::monostate{}},
    {"MaxTimeout", SettingType::integer, std::monostate{}},
    {"RefreshImage", SettingType::text, std::string("no")},
    {"PrefetchImage", SettingType::text, std::string("no")},
    {"RunContainment", SettingType::text, std::string("auto")},
    {"MaxOutputSize", SettingType::integer, std::int64_t{67108864}},
    {"MaxBufferedBodyBytes", SettingType::integer, std::int64_t{268435456}},
    {"MaxConcurrentRuns", SettingType::integer, std::int64_t{0}},
    {"DefaultMemoryLimit", SettingType::text, std::string()},
    {"DefaultPidsLimit", SettingType::integer, std::monostate{}},
    {"DrainDelay", SettingType::integer, std::int64_t{0}},
}};

namespace detail {
const std::array<CompatPath, 11> COMPAT_PATHS = {{
    {"server.host", "ListenAddress"},
    {"server.port", "ListenPort"},
    {"server.ssl_enabled", "SslEnabled"},
    {"server.ssl_cert_file", "SslCert"},
    {"server.ssl_key_file", "SslKey"},
    {"logging.log_level", "LogLevel"},
    {"execution.temp_file_directory", "SharedDir"},
    {"aliases.alias_directory", "AliasDir"},
    {"aliases.reload_frequency", "AliasReload"},
    {"auth.auth_directory", "AuthDir"},
    {"auth.reload_frequency", "AuthReload"},
}};
}  // namespace detail

namespace {

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) {
      out += '\n';
    }
    out += lines[i];
  }
  return out;
}

const ParamDef* find_param(std::string_view key) {
  for (const auto& def : PARAM_DEFS) {
    if (def.key == key) {
      return &def;
    }
  }
  return nullptr;
}

// The quoted form of a raw value as messages show it.
std::string quoted_setting(const SettingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return quoted(*text);
  }
  return setting_text(value);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Base-10 integer with optional surrounding white space and sign; single
// underscores may separate digits. Nullopt when malformed or beyond 64 bits.
std::optional<std::int64_t> parse_integer(std::string_view text) {
  text = support::trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !is_digit(text.front()) || !is_digit(text.back())) {
    return std::nullopt;
  }
  // Accumulate as a negative number so that the minimum of int64 fits.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!is_digit(text[i - 1]) || !is_digit(text[i + 1])) {
        return std::nullopt;
      }
      continue;
    }
    if (!is_digit(c)) {
      return std::nullopt;
    }
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) {
      return std::nullopt;
    }
    value = -value;
  }
  return value;
}

// Splits a line the way detail::SEPARATOR_RE does on a stripped line: a
// lazily matched key before the first "=" reachable without white space, or
// else the first word and the rest. Returns false when neither form fits.
bool split_setting_line(std::string_view line, std::string& key, std::string& value) {
  // Form "Key=Value" / "Key = Value".
  for (std::size_t i = 1; i <= line.size(); ++i) {
    if (support::is_space(line[i - 1])) {
      break;
    }
    std::size_t j = i;
    while (j < line.size() && support::is_space(line[j])) {
      ++j;
    }
    if (j < line.size() && line[j] == '=') {
      key = std::string(line.substr(0, i));
      value = std::string(support::trim(line.substr(j + 1)));
      return true;
    }
    if (j > i) {
      break;  // white space not followed by "=": the key cannot grow past it
    }
  }
  // Form "Key Value".
  std::size_t end = 0;
  while (end < line.size() && !support::is_space(line[end])) {
    ++end;
  }
  if (end == 0 || end == line.size()) {
    return false;
  }
  key = std::string(line.substr(0, end));
  value = std::string(support::trim(line.substr(end)));
  return true;
}

std::string allowed_list(const std::set<std::string>& words) {
  std::string out = "[";
  bool first = true;
  for (const auto& word : words) {
    if (!first) {
      out += ", ";
    }
    first = false;
    out += quoted(word);
  }
  return out + "]";
}

// Lower-cases the word and checks it against its set; empty means the default word.
void check_word_setting(std::map<std::string, SettingValue, std::less<>>& values,
                        const std::string& key, const std::set<std::string>& allowed,
                        std::string_view default_word, std::vector<std::string>& errors) {
  const SettingValue& stored = values[key];
  std::string word = std::holds_alternative<std::string>(stored) ? std::get<std::string>(stored)
                                                                 : setting_text(stored);
  if (std::holds_alternative<std::monostate>(stored) || word.empty()) {
    word = default_word;
  }
  word = support::to_lower(word);
  if (allowed.contains(word)) {
    values[key] = word;
  } else {
    errors.push_back(key + ": invalid value " + quoted_setting(stored) + " (expected one of " +
                     allowed_list(allowed) + ")");
  }
}

// Byte limits: a null value (an empty line) takes the default; zero or less is refused.
void check_positive_setting(std::map<std::string, SettingValue, std::less<>>& values,
                            const std::string& key, std::vector<std::string>& errors) {
  SettingValue& stored = values[key];
  if (std::holds_alternative<std::monostate>(stored)) {
    stored = find_param(key)->default_value;
    return;
  }
  if (const auto* number = std::get_if<std::int64_t>(&stored); number != nullptr && *number <= 0) {
    errors.push_back(key + ": invalid value " + std::to_string(*number) +
                     " (expected a positive number of bytes)");
  }
}

// Admission and run-limit settings: 0 or empty means none; below that is a mistake.
void check_run_limit_settings(std::map<std::string, SettingValue, std::less<>>& values,
                              std::vector<std::string>& errors) {
  for (const char* key : {"MaxConcurrentRuns", "DefaultPidsLimit"}) {
    if (const auto* number = std::get_if<std::int64_t>(&values[key]);
        number != nullptr && *number < 0) {
      errors.push_back(std::string(key) + ": invalid value " + std::to_string(*number) +
                       " (expected 0 or a positive number)");
    }
  }
  const SettingValue& memory = values["DefaultMemoryLimit"];
  if (const auto* text = std::get_if<std::string>(&memory);
      text != nullptr && !text->empty() && !support::parse_byte_size(*text)) {
    errors.push_back("DefaultMemoryLimit: invalid value " + quoted(*text) +
                     " (expected a size such as '256Mi')");
  }
}

std::string text_of(const std::map<std::string, SettingValue, std::less<>>& values,
                    std::string_view key) {
  const SettingValue& value = values.find(key)->second;
  return std::holds_alternative<std::monostate>(value) ? std::string() : setting_text(value);
}

std::optional<std::int64_t>
integer_of(const std::map<std::string, SettingValue, std::less<>>& values, std::string_view key) {
  const SettingValue& value = values.find(key)->second;
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return *number;
  }
  return std::nullopt;
}

Settings typed_settings(const std::map<std::string, SettingValue, std::less<>>& values) {
  Settings s;
  s.pid_file = text_of(values, "PidFile");
  s.auth_dir = text_of(values, "AuthDir");
  s.alias_dir = text_of(values, "AliasDir");
  s.shared_dir = text_of(values, "SharedDir");
  s.external_dir = text_of(values, "ExternalDir");
  s.listen_address = text_of(values, "ListenAddress");
  s.listen_port = integer_of(values, "ListenPort").value_or(0);
  const SettingValue& ssl = values.find("SslEnabled")->second;
  s.ssl_enabled = std::holds_alternative<bool>(ssl) && std::get<bool>(ssl);
  s.ssl_cert = text_of(values, "SslCert");
  s.ssl_key = text_of(values, "SslKey");
  s.log_level = text_of(values, "LogLevel");
  s.log_dir = text_of(values, "LogDir");
  s.audit_log = text_of(values, "AuditLog");
  s.app_log = text_of(values, "AppLog");
  s.logs_api_key = text_of(values, "LogsApiKey");
  s.health_api_key = text_of(values, "HealthApiKey");
  s.auth_reload = integer_of(values, "AuthReload").value_or(0);
  s.alias_reload = integer_of(values, "AliasReload").value_or(0);
  if (const SettingValue& container = values.find("Container")->second;
      !std::holds_alternative<std::monostate>(container)) {
    s.container = setting_text(container);
  }
  s.max_timeout = integer_of(values, "MaxTimeout");
  s.refresh_image = text_of(values, "RefreshImage");
  s.prefetch_image = text_of(values, "PrefetchImage");
  s.run_containment = text_of(values, "RunContainment");
  s.max_output_size = integer_of(values, "MaxOutputSize").value_or(0);
  s.max_buffered_body_bytes = integer_of(values, "MaxBufferedBodyBytes").value_or(0);
  s.max_concurrent_runs = integer_of(values, "MaxConcurrentRuns").value_or(0);
  s.drain_delay = integer_of(values, "DrainDelay").value_or(0);
  s.default_memory_limit = support::parse_byte_size(text_of(values, "DefaultMemoryLimit"));
  if (const auto pids = integer_of(values, "DefaultPidsLimit"); pids && *pids > 0) {
    s.default_pids_limit = pids;
  }
  return s;
}

// A null value (an empty line) takes the default; a negative one is refused.
void check_seconds_setting(std::map<std::string, SettingValue, std::less<>>& values,
                           const std::string& key, std::vector<std::string>& errors) {
  SettingValue& stored = values[key];
  if (std::holds_alternative<std::monostate>(stored)) {
    stored = find_param(key)->default_value;
    return;
  }
  if (const auto* number = std::get_if<std::int64_t>(&stored); number != nullptr && *number < 0) {
    errors.push_back(key + ": invalid value " + std::to_string(*number) +
                     " (expected 0 or more seconds)");
  }
}

}  // namespace

std::shared_ptr<const Config::Snapshot> Config::make_snapshot(Values values) {
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->settings = typed_settings(values);
  snapshot->values = std::move(values);
  return snapshot;
}

const std::set<std::string> RUN_CONTAINMENT_VALUES = {"auto", "cgroup", "subreaper"};
const std::set<std::string> REFRESH_IMAGE_VALUES = {"always", "on-start", "no"};
const std::set<std::string> PREFETCH_IMAGE_VALUES = {"on-start", "on-config-change", "no"};

ConfigError::ConfigError(std::vector<std::string> errors_in)
    : std::runtime_error(join_lines(errors_in)), errors(std::move(errors_in)) {}

std::string detail::key_to_env(std::string_view key) {
  std::string out = "VELQUIN_";
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    if (i > 0 && c >= 'A' && c <= 'Z') {
      out += '_';
    }
    out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

std::string setting_text(const SettingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return std::to_string(*number);
  }
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag ? "True" : "False";
  }
  return "None";
}

SettingValue detail::coerce(const SettingValue& raw, SettingType typ) {
  switch (typ) {
  case SettingType::boolean: {
    if (std::holds_alternative<bool>(raw)) {
      return raw;
    }
    const std::string word = support::to_lower(setting_text(raw));
    if (word == "true" || word == "1") {
      return true;
    }
    if (word == "false" || word == "0") {
      return false;
    }
    throw std::invalid_argument("Invalid boolean value: " + quoted_setting(raw) +
                                " (expected true/false/1/0)");
  }
  case SettingType::integer: {
    if (std::holds_alternative<std::int64_t>(raw)) {
      return raw;
    }
    if (const auto* text = std::get_if<std::string>(&raw)) {
      if (const auto number = parse_integer(*text)) {
        return *number;
      }
    }
    throw std::invalid_argument("Invalid integer value: " + quoted_setting(raw));
  }
  case SettingType::text:
    return setting_text(raw);
  }
  return raw;
}

IniResult detail::parse_ini(const std::string& path) {
  const std::string content = support::read_whole_file(path);
  if (!support::is_valid_utf8(content)) {
    throw std::system_error(EILSEQ, std::generic_category(), path + ": not valid UTF-8");
  }
  const std::string text = support::universal_newlines(content);

  IniResult result;
  std::size_t line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string_view raw_line(text.data() + pos, end - pos);
    pos = end + 1;
    ++line_number;

    const std::string_view line = support::trim(raw_line);
    if (line.empty() || line.front() == '#') {
      continue;
    }
    const std::string where = path + ":" + std::to_string(line_number) + ": ";
    std::string key;
    std::string value;
    if (!split_setting_line(line, key, value)) {
      result.errors.push_back(where +
                              "invalid line (expected Key Value, Key=Value or Key = Value)");
      continue;
    }
    const ParamDef* def = find_param(key);
    if (def == nullptr) {
      result.errors.push_back(where + "unknown parameter '" + key + "'");
      continue;
    }
    try {
      result.values[key] = detail::coerce(value, def->type);
    } catch (const std::invalid_argument& e) {
      result.errors.push_back(where + e.what());
    }
  }
  return result;
}

bool is_running_in_container(const SettingValue& container_setting) {
  if (std::holds_alternative<std::monostate>(container_setting)) {
    std::error_code ec;
    return std::filesystem::exists("/.dockerenv", ec) ||
           std::filesystem::exists("/run/.containerenv", ec) || std::getenv("container") != nullptr;
  }
  const std::string word = support::to_lower(setting_text(container_setting));
  return word == "1" || word == "true";
}

std::string detail::resolve_relative_to_logdir(const std::string& path,
                                               const std::string& log_dir) {
  if (path == "/dev/stdout" || path == "/dev/stderr" || (!path.empty() && path.front() == '/')) {
    return path;
  }
  if (log_dir.empty()) {
    return path;
  }
  return log_dir.back() == '/' ? log_dir + path : log_dir + "/" + path;
}

Config::Config() {
  Values defaults;
  for (const auto& def : PARAM_DEFS) {
    defaults.emplace(std::string(def.key), def.default_value);
  }
  values_.store(make_snapshot(std::move(defaults)));
  aliases_.store(std::make_shared<const AliasTable>());
}

void Config::load(const std::string& config_path, const std::optional<Overrides>& cli_overrides) {
  Values values;
  for (const auto& def : PARAM_DEFS) {
    values.emplace(std::string(def.key), def.default_value);
  }
  std::vector<std::string> errors;

  // File.
  if (std::filesystem::exists(config_path)) {
    IniResult ini = detail::parse_ini(config_path);
    errors.insert(errors.end(), ini.errors.begin(), ini.errors.end());
    for (auto& [key, value] : ini.values) {
      values[key] = std::move(value);
    }
  }

  // Environment, in table order.
  for (const auto& def : PARAM_DEFS) {
    const std::string name = detail::key_to_env(def.key);
    const char* raw = std::getenv(name.c_str());
    if (raw == nullptr) {
      continue;
    }
    try {
      values[std::string(def.key)] = detail::coerce(std::string(raw), def.type);
    } catch (const std::invalid_argument& e) {
      errors.push_back("Environment variable " + name + ": " + e.what());
    }
  }

  // Command line.
  if (cli_overrides) {
    for (const auto& [key, raw] : *cli_overrides) {
      const ParamDef* def = find_param(key);
      if (def == nullptr) {
        errors.push_back("Unknown configuration parameter: '" + key + "'");
        continue;
      }
      try {
        values[key] = detail::coerce(raw, def->type);
      } catch (const std::invalid_argument& e) {
        errors.emplace_back(e.what());
      }
    }
  }

  const bool ssl_enabled =
      std::holds_alternative<bool>(values["SslEnabled"]) && std::get<bool>(values["SslEnabled"]);
  if (std::holds_alternative<std::monostate>(values["ListenPort"])) {
    values["ListenPort"] = std::int64_t{ssl_enabled ? 443 : 80};
  }
  if (ssl_enabled) {
    if (setting_text(values["SslCert"]).empty()) {
      errors.emplace_back("SslCert is required when SslEnabled is true");
    }
    if (setting_text(values["SslKey"]).empty()) {
      errors.emplace_back("SslKey is required when SslEnabled is true");
    }
  }

  std::string log_dir = setting_text(values["LogDir"]);
  if (std::holds_alternative<std::monostate>(values["LogDir"]) || log_dir.empty()) {
    log_dir = "/var/log/velquin";
  }

  if (const auto* audit = std::get_if<std::string>(&values["AuditLog"]);
      audit != nullptr && !audit->empty()) {
    values["AuditLog"] = detail::resolve_relative_to_logdir(*audit, log_dir);
  }

  if (const auto* app = std::get_if<std::string>(&values["AppLog"]);
      app != nullptr && !app->empty()) {
    std::string_view rest = *app;
    while (!rest.empty() && support::is_space(rest.front())) {
      rest.remove_prefix(1);
    }
    std::string stored = *app;  // only white space: kept as it is
    if (!rest.empty()) {
      std::size_t end = 0;
      while (end < rest.size() && !support::is_space(rest[end])) {
        ++end;
      }
      const std::string path =
          detail::resolve_relative_to_logdir(std::string(rest.substr(0, end)), log_dir);
      std::string_view tail = rest.substr(end);
      while (!tail.empty() && support::is_space(tail.front())) {
        tail.remove_prefix(1);
      }
      stored = tail.empty() ? path : path + " " + std::string(tail);
    }
    values["AppLog"] = stored;
    AppLogSpec spec = parse_app_log(stored);
    errors.insert(errors.end(), spec.errors.begin(), spec.errors.end());
  }

  check_word_setting(values, "RefreshImage", REFRESH_IMAGE_VALUES, "no", errors);
  check_word_setting(values, "PrefetchImage", PREFETCH_IMAGE_VALUES, "no", errors);
  check_word_setting(values, "RunContainment", RUN_CONTAINMENT_VALUES, "auto", errors);
  for (const char* key : {"MaxOutputSize", "MaxBufferedBodyBytes"}) {
    check_positive_setting(values, key, errors);
  }
  check_run_limit_settings(values, errors);
  check_seconds_setting(values, "DrainDelay", errors);

  if (!errors.empty()) {
    throw ConfigError(std::move(errors));
  }
  values_.store(make_snapshot(std::move(values)));
}

SettingValue Config::get(std::string_view key) const {
  const auto snapshot = values_.load();
  const auto it = snapshot->values.find(key);
  if (it == snapshot->values.end()) {
    throw std::out_of_range("Unknown configuration key: " + quoted(key));
  }
  return it->second;
}

std::string Config::get_text(std::string_view key) const {
  const SettingValue value = get(key);
  if (std::holds_alternative<std::monostate>(value)) {
    return std::string();
  }
  return setting_text(value);
}

std::int64_t Config::get_int(std::string_view key) const {
  const SettingValue value = get(key);
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return *number;
  }
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag ? 1 : 0;
  }
  if (std::holds_alternative<std::monostate>(value)) {
    return 0;
  }
  throw std::logic_error("Setting " + quoted(key) + " is not an integer");
}

bool Config::get_bool(std::string_view key) const {
  const SettingValue value = get(key);
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag;
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    return *number != 0;
  }
  if (std::holds_alternative<std::monostate>(value)) {
    return false;
  }
  throw std::logic_error("Setting " + quoted(key) + " is not a boolean");
}

SettingValue Config::get_setting(std::string_view dotted_path, SettingValue default_value) const {
  for (const auto& compat : detail::COMPAT_PATHS) {
    if (compat.path == dotted_path) {
      const auto snapshot = values_.load();
      const auto it = snapshot->values.find(compat.key);
      if (it == snapshot->values.end() || std::holds_alternative<std::monostate>(it->second)) {
        return default_value;
      }
      return it->second;
    }
  }
  return default_value;
}

std::shared_ptr<const Settings> Config::settings() const {
  auto snapshot = values_.load();
  return std::shared_ptr<const Settings>(snapshot, &snapshot->settings);
}

}  // namespace velquin::config
