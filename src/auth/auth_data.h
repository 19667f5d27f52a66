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

enum class WebhookScheme { github, gitlab, gitea, generic };
enum class MacAlgorithm { sha1, sha256, sha512 };
enum class MacEncoding { hex, base64 };

// A sender of signed events. For the named schemes only `secret` and the
// aliases matter; the rest describes a generic sender.
struct WebhookEntry {
  std::string name;
  WebhookScheme scheme = WebhookScheme::github;
  std::string secret;
  std::vector<std::string> allowed_aliases;
  std::string header;  // the signature header
  MacAlgorithm algorithm = MacAlgorithm::sha256;
  MacEncoding encoding = MacEncoding::hex;
  std::string prefix;
  std::string timestamp_header;  // empty: the MAC covers the body alone
  std::int64_t tolerance_seconds = 300;
};

struct AuthData {
  std::vector<UserEntry> users;
  JwtSettings jwt;
  std::vector<WebhookEntry> webhooks;  // in name order
};

}  // namespace velquin::auth
