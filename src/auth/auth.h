#pragma once

#include <atomic>
#include <cstdint>
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

struct AuthData;  // users and pinned JWT keys of one clean load

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

  bool users_empty() const;
  bool public_keys_empty() const;

 private:
  const std::string auth_dir_;
  support::Published<const AuthData> data_;
};

}  // namespace velquin::auth
