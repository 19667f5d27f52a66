#pragma once

// Keys, tokens and password hashes made on the fly for the auth tests
// (header-only: every test file of the module includes it).

#include <crypt.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "support/text.h"

namespace velquin::auth::testing {

struct TestKey {
  std::shared_ptr<EVP_PKEY> key;
  std::string public_pem() const;
  std::string private_pem() const;
};

// type: "RSA" (2048 bits), "P-256", "P-384" or "ED25519".
inline TestKey make_key(const std::string& type);
// The same key object for the whole test program (RSA generation is slow).
inline const TestKey& shared_key(const std::string& type);

inline std::string base64url(std::string_view bytes);

// A compact token whose header is {"alg": alg, "typ": "JWT"} plus extra_header,
// signed with key for the JOSE algorithm alg (ES* signatures as raw r || s).
inline std::string sign_jwt(const TestKey& key, const std::string& alg,
                            const nlohmann::json& claims,
                            const nlohmann::json& extra_header = nlohmann::json::object());

// A token with the given header and claims and the given signature bytes.
inline std::string assemble_jwt(const nlohmann::json& header, const nlohmann::json& claims,
                                std::string_view signature);

inline std::string hmac_sha256(std::string_view secret, std::string_view data);

// A crypt(3) hash with a cheap cost: prefix "$y$", "$2b$" or "$6$".
inline std::string crypt_hash(const std::string& password, const std::string& prefix);

inline std::string sha256_hex(std::string_view text);

namespace internal {

inline std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

template <typename Write> inline std::string pem_of(Write write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || write(bio.get()) != 1) {
    throw std::runtime_error("PEM write failed");
  }
  return bio_text(bio.get());
}

inline const EVP_MD* digest_for(const std::string& alg) {
  if (alg.ends_with("256")) {
    return EVP_sha256();
  }
  if (alg.ends_with("384")) {
    return EVP_sha384();
  }
  if (alg.ends_with("512")) {
    return EVP_sha512();
  }
  return nullptr;  // EdDSA, or a deliberately wrong name
}

inline std::string sign(EVP_PKEY* key, const std::string& alg, std::string_view input) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  std::size_t length = 0;
  if (EVP_DigestSignInit(ctx.get(), nullptr, digest_for(alg), nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, data, input.size()) != 1) {
    throw std::runtime_error("sign init failed");
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data,
                     input.size()) != 1) {
    throw std::runtime_error("sign failed");
  }
  signature.resize(length);
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
    return signature;
  }
  // DER ECDSA-Sig-Value -> fixed-width r || s.
  const std::size_t half = alg == "ES384" ? 48 : 32;
  const auto* der = reinterpret_cast<const unsigned char*>(signature.data());
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
      d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size())), ECDSA_SIG_free);
  std::string raw(2 * half, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, static_cast<int>(half));
  BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + half, static_cast<int>(half));
  return raw;
}

}  // namespace internal

inline std::string TestKey::public_pem() const {
  return internal::pem_of([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); });
}

inline std::string TestKey::private_pem() const {
  return internal::pem_of([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

inline TestKey make_key(const std::string& type) {
  EVP_PKEY* key = nullptr;
  if (type == "RSA") {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(2048));
  } else if (type == "P-256" || type == "P-384") {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", type.c_str());
  } else if (type == "ED25519") {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  }
  if (key == nullptr) {
    throw std::runtime_error("key generation failed for " + type);
  }
  return TestKey{std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free)};
}

inline const TestKey& shared_key(const std::string& type) {
  static std::mutex lock;
  static std::map<std::string, TestKey> keys;
  std::lock_guard guard(lock);
  auto it = keys.find(type);
  if (it == keys.end()) {
    it = keys.emplace(type, make_key(type)).first;
  }
  return it->second;
}

inline std::string base64url(std::string_view bytes) {
  std::string text = support::base64_encode(bytes);
  for (char& c : text) {
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  }
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  return text;
}

inline std::string assemble_jwt(const nlohmann::json& header, const nlohmann::json& claims,
                                std::string_view signature) {
  return base64url(header.dump()) + "." + base64url(claims.dump()) + "." + base64url(signature);
}

inline std::string sign_jwt(const TestKey& key, const std::string& alg,
                            const nlohmann::json& claims, const nlohmann::json& extra_header) {
  nlohmann::json header = {{"alg", alg}, {"typ", "JWT"}};
  header.update(extra_header);
  std::string input = base64url(header.dump()) + "." + base64url(claims.dump());
  return input + "." + base64url(internal::sign(key.key.get(), alg, input));
}

inline std::string hmac_sha256(std::string_view secret, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  return std::string(reinterpret_cast<const char*>(out), length);
}

inline std::string crypt_hash(const std::string& password, const std::string& prefix) {
  // Lowest costs each method allows: the tests check correctness, not strength.
  unsigned long count = prefix == "$2b$" ? 4 : prefix == "$6$" ? 1000 : 1;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix.c_str(), count, nullptr, 0, setting, sizeof setting) == nullptr) {
    throw std::runtime_error("crypt_gensalt failed for " + prefix);
  }
  auto scratch = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), setting, scratch.get());
  if (hash == nullptr || hash[0] == '*') {
    throw std::runtime_error("crypt failed for " + prefix);
  }
  return hash;
}

inline std::string sha256_hex(std::string_view text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 15]);
  }
  return out;
}

}  // namespace velquin::auth::testing
