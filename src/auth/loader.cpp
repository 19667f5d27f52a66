#include "auth/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "auth/codec.h"
#include "auth/jwt.h"
#include "support/fd.h"
#include "support/quoted.h"
#include "support/yaml_value.h"

namespace velquin::auth::detail {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using support::quoted;

constexpr const char* SUPPORTED_ALGORITHMS = "RS256, RS384, RS512, ES256, ES384, EdDSA";

struct FileText {
  std::string text;
  std::string error;  // strerror text when the read failed
};

FileText read_fd(int fd);

FileText read_whole_file(const fs::path& path) {
  support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return {"", std::strerror(errno)};
  }
  return read_fd(fd.get());
}

FileText read_fd(int fd) {
  FileText result;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return {"", std::strerror(errno)};
    }
    if (n == 0) {
      return result;
    }
    result.text.append(buffer, static_cast<std::size_t>(n));
  }
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

// A public key from PEM text: a "PUBLIC KEY" block, or the key of a certificate.
std::shared_ptr<EVP_PKEY> parse_public_key(std::string_view pem) {
  std::shared_ptr<EVP_PKEY> result;
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio) {
    if (EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)) {
      result.reset(key, PkeyFree{});
    } else if (BIO_reset(bio.get()) == 1) {
      std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (cert) {
        if (EVP_PKEY* cert_key = X509_get_pubkey(cert.get())) {
          result.reset(cert_key, PkeyFree{});
        }
      }
    }
  }
  ERR_clear_error();
  return result;
}

class Loader {
 public:
  explicit Loader(fs::path dir) : dir_(std::move(dir)), data_(std::make_shared<AuthData>()) {}

  LoadOutcome run() {
    std::error_code ec;
    auto status = fs::status(dir_, ec);
    if (ec || !fs::exists(status)) {
      if (ec && ec != std::errc::no_such_file_or_directory) {
        return fail("AuthDir " + quoted(dir_.string()) + " cannot be read: " + ec.message());
      }
      return fail("AuthDir " + quoted(dir_.string()) + " does not exist");
    }
    if (!fs::is_directory(status)) {
      return fail("AuthDir " + quoted(dir_.string()) + " is not a directory");
    }
    std::vector<fs::path> files;
    fs::directory_iterator it(dir_, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const auto& path = it->path();
      auto extension = path.extension().string();
      std::error_code type_ec;
      if ((extension == ".yaml" || extension == ".yml") && it->is_regular_file(type_ec)) {
        files.push_back(path);
      }
    }
    if (ec) {
      return fail("AuthDir " + quoted(dir_.string()) + " cannot be read: " + ec.message());
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    for (const auto& path : files) {
      load_file(path);
    }
    // A verified delivery acts as the user of that name: one name, one caller.
    for (const auto& [name, file] : webhook_files_) {
      if (auto user = user_files_.find(name); user != user_files_.end()) {
        error(file + ": webhook " + quoted(name) + " has the name of a user (defined in " +
              user->second + ")");
      }
    }
    std::sort(data_->webhooks.begin(), data_->webhooks.end(),
              [](const WebhookEntry& a, const WebhookEntry& b) { return a.name < b.name; });
    if (!errors_.empty()) {
      return {nullptr, std::move(errors_)};
    }
    return {std::move(data_), {}};
  }

 private:
  static LoadOutcome fail(std::string error) { return {nullptr, {std::move(error)}}; }

  void error(std::string text) { errors_.push_back(std::move(text)); }

  void load_file(const fs::path& path) {
    file_ = path.filename().string();
    FileText content = read_whole_file(path);
    if (!content.error.empty()) {
      error(file_ + ": cannot be read: " + content.error);
      return;
    }
    Json top;
    try {
      top = support::parse_yaml(content.text);
    } catch (const std::exception& e) {
      error(file_ + ": invalid YAML: " + e.what());
      return;
    }
    if (top.is_null()) {
      return;  // an empty file defines nothing
    }
    if (!top.is_object()) {
      error(file_ + ": the top level must be a mapping");
      return;
    }
    for (const auto& [key, value] : top.items()) {
      if (key == "users") {
        load_users(value);
      } else if (key == "jwt") {
        load_jwt(value);
      } else if (key == "webhooks") {
        load_webhooks(value);
      } else {
        error(file_ + ": unknown key " + quoted(key) + " (expected users, jwt or webhooks)");
      }
    }
  }

  void load_users(const Json& users) {
    if (users.is_null()) {
      return;
    }
    if (!users.is_object()) {
      error(file_ + ": users must be a mapping of user names to their entries");
      return;
    }
    for (const auto& [name, entry] : users.items()) {
      load_user(name, entry);
    }
  }

  void load_user(const std::string& name, const Json& entry) {
    const std::string prefix = file_ + ": user " + quoted(name) + ": ";
    if (auto seen = user_files_.find(name); seen != user_files_.end()) {
      error(file_ + ": duplicate user " + quoted(name) + " (first defined in " + seen->second +
            ")");
      return;
    }
    user_files_.emplace(name, file_);
    if (name.empty()) {
      error(prefix + "the name must not be empty");
    }
    if (!entry.is_object()) {
      error(prefix + "must be a mapping with api_key_sha256 and/or password_hash");
      return;
    }
    UserEntry user;
    user.name = name;
    bool valid = true;
    for (const auto& [key, value] : entry.items()) {
      if (key == "api_key_sha256") {
        std::optional<std::array<unsigned char, 32>> digest;
        if (value.is_string()) {
          digest = parse_sha256_hex(value.get_ref<const std::string&>());
        }
        if (!digest) {
          error(prefix + "api_key_sha256 must be 64 hex digits");
          valid = false;
        }
        user.api_key_sha256 = digest;
      } else if (key == "password_hash") {
        if (!value.is_string() || !is_supported_crypt_hash(value.get_ref<const std::string&>())) {
          error(prefix +
                "password_hash must be a crypt(3) hash of yescrypt ($y$), bcrypt ($2b$) or "
                "sha-512 ($6$)");
          valid = false;
        } else {
          user.password_hash = value.get<std::string>();
        }
      } else if (key == "rate" || key == "burst") {
        continue;  // read together below
      } else if (key == "allowed_aliases") {
        if (!load_alias_list(value, user.allowed_aliases)) {
          error(prefix + "allowed_aliases must be a list of alias names");
          valid = false;
        }
      } else {
        error(prefix + "unknown key " + quoted(key));
        valid = false;
      }
    }
    if (!load_rate(entry, prefix, user.rate)) {
      valid = false;
    }
    if (!entry.contains("api_key_sha256") && !entry.contains("password_hash")) {
      error(prefix + "needs api_key_sha256 or password_hash");
      valid = false;
    }
    // Basic credentials split at the first colon, so such a name could never log in.
    if (user.password_hash && name.find(':') != std::string::npos) {
      error(prefix + "a user with a password_hash must not have ':' in the name");
      valid = false;
    }
    if (user.api_key_sha256) {
      for (const auto& other : data_->users) {
        if (other.api_key_sha256 == user.api_key_sha256) {
          error(prefix + "api_key_sha256 is already used by user " + quoted(other.name));
          valid = false;
          break;
        }
      }
    }
    if (valid) {
      data_->users.push_back(std::move(user));
    }
  }

  // The optional rate and burst of a mapping; false after an error.
  bool load_rate(const Json& entry, const std::string& prefix, std::optional<Rate>& out) {
    const auto rate = entry.find("rate");
    const auto burst = entry.find("burst");
    const bool has_rate = rate != entry.end() && !rate->is_null();
    const bool has_burst = burst != entry.end() && !burst->is_null();
    bool valid = true;
    Rate parsed;
    if (has_rate) {
      const auto value =
          rate->is_string() ? parse_rate(rate->get_ref<const std::string&>()) : std::nullopt;
      if (!value) {
        error(prefix + "rate must be N/second, N/minute or N/hour with N 1 or more");
        valid = false;
      } else {
        parsed = *value;
      }
    }
    if (has_burst) {
      if (!burst->is_number_integer() || burst->get<std::int64_t>() < 1) {
        error(prefix + "burst must be a whole number of requests, 1 or more");
        valid = false;
      } else if (!has_rate) {
        error(prefix + "burst applies only with rate");
        valid = false;
      } else {
        parsed.burst = burst->get<std::int64_t>();
      }
    }
    if (valid && has_rate) {
      out = parsed;
    }
    return valid;
  }

  static std::optional<Rate> parse_rate(const std::string& text) {
    const auto slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash > 12) {
      return std::nullopt;
    }
    Rate rate;
    for (std::size_t i = 0; i < slash; ++i) {
      if (text[i] < '0' || text[i] > '9') {
        return std::nullopt;
      }
      rate.count = rate.count * 10 + (text[i] - '0');
    }
    const std::string unit = text.substr(slash + 1);
    if (unit == "second") {
      rate.period_seconds = 1;
    } else if (unit == "minute") {
      rate.period_seconds = 60;
    } else if (unit == "hour") {
      rate.period_seconds = 3600;
    } else {
      return std::nullopt;
    }
    if (rate.count < 1) {
      return std::nullopt;
    }
    rate.burst = rate.count;
    rate.text = text;
    return rate;
  }

  static bool load_alias_list(const Json& value, std::vector<std::string>& out) {
    if (value.is_null()) {
      return true;
    }
    if (!value.is_array()) {
      return false;
    }
    for (const auto& alias : value) {
      if (!alias.is_string()) {
        return false;
      }
      out.push_back(alias.get<std::string>());
    }
    return true;
  }

  static bool is_crypt64(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
      return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
             (c >= 'a' && c <= 'z');
    });
  }

  // Checked by shape so that a load does not pay for a full hash per user.
  static bool is_supported_crypt_hash(std::string_view hash) {
    auto last = hash.rfind('$');
    if (last == std::string_view::npos) {
      return false;
    }
    std::string_view digest = hash.substr(last + 1);
    std::string_view setting = hash.substr(0, last);
    if (hash.starts_with("$y$")) {
      // $y$<params>$<salt>$<43 characters>
      std::string_view rest = setting.substr(3);
      auto dollar = rest.find('$');
      return dollar != std::string_view::npos && dollar > 0 && is_crypt64(rest.substr(0, dollar)) &&
             is_crypt64(rest.substr(dollar + 1)) && digest.size() == 43 && is_crypt64(digest);
    }
    if (hash.starts_with("$2b$") || hash.starts_with("$2y$")) {
      // $2b$<two-digit cost>$<22 salt + 31 hash characters>
      return hash.size() == 60 && hash[4] >= '0' && hash[4] <= '3' && hash[5] >= '0' &&
             hash[5] <= '9' && hash[6] == '$' && is_crypt64(hash.substr(7));
    }
    if (hash.starts_with("$6$")) {
      // $6$[rounds=N$]<salt of 1-16>$<86 characters>
      std::string_view rest = setting.substr(3);
      if (rest.starts_with("rounds=")) {
        auto dollar = rest.find('$');
        if (dollar == std::string_view::npos) {
          return false;
        }
        std::string_view rounds = rest.substr(7, dollar - 7);
        if (rounds.empty() || !std::all_of(rounds.begin(), rounds.end(),
                                           [](char c) { return c >= '0' && c <= '9'; })) {
          return false;
        }
        rest = rest.substr(dollar + 1);
      }
      return !rest.empty() && rest.size() <= 16 && rest.find('$') == std::string_view::npos &&
             rest.find(':') == std::string_view::npos &&
             rest.find('\n') == std::string_view::npos && digest.size() == 86 && is_crypt64(digest);
    }
    return false;
  }

  void load_jwt(const Json& jwt) {
    if (!jwt_file_.empty()) {
      error(file_ + ": duplicate jwt section (first defined in " + jwt_file_ + ")");
      return;
    }
    jwt_file_ = file_;
    const std::string prefix = file_ + ": jwt: ";
    if (!jwt.is_object()) {
      error(file_ + ": jwt must be a mapping");
      return;
    }
    JwtSettings& settings = data_->jwt;
    bool has_keys = false;
    for (const auto& [key, value] : jwt.items()) {
      if (key == "public_keys") {
        has_keys = true;
        if (!value.is_array()) {
          error(prefix + "public_keys must be a list");
          continue;
        }
        std::size_t index = 0;
        for (const auto& entry : value) {
          load_public_key(++index, entry);
        }
      } else if (key == "issuer" || key == "audience") {
        if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
          error(prefix + key + " must be a non-empty text");
        } else {
          (key == "issuer" ? settings.issuer : settings.audience) = value.get<std::string>();
        }
      } else if (key == "user_claim" || key == "aliases_claim") {
        if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
          error(prefix + key + " must be a non-empty text");
        } else {
          (key == "user_claim" ? settings.user_claim : settings.aliases_claim) =
              value.get<std::string>();
        }
      } else if (key == "rate" || key == "burst") {
        continue;  // read together below
      } else if (key == "leeway_seconds") {
        if (!value.is_number_integer() || value.get<std::int64_t>() < 0) {
          error(prefix + "leeway_seconds must be a whole number of seconds, 0 or more");
        } else {
          settings.leeway_seconds = value.get<std::int64_t>();
        }
      } else {
        error(prefix + "unknown key " + quoted(key));
      }
    }
    load_rate(jwt, prefix, settings.rate);
    if (!has_keys) {
      error(prefix + "public_keys is required");
    }
  }

  void load_public_key(std::size_t index, const Json& entry) {
    const std::string prefix = file_ + ": jwt: public key " + std::to_string(index) + ": ";
    if (!entry.is_object()) {
      error(prefix + "must be a mapping with file or pem, and algorithms");
      return;
    }
    bool valid = true;
    const Json* file = nullptr;
    const Json* pem = nullptr;
    const Json* algorithms = nullptr;
    for (const auto& [key, value] : entry.items()) {
      if (key == "file") {
        file = &value;
      } else if (key == "pem") {
        pem = &value;
      } else if (key == "algorithms") {
        algorithms = &value;
      } else {
        error(prefix + "unknown key " + quoted(key));
        valid = false;
      }
    }

    std::shared_ptr<EVP_PKEY> key;
    if ((file != nullptr) == (pem != nullptr)) {
      error(prefix + "needs exactly one of file or pem");
      valid = false;
    } else if (file != nullptr) {
      if (!file->is_string() || file->get_ref<const std::string&>().empty()) {
        error(prefix + "file must be a non-empty text");
        valid = false;
      } else {
        const auto& name = file->get_ref<const std::string&>();
        FileText content = read_whole_file(dir_ / name);
        if (!content.error.empty()) {
          error(prefix + "cannot read key file " + quoted(name) + ": " + content.error);
          valid = false;
        } else {
          valid = parse_key(prefix, "key file " + quoted(name), content.text, key) && valid;
        }
      }
    } else {
      if (!pem->is_string()) {
        error(prefix + "pem must be a text");
        valid = false;
      } else {
        valid = parse_key(prefix, "pem", pem->get_ref<const std::string&>(), key) && valid;
      }
    }

    std::vector<JwtAlgorithm> parsed;
    if (algorithms == nullptr) {
      error(prefix + "algorithms is required");
      valid = false;
    } else if (!algorithms->is_array() || algorithms->empty()) {
      error(prefix + "algorithms must be a non-empty list");
      valid = false;
    } else {
      for (const auto& name : *algorithms) {
        std::optional<JwtAlgorithm> algorithm;
        if (name.is_string()) {
          algorithm = parse_jwt_algorithm(name.get_ref<const std::string&>());
        }
        if (!algorithm) {
          error(prefix + "unsupported algorithm " + quoted(name) +
                " (supported: " + SUPPORTED_ALGORITHMS + ")");
          valid = false;
        } else if (key && !key_fits_algorithm(key.get(), *algorithm)) {
          error(prefix + "algorithm " + quoted(name) + " does not fit an " +
                key_type_name(key.get()) + " key");
          valid = false;
        } else {
          parsed.push_back(*algorithm);
        }
      }
    }
    if (valid) {
      data_->jwt.public_keys.push_back(PublicKey{std::move(key), std::move(parsed)});
    }
  }

  bool parse_key(const std::string& prefix, const std::string& source, std::string_view text,
                 std::shared_ptr<EVP_PKEY>& key) {
    key = parse_public_key(text);
    if (!key) {
      if (text.find("PRIVATE KEY-----") != std::string_view::npos) {
        error(prefix + source + " holds a private key; give only the public key");
      } else {
        error(prefix + source + " holds no PEM public key or certificate");
      }
      return false;
    }
    if (key_type_name(key.get()).empty()) {
      error(prefix + source + " holds a key of an unsupported type (use RSA, EC P-256, " +
            "EC P-384 or Ed25519)");
      key.reset();
      return false;
    }
    return true;
  }

  void load_webhooks(const Json& webhooks) {
    if (webhooks.is_null()) {
      return;
    }
    if (!webhooks.is_object()) {
      error(file_ + ": webhooks must be a mapping of sender names to their entries");
      return;
    }
    for (const auto& [name, entry] : webhooks.items()) {
      load_webhook(name, entry);
    }
  }

  void load_webhook(const std::string& name, const Json& entry) {
    const std::string prefix = file_ + ": webhook " + quoted(name) + ": ";
    if (auto seen = webhook_files_.find(name); seen != webhook_files_.end()) {
      error(file_ + ": duplicate webhook " + quoted(name) + " (first defined in " + seen->second +
            ")");
      return;
    }
    webhook_files_.emplace(name, file_);
    if (name.empty()) {
      error(prefix + "the name must not be empty");
    }
    if (!entry.is_object()) {
      error(prefix + "must be a mapping with scheme and secret_file");
      return;
    }
    WebhookEntry hook;
    hook.name = name;
    const std::size_t before = errors_.size();
    const auto text = [&](const Json& value, std::string_view key) -> std::optional<std::string> {
      if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
        error(prefix + std::string(key) + " must be a non-empty text");
        return std::nullopt;
      }
      return value.get<std::string>();
    };
    std::optional<std::string> scheme;
    std::vector<std::string> generic_keys;
    for (const auto& [key, value] : entry.items()) {
      if (key == "scheme") {
        scheme = text(value, key);
      } else if (key == "secret_file") {
        if (auto path = text(value, key)) {
          load_secret(prefix, *path, hook.secret);
        }
      } else if (key == "allowed_aliases") {
        if (!load_alias_list(value, hook.allowed_aliases)) {
          error(prefix + "allowed_aliases must be a list of alias names");
        }
      } else if (key == "header" || key == "timestamp_header") {
        generic_keys.push_back(key);
        if (auto header = text(value, key)) {
          if (!is_header_name(*header)) {
            error(prefix + key + " " + support::quoted(*header) + " is not a header name");
          }
          (key == "header" ? hook.header : hook.timestamp_header) = *header;
        }
      } else if (key == "algorithm") {
        generic_keys.push_back(key);
        const std::string algorithm = value.is_string() ? value.get<std::string>() : "";
        if (algorithm == "sha256") {
          hook.algorithm = MacAlgorithm::sha256;
        } else if (algorithm == "sha512") {
          hook.algorithm = MacAlgorithm::sha512;
        } else if (algorithm == "sha1") {
          hook.algorithm = MacAlgorithm::sha1;
        } else {
          error(prefix + "algorithm must be one of sha256, sha512, sha1");
        }
      } else if (key == "encoding") {
        generic_keys.push_back(key);
        const std::string encoding = value.is_string() ? value.get<std::string>() : "";
        if (encoding == "hex" || encoding == "base64") {
          hook.encoding = encoding == "hex" ? MacEncoding::hex : MacEncoding::base64;
        } else {
          error(prefix + "encoding must be hex or base64");
        }
      } else if (key == "prefix") {
        generic_keys.push_back(key);
        if (!value.is_string()) {
          error(prefix + "prefix must be a text");
        } else {
          hook.prefix = value.get<std::string>();
        }
      } else if (key == "tolerance_seconds") {
        generic_keys.push_back(key);
        if (!value.is_number_integer() || value.get<std::int64_t>() <= 0) {
          error(prefix + "tolerance_seconds must be a whole number of seconds, 1 or more");
        } else {
          hook.tolerance_seconds = value.get<std::int64_t>();
        }
      } else {
        error(prefix + "unknown key " + quoted(key));
      }
    }
    if (!entry.contains("scheme")) {
      error(prefix + "scheme is required (github, gitlab, gitea or generic)");
    } else if (scheme) {
      if (*scheme == "github") {
        hook.scheme = WebhookScheme::github;
      } else if (*scheme == "gitlab") {
        hook.scheme = WebhookScheme::gitlab;
      } else if (*scheme == "gitea") {
        hook.scheme = WebhookScheme::gitea;
      } else if (*scheme == "generic") {
        hook.scheme = WebhookScheme::generic;
      } else {
        error(prefix + "scheme must be one of github, gitlab, gitea, generic");
      }
    }
    if (!entry.contains("secret_file")) {
      error(prefix + "secret_file is required");
    }
    if (scheme == "generic") {
      if (!entry.contains("header")) {
        error(prefix + "header is required for the generic scheme");
      }
    } else if (scheme && !generic_keys.empty()) {
      error(prefix + generic_keys.front() + " applies to the generic scheme only");
    }
    if (errors_.size() == before) {
      data_->webhooks.push_back(std::move(hook));
    }
  }

  static bool is_header_name(std::string_view name) {
    return std::all_of(name.begin(), name.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
             std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
  }

  // The secret must be the owner's alone: a copy anyone else can read would
  // let them sign deliveries.
  void load_secret(const std::string& prefix, const std::string& name, std::string& secret) {
    const fs::path path = dir_ / name;
    support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
      error(prefix + "cannot read secret_file " + quoted(name) + ": " + std::strerror(errno));
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      error(prefix + "secret_file " + quoted(name) + " is not a regular file");
      return;
    }
    if ((st.st_mode & 077) != 0) {
      char mode[8];
      const int n =
          std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      error(prefix + "secret_file " + quoted(name) + " must not be readable by group or others" +
            " (mode " + std::string(mode, static_cast<std::size_t>(n)) + "; use 0600 or 0400)");
      return;
    }
    FileText content = read_fd(fd.get());
    if (!content.error.empty()) {
      error(prefix + "cannot read secret_file " + quoted(name) + ": " + content.error);
      return;
    }
    secret = std::move(content.text);
    if (secret.ends_with('\n')) {
      secret.pop_back();
    }
    if (secret.empty()) {
      error(prefix + "secret_file " + quoted(name) + " is empty");
    }
  }

  fs::path dir_;
  std::shared_ptr<AuthData> data_;
  std::vector<std::string> errors_;
  std::string file_;                                  // the file being read, by name
  std::map<std::string, std::string> user_files_;     // user name -> file that defined it
  std::string jwt_file_;                              // the file with the jwt section
  std::map<std::string, std::string> webhook_files_;  // webhook name -> file that defined it
};

}  // namespace

LoadOutcome load_auth_dir(const std::string& auth_dir) {
  if (auth_dir.empty()) {
    return {nullptr, {"AuthDir is not set"}};
  }
  return Loader(auth_dir).run();
}

}  // namespace velquin::auth::detail
