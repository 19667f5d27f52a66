#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/published.h"

namespace velquin::auth {

// What a request offers for authentication.
struct RequestCredentials {
  std::string authorization;  // the Authorization header, "" when absent
  std::string remote_address;
};

// A caller's allowance: `count` requests per `period_seconds`, with at most
// `burst` of them at once (a token bucket).
struct Rate {
  std::int64_t count = 0;
  std::int64_t period_seconds = 1;
  std::int64_t burst = 0;
  std::string text;  // as written: "10/minute"
  bool operator==(const Rate&) const = default;
};

struct AuthResult {
  std::string user_id;
  std::vector<std::string> allowed_aliases;
  // Initialised here so that callers may leave them out of a brace list.
  std::optional<Rate> rate{};
  // Names the caller's bucket: a user entry and a token's claim of the same
  // name are different callers.
  std::string rate_key{};
};

// A request header by name (any case); nullopt when absent.
using HeaderLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The outcome of checking a delivery against the webhook senders.
struct WebhookVerdict {
  std::optional<AuthResult> result;  // set when a sender's signature verified
  std::string reason;                // why not, for the log; never names a secret
  std::string delivery_key;          // the sender and its delivery id; "" when none
};

struct AuthData;  // users, pinned JWT keys and webhook senders of one clean load
namespace detail {
class DeliveryLog;
}

class Auth {
 public:
  // auth_dir: the AuthDir setting, where load_auth_config() reads.
  explicit Auth(std::string auth_dir = {});
  ~Auth();
  Auth(const Auth&) = delete;
  Auth& operator=(const Auth&) = delete;

  // Loads *.yaml / *.yml directly in the directory, in name order. Returns
  // the error texts; the new data replaces the old as a whole only when there
  // are none (the first load with errors leaves no users).
  std::vector<std::string> load_auth_config();
  std::vector<std::string> load_auth_config_from(const std::string& auth_dir);

  // nullopt when the caller is not authenticated. Safe from any thread.
  std::optional<AuthResult> authenticate_request(const RequestCredentials& request) const;

  // True when a sender that may run the alias finds its signature header in
  // the request: only then is an unauthenticated body worth reading.
  bool webhook_may_sign(const HeaderLookup& header, std::string_view alias_name) const;
  // The senders whose signature header is present, in name order, over the
  // exact bytes received. A delivery id already recorded is refused.
  WebhookVerdict verify_webhook(const HeaderLookup& header, std::string_view body) const;
  // Records a verified delivery whose run was admitted; false when another
  // request recorded it first.
  bool record_delivery(const std::string& delivery_key) const;

  bool users_empty() const;
  bool public_keys_empty() const;
  bool webhooks_empty() const;
  std::size_t user_count() const;
  std::size_t public_key_count() const;

 private:
  const std::string auth_dir_;
  support::Published<const AuthData> data_;
  // Kept across reloads: a reload must not reopen old deliveries to replay.
  std::unique_ptr<detail::DeliveryLog> deliveries_;
};

}  // namespace velquin::auth
