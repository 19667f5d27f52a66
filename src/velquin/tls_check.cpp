#include "velquin/tls_check.h"

#include "support/file.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace velquin::app::detail {
namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

std::string openssl_error(const char* fallback) {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) {
    return fallback;
  }
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : fallback;
}

// The file's bytes; an OS failure throws with the OS's own text.
std::string read_file_text(const std::string& path) {
  try {
    return support::read_whole_file(path);
  } catch (const std::system_error& e) {
    throw std::runtime_error(e.code().message());
  }
}

std::unique_ptr<X509, X509Free> load_cert(const std::string& path) {
  std::string pem = read_file_text(path);
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) {
    throw std::runtime_error(openssl_error("not a PEM certificate"));
  }
  return cert;
}

// A key protected by a password is refused, never prompted for.
int no_password(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*userdata*/) {
  return 0;
}

std::unique_ptr<EVP_PKEY, PkeyFree> load_key(const std::string& path) {
  std::string pem = read_file_text(path);
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, no_password, nullptr));
  if (!key) {
    throw std::runtime_error(openssl_error("not a PEM private key"));
  }
  return key;
}

std::string der_public_key(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int len = i2d_PUBKEY(key, &der);
  if (len <= 0) {
    return {};
  }
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

}  // namespace

std::vector<std::string> validate_ssl(const std::string& cert_path, const std::string& key_path) {
  std::vector<std::string> errors;
  std::unique_ptr<X509, X509Free> cert;
  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  try {
    cert = load_cert(cert_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL certificate " + cert_path + ": " + e.what());
  }
  try {
    key = load_key(key_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL private key " + key_path + ": " + e.what());
  }
  if (!cert) {
    return errors;
  }
  const ASN1_TIME* not_after = X509_get0_notAfter(cert.get());
  std::time_t now = std::time(nullptr);
  if (X509_cmp_time(not_after, &now) < 0) {
    std::tm tm{};
    ASN1_TIME_to_tm(not_after, &tm);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    errors.push_back("SSL certificate " + cert_path +
                     " has expired (expiry: " + std::string(text, n) + ")");
  }
  if (key && der_public_key(X509_get0_pubkey(cert.get())) != der_public_key(key.get())) {
    errors.push_back("SSL certificate " + cert_path + " and private key " + key_path +
                     " do not match");
  }
  return errors;
}

}  // namespace velquin::app::detail
