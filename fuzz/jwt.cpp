// JWT parsing and verification. The first byte picks the mode: a raw token, or
// a header and payload (the two JSON texts of the rest, split at the first
// newline) that this target signs with a pinned key before verifying, so that
// the claim checks are reached too. A token signed by a pinned key for its own
// algorithm must never fail on its signature.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "auth/auth_data.h"
#include "auth/jwt.h"

namespace {

namespace auth = velquin::auth;

struct Signer {
  std::shared_ptr<EVP_PKEY> key;
  auth::JwtAlgorithm algorithm;
  const EVP_MD* md;
  std::size_t ecdsa_half;  // 0 when not ECDSA
};

std::shared_ptr<EVP_PKEY> generate(const char* type, const char* param = nullptr) {
  EVP_PKEY* key = nullptr;
  if (param == nullptr) {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type);
  } else if (std::string_view(type) == "RSA") {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type, static_cast<std::size_t>(2048));
  } else {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type, param);
  }
  if (key == nullptr) {
    std::abort();
  }
  return {key, EVP_PKEY_free};
}

const std::vector<Signer>& signers() {
  static const std::vector<Signer> all = {
      {generate("ED25519"), auth::JwtAlgorithm::EdDSA, nullptr, 0},
      {generate("EC", "P-256"), auth::JwtAlgorithm::ES256, EVP_sha256(), 32},
      {generate("EC", "P-384"), auth::JwtAlgorithm::ES384, EVP_sha384(), 48},
      {generate("RSA", "2048"), auth::JwtAlgorithm::RS256, EVP_sha256(), 0},
  };
  return all;
}

std::string base64url(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += alphabet[(buffer >> bits) & 63];
    }
  }
  if (bits > 0) {
    out += alphabet[(buffer << (6 - bits)) & 63];
  }
  return out;
}

std::string sign(const Signer& signer, std::string_view input) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  if (EVP_DigestSignInit(ctx.get(), nullptr, signer.md, nullptr, signer.key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, data, input.size()) != 1) {
    std::abort();
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data,
                     input.size()) != 1) {
    std::abort();
  }
  signature.resize(length);
  if (signer.ecdsa_half == 0) {
    return signature;
  }
  // JOSE wants r || s at fixed width, not DER.
  const auto* der = reinterpret_cast<const unsigned char*>(signature.data());
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
      d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size())), ECDSA_SIG_free);
  std::string raw(2 * signer.ecdsa_half, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (!sig ||
      BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, static_cast<int>(signer.ecdsa_half)) < 0 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + signer.ecdsa_half,
                   static_cast<int>(signer.ecdsa_half)) < 0) {
    std::abort();
  }
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned mode = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  auth::JwtSettings settings;
  for (const auto& signer : signers()) {
    settings.public_keys.push_back({signer.key, {signer.algorithm}});
  }
  if (mode & 4) {
    settings.issuer = "https://issuer.example";
  }
  if (mode & 8) {
    settings.audience = "velquin";
  }
  if (mode & 16) {
    settings.user_claim = "email";
  }
  constexpr double now = 1'800'000'000;

  if ((mode & 3) == 0) {
    auth::detail::verify_jwt(rest, settings, now);
    return 0;
  }
  const auto newline = rest.find('\n');
  const std::string_view header = rest.substr(0, newline);
  const std::string_view payload =
      newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  const Signer& signer = signers()[(mode >> 5) % signers().size()];
  const std::string signing_input = base64url(header) + "." + base64url(payload);
  const std::string token = signing_input + "." + base64url(sign(signer, signing_input));

  const auto outcome = auth::detail::verify_jwt(token, settings, now);
  if (outcome.result.has_value() == !outcome.reason.empty()) {
    std::abort();
  }
  const auto parsed = nlohmann::json::parse(header, nullptr, false);
  const bool own_algorithm = parsed.is_object() && parsed.contains("alg") &&
                             parsed["alg"] == auth::detail::jwt_algorithm_name(signer.algorithm);
  if (own_algorithm && outcome.reason == "signature does not verify") {
    std::abort();
  }
  if (outcome.result && outcome.result->user_id.empty()) {
    std::abort();
  }
  return 0;
}
