#include "auth/auth.h"

#include <crypt.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

#include "auth/auth_data.h"
#include "auth/codec.h"
#include "auth/jwt.h"
#include "auth/loader.h"
#include "auth/webhook.h"
#include "logger/logger.h"
#include "support/text.h"

namespace velquin::auth {

namespace {

// Hashed for unknown users so that a refusal takes about as long as a wrong password.
constexpr const char* DUMMY_HASH =
    "$y$j9T$PTvNYRfrYNPkbOqdPargD1$Px43IlIX.aBl1o3ISYSCQPRrN6v5sFtsB.5N2cV4SZ8";

std::string_view bytes_view(const std::array<unsigned char, 32>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool password_matches(const std::string& password, const char* hash) {
  // crypt_data is tens of kilobytes: too big for a request thread's stack.
  auto scratch = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), hash, scratch.get());
  return result != nullptr && support::constant_time_equal(result, hash);
}

AuthResult result_for(const UserEntry& user) {
  return AuthResult{user.name, user.allowed_aliases, user.rate, "user:" + user.name};
}

std::optional<AuthResult> authenticate_api_key(const AuthData& data, std::string_view token) {
  const auto digest = detail::sha256(token);
  const UserEntry* match = nullptr;
  // Every stored hash is compared, so the time taken does not tell which user matched.
  for (const auto& user : data.users) {
    if (user.api_key_sha256) {
      bool equal =
          support::constant_time_equal(bytes_view(digest), bytes_view(*user.api_key_sha256));
      match = equal ? &user : match;
    }
  }
  if (match == nullptr) {
    return std::nullopt;
  }
  return result_for(*match);
}

std::optional<AuthResult> authenticate_basic(const AuthData& data, std::string_view encoded) {
  auto decoded = detail::base64_decode(encoded, detail::Base64Alphabet::standard);
  if (!decoded) {
    return std::nullopt;
  }
  auto colon = decoded->find(':');
  // crypt_r takes C strings: a NUL would cut the password short.
  if (colon == std::string::npos || decoded->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::string_view name = std::string_view(*decoded).substr(0, colon);
  std::string password = decoded->substr(colon + 1);
  const UserEntry* user = nullptr;
  for (const auto& candidate : data.users) {
    if (candidate.password_hash && candidate.name == name) {
      user = &candidate;
      break;
    }
  }
  if (user == nullptr) {
    (void)password_matches(password, DUMMY_HASH);
    return std::nullopt;
  }
  if (!password_matches(password, user->password_hash->c_str())) {
    return std::nullopt;
  }
  return result_for(*user);
}

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Auth::Auth(std::string auth_dir)
    : auth_dir_(std::move(auth_dir)), data_(std::make_shared<const AuthData>()),
      deliveries_(std::make_unique<detail::DeliveryLog>()) {}

Auth::~Auth() = default;

std::vector<std::string> Auth::load_auth_config() {
  return load_auth_config_from(auth_dir_);
}

std::vector<std::string> Auth::load_auth_config_from(const std::string& auth_dir) {
  auto outcome = detail::load_auth_dir(auth_dir);
  if (outcome.errors.empty()) {
    data_.store(std::move(outcome.data));
  }
  return std::move(outcome.errors);
}

std::optional<AuthResult> Auth::authenticate_request(const RequestCredentials& request) const {
  // One snapshot for the whole decision, so a reload cannot mix old and new data.
  const std::shared_ptr<const AuthData> data = data_.load();
  std::string_view header = support::trim(request.authorization);
  std::size_t space = 0;
  while (space < header.size() && !support::is_space(header[space])) {
    ++space;
  }
  const std::string scheme = support::to_lower(header.substr(0, space));
  const std::string_view credentials = support::trim(header.substr(space));
  if (credentials.empty()) {
    return std::nullopt;
  }
  if (scheme == "bearer") {
    if (detail::looks_like_jwt(credentials)) {
      auto outcome = detail::verify_jwt(credentials, data->jwt, now_seconds());
      if (!outcome.result) {
        logger::debug("Bearer token refused: " + outcome.reason);
      }
      return std::move(outcome.result);
    }
    return authenticate_api_key(*data, credentials);
  }
  if (scheme == "basic") {
    return authenticate_basic(*data, credentials);
  }
  return std::nullopt;
}

bool Auth::webhook_may_sign(const HeaderLookup& header, std::string_view alias_name) const {
  const std::shared_ptr<const AuthData> data = data_.load();
  for (const auto& hook : data->webhooks) {
    const auto& allowed = hook.allowed_aliases;
    if (std::find(allowed.begin(), allowed.end(), alias_name) != allowed.end() &&
        header(detail::signature_header(hook))) {
      return true;
    }
  }
  return false;
}

WebhookVerdict Auth::verify_webhook(const HeaderLookup& header, std::string_view body) const {
  const std::shared_ptr<const AuthData> data = data_.load();
  const auto now = static_cast<std::int64_t>(now_seconds());
  WebhookVerdict verdict;
  verdict.reason = "no webhook signature matched";
  for (const auto& hook : data->webhooks) {
    if (!header(detail::signature_header(hook))) {
      continue;
    }
    const detail::SignatureCheck check = detail::check_signature(hook, header, body, now);
    if (check == detail::SignatureCheck::invalid) {
      continue;
    }
    if (check == detail::SignatureCheck::stale) {
      verdict.reason = "webhook " + hook.name + ": timestamp outside the tolerance";
      return verdict;
    }
    if (const std::string_view id_header = detail::delivery_header(hook); !id_header.empty()) {
      if (const std::optional<std::string> id = header(id_header); id && !id->empty()) {
        std::string key = hook.name + '\n' + *id;
        if (deliveries_->seen(key, std::chrono::steady_clock::now())) {
          verdict.reason = "webhook " + hook.name + ": delivery id already seen";
          return verdict;
        }
        verdict.delivery_key = std::move(key);
      }
    }
    verdict.result = AuthResult{hook.name, hook.allowed_aliases};
    verdict.reason.clear();
    return verdict;
  }
  return verdict;
}

bool Auth::record_delivery(const std::string& delivery_key) const {
  return delivery_key.empty() ||
         deliveries_->record(delivery_key, std::chrono::steady_clock::now());
}

bool Auth::webhooks_empty() const {
  return data_.load()->webhooks.empty();
}

bool Auth::users_empty() const {
  return data_.load()->users.empty();
}

bool Auth::public_keys_empty() const {
  return data_.load()->jwt.public_keys.empty();
}

std::size_t Auth::user_count() const {
  return data_.load()->users.size();
}

std::size_t Auth::public_key_count() const {
  return data_.load()->jwt.public_keys.size();
}

}  // namespace velquin::auth
