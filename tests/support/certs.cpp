#include "support/certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace velquin::testing {

CertFiles make_self_signed(const std::filesystem::path& dir, const std::string& stem,
                           const CertOptions& options) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (key == nullptr) {
    throw std::runtime_error("key generation failed");
  }
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), options.not_before_offset_s);
  X509_gmtime_adj(X509_getm_notAfter(cert), options.not_after_offset_s);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  if (!options.common_name.empty()) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(options.common_name.c_str()),
                               -1, -1, 0);
  }
  X509_set_issuer_name(cert, name);
  std::string san;
  for (const auto& dns : options.dns_names) {
    san += (san.empty() ? "" : ",") + std::string("DNS:") + dns;
  }
  for (const auto& ip : options.ip_addresses) {
    san += (san.empty() ? "" : ",") + std::string("IP:") + ip;
  }
  if (!san.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, key, EVP_sha256());

  CertFiles files{dir / (stem + ".crt"), dir / (stem + ".key")};
  std::filesystem::create_directories(dir);
  FILE* f = std::fopen(files.cert.c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen(files.key.c_str(), "w");
  if (options.encrypt_key) {
    static const char kPass[] = "secret";
    PEM_write_PrivateKey(f, key, EVP_aes_128_cbc(), nullptr, 0, nullptr, const_cast<char*>(kPass));
  } else {
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  }
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

}  // namespace velquin::testing
