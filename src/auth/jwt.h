#pragma once

// Internal to the auth module: JSON Web Token checks against the pinned keys.

#include <optional>
#include <string>
#include <string_view>

#include "auth/auth.h"
#include "auth/auth_data.h"

namespace velquin::auth::detail {

// The algorithm names accepted in key definitions and token headers.
std::optional<JwtAlgorithm> parse_jwt_algorithm(std::string_view name);
const char* jwt_algorithm_name(JwtAlgorithm algorithm);

// Whether the key's type (and curve) can produce signatures of the algorithm.
bool key_fits_algorithm(EVP_PKEY* key, JwtAlgorithm algorithm);
// "RSA", "EC P-256", "EC P-384", "Ed25519", or "" for a type we do not use.
std::string key_type_name(EVP_PKEY* key);

// Three base64url segments separated by dots (the signature may be empty).
bool looks_like_jwt(std::string_view token);

struct JwtOutcome {
  std::optional<AuthResult> result;
  std::string reason;  // why it was refused; never contains the token
};

// Verifies signature, header and claims. now is seconds since the epoch.
JwtOutcome verify_jwt(std::string_view token, const JwtSettings& settings, double now);

}  // namespace velquin::auth::detail
