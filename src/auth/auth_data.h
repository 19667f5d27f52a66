#pragma once

// Internal to the auth module: the shape of one clean load.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/types.h>

#include "auth/auth.h"

namespace velquin::auth {

enum class JwtAlgorithm { RS256, RS384, RS512, ES256, ES384, EdDSA };

struct UserEntry {
  std::string name;
  std::optional<std::array<unsigned char, 32>> api_key_sha256;
  std::optional<std::string> password_hash;
  std::vector<std::string> allowed_aliases;
  std::optional<Rate> rate;
};

struct PublicKey {
  std::shared_ptr<EVP_PKEY> key;
  std::vector<JwtAlgorithm> algorithms;
};

struct JwtSettings {
  std::vector<PublicKey> public_keys;
  std::optional<std::string> issuer;
  std::optional<std::string> audience;
  std::string user_claim = "sub";
  std::string aliases_claim = "velquin_aliases";
  std::int64_t leeway_seconds = 30;
  std::optional<Rate> rate;  // per value of the user claim
};

struct AuthData {
  std::vector<UserEntry> users;
  JwtSettings jwt;
};

}  // namespace velquin::auth
