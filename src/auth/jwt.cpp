#include "auth/jwt.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "auth/codec.h"
#include "support/quoted.h"

namespace velquin::auth::detail {

namespace {

using Json = nlohmann::json;

struct AlgorithmInfo {
  JwtAlgorithm algorithm;
  const char* name;
};

constexpr std::array<AlgorithmInfo, 6> ALGORITHMS = {{
    {JwtAlgorithm::RS256, "RS256"},
    {JwtAlgorithm::RS384, "RS384"},
    {JwtAlgorithm::RS512, "RS512"},
    {JwtAlgorithm::ES256, "ES256"},
    {JwtAlgorithm::ES384, "ES384"},
    {JwtAlgorithm::EdDSA, "EdDSA"},
}};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};

// The NID of an EC key's curve, or NID_undef.
int ec_curve(EVP_PKEY* key) {
  std::array<char, 80> name{};
  std::size_t length = 0;
  if (EVP_PKEY_get_group_name(key, name.data(), name.size(), &length) != 1) {
    ERR_clear_error();
    return NID_undef;
  }
  int nid = OBJ_sn2nid(name.data());
  if (nid == NID_undef) {
    nid = EC_curve_nist2nid(name.data());
  }
  return nid;
}

// JOSE carries ECDSA signatures as fixed-width r || s; OpenSSL wants DER.
std::optional<std::string> ecdsa_raw_to_der(std::string_view raw, std::size_t half) {
  if (raw.size() != 2 * half) {
    return std::nullopt;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  std::unique_ptr<BIGNUM, BnFree> r(BN_bin2bn(bytes, static_cast<int>(half), nullptr));
  std::unique_ptr<BIGNUM, BnFree> s(BN_bin2bn(bytes + half, static_cast<int>(half), nullptr));
  std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(ECDSA_SIG_new());
  if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
    return std::nullopt;
  }
  // ECDSA_SIG_set0 took ownership.
  (void)r.release();
  (void)s.release();
  int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) {
    return std::nullopt;
  }
  std::string der(static_cast<std::size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_ECDSA_SIG(sig.get(), &out) != length) {
    return std::nullopt;
  }
  return der;
}

bool verify_signature(EVP_PKEY* key, JwtAlgorithm algorithm, std::string_view signing_input,
                      std::string_view signature) {
  const EVP_MD* md = nullptr;
  std::optional<std::string> der;
  switch (algorithm) {
  case JwtAlgorithm::RS256:
    md = EVP_sha256();
    break;
  case JwtAlgorithm::RS384:
    md = EVP_sha384();
    break;
  case JwtAlgorithm::RS512:
    md = EVP_sha512();
    break;
  case JwtAlgorithm::ES256:
    md = EVP_sha256();
    der = ecdsa_raw_to_der(signature, 32);
    break;
  case JwtAlgorithm::ES384:
    md = EVP_sha384();
    der = ecdsa_raw_to_der(signature, 48);
    break;
  case JwtAlgorithm::EdDSA:
    break;  // Ed25519 hashes internally
  }
  if (algorithm == JwtAlgorithm::ES256 || algorithm == JwtAlgorithm::ES384) {
    if (!der) {
      return false;
    }
    signature = *der;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
            EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                             signature.size(),
                             reinterpret_cast<const unsigned char*>(signing_input.data()),
                             signing_input.size()) == 1;
  // A failed verification leaves entries on this thread's error queue.
  ERR_clear_error();
  return ok;
}

std::optional<Json> decode_json_object(std::string_view segment) {
  auto bytes = base64_decode(segment, Base64Alphabet::url);
  if (!bytes) {
    return std::nullopt;
  }
  Json value = Json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) {
    return std::nullopt;
  }
  return value;
}

bool is_base64url_segment(std::string_view segment) {
  return std::ranges::all_of(segment, [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

JwtOutcome refuse(std::string reason) {
  return JwtOutcome{std::nullopt, std::move(reason)};
}

}  // namespace

std::optional<JwtAlgorithm> parse_jwt_algorithm(std::string_view name) {
  for (const auto& info : ALGORITHMS) {
    if (name == info.name) {
      return info.algorithm;
    }
  }
  return std::nullopt;
}

const char* jwt_algorithm_name(JwtAlgorithm algorithm) {
  for (const auto& info : ALGORITHMS) {
    if (info.algorithm == algorithm) {
      return info.name;
    }
  }
  return "?";
}

std::string key_type_name(EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
  case EVP_PKEY_RSA:
    return "RSA";
  case EVP_PKEY_ED25519:
    return "Ed25519";
  case EVP_PKEY_EC:
    switch (ec_curve(key)) {
    case NID_X9_62_prime256v1:
      return "EC P-256";
    case NID_secp384r1:
      return "EC P-384";
    default:
      return "";
    }
  default:
    return "";
  }
}

bool key_fits_algorithm(EVP_PKEY* key, JwtAlgorithm algorithm) {
  std::string type = key_type_name(key);
  switch (algorithm) {
  case JwtAlgorithm::RS256:
  case JwtAlgorithm::RS384:
  case JwtAlgorithm::RS512:
    return type == "RSA";
  case JwtAlgorithm::ES256:
    return type == "EC P-256";
  case JwtAlgorithm::ES384:
    return type == "EC P-384";
  case JwtAlgorithm::EdDSA:
    return type == "Ed25519";
  }
  return false;
}

bool looks_like_jwt(std::string_view token) {
  auto first = token.find('.');
  if (first == std::string_view::npos) {
    return false;
  }
  auto second = token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return false;
  }
  std::string_view header = token.substr(0, first);
  std::string_view payload = token.substr(first + 1, second - first - 1);
  std::string_view signature = token.substr(second + 1);
  return !header.empty() && !payload.empty() && is_base64url_segment(header) &&
         is_base64url_segment(payload) && is_base64url_segment(signature);
}

JwtOutcome verify_jwt(std::string_view token, const JwtSettings& settings, double now) {
  if (!looks_like_jwt(token)) {
    return refuse("not three base64url segments");
  }
  auto first = token.find('.');
  auto second = token.find('.', first + 1);
  std::string_view signing_input = token.substr(0, second);

  auto header = decode_json_object(token.substr(0, first));
  if (!header) {
    return refuse("header is not a base64url JSON object");
  }
  auto alg_it = header->find("alg");
  if (alg_it == header->end() || !alg_it->is_string()) {
    return refuse("header has no algorithm");
  }
  const auto& alg_name = alg_it->get_ref<const std::string&>();
  // Only asymmetric algorithms: "none" and HMAC would let anyone holding the
  // public key (or nobody at all) mint tokens.
  auto algorithm = parse_jwt_algorithm(alg_name);
  if (!algorithm) {
    return refuse("algorithm " + support::quoted(alg_name) + " is not accepted");
  }
  // We implement no header extensions, so any critical one must be refused.
  if (header->contains("crit")) {
    return refuse("header names critical extensions");
  }

  auto signature = base64_decode(token.substr(second + 1), Base64Alphabet::url);
  if (!signature || signature->empty()) {
    return refuse("signature is missing or not base64url");
  }
  bool pinned = false;
  bool verified = false;
  for (const auto& key : settings.public_keys) {
    bool allowed = false;
    for (auto candidate : key.algorithms) {
      allowed = allowed || candidate == *algorithm;
    }
    if (!allowed) {
      continue;
    }
    pinned = true;
    if (verify_signature(key.key.get(), *algorithm, signing_input, *signature)) {
      verified = true;
      break;
    }
  }
  if (!pinned) {
    return refuse("no public key is pinned to algorithm " + support::quoted(alg_name));
  }
  if (!verified) {
    return refuse("signature does not verify");
  }

  auto claims = decode_json_object(token.substr(first + 1, second - first - 1));
  if (!claims) {
    return refuse("payload is not a base64url JSON object");
  }
  const auto leeway = static_cast<double>(settings.leeway_seconds);
  if (auto it = claims->find("exp"); it != claims->end()) {
    if (!it->is_number()) {
      return refuse("exp is not a number");
    }
    if (now >= it->get<double>() + leeway) {
      return refuse("token has expired");
    }
  }
  if (auto it = claims->find("nbf"); it != claims->end()) {
    if (!it->is_number()) {
      return refuse("nbf is not a number");
    }
    if (now + leeway < it->get<double>()) {
      return refuse("token is not valid yet");
    }
  }
  if (settings.issuer) {
    auto it = claims->find("iss");
    if (it == claims->end() || !it->is_string() || *it != *settings.issuer) {
      return refuse("issuer does not match");
    }
  }
  if (settings.audience) {
    auto it = claims->find("aud");
    bool match = false;
    if (it != claims->end() && it->is_string()) {
      match = *it == *settings.audience;
    } else if (it != claims->end() && it->is_array()) {
      for (const auto& entry : *it) {
        match = match || (entry.is_string() && entry == *settings.audience);
      }
    }
    if (!match) {
      return refuse("audience does not match");
    }
  }

  AuthResult result;
  auto user = claims->find(settings.user_claim);
  if (user == claims->end() || !user->is_string() || user->get_ref<const std::string&>().empty()) {
    return refuse("claim " + support::quoted(settings.user_claim) + " is not a non-empty text");
  }
  result.user_id = user->get<std::string>();
  result.rate = settings.rate;
  result.rate_key = "jwt:" + result.user_id;
  if (auto it = claims->find(settings.aliases_claim); it != claims->end() && !it->is_null()) {
    if (!it->is_array()) {
      return refuse("claim " + support::quoted(settings.aliases_claim) + " is not a list");
    }
    for (const auto& entry : *it) {
      if (!entry.is_string()) {
        return refuse("claim " + support::quoted(settings.aliases_claim) +
                      " holds a value that is not a text");
      }
      result.allowed_aliases.push_back(entry.get<std::string>());
    }
  }
  return JwtOutcome{std::move(result), ""};
}

}  // namespace velquin::auth::detail
