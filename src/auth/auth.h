#pragma once

#include <atomic>
#include <cstddef>
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

struct AuthResult {
  std::string user_id;
  std::vector<std::string> allowed_aliases;
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
  std::size_t user_count() const;
  std::size_t public_key_count() const;

 private:
  const std::string auth_dir_;
  support::Published<const AuthData> data_;
};

}  // namespace velquin::auth
