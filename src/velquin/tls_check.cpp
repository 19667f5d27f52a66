#include "velquin/tls_check.h"

#include "support/file.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

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
int no_password(char*, int, int, void*) { return 0; }

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
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    errors.push_back("SSL certificate " + cert_path + " has expired (expiry: " + text + ")");
  }
  if (key && der_public_key(X509_get0_pubkey(cert.get())) != der_public_key(key.get())) {
    errors.push_back("SSL certificate " + cert_path + " and private key " + key_path +
                     " do not match");
  }
  return errors;
}

std::pair<std::optional<std::string>, std::vector<std::string>>
get_cert_info(const std::string& cert_path) {
  try {
    auto cert = load_cert(cert_path);
    std::optional<std::string> cn;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    int idx = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (idx >= 0) {
      ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx));
      unsigned char* utf8 = nullptr;
      int len = ASN1_STRING_to_UTF8(&utf8, data);
      if (len >= 0) {
        cn = std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
        OPENSSL_free(utf8);
      }
    }
    std::vector<std::string> names;
    auto* sans = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr));
    if (sans != nullptr) {
      for (int i = 0; i < sk_GENERAL_NAME_num(sans); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(sans, i);
        if (name->type == GEN_DNS) {
          const auto* s = name->d.dNSName;
          names.push_back("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                               static_cast<std::size_t>(ASN1_STRING_length(s))));
        } else if (name->type == GEN_IPADD) {
          const auto* ip = name->d.iPAddress;
          char text[INET6_ADDRSTRLEN] = {};
          int family = ASN1_STRING_length(ip) == 4 ? AF_INET : AF_INET6;
          if (inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text) != nullptr) {
            names.push_back(std::string("IP:") + text);
          }
        }
      }
      GENERAL_NAMES_free(sans);
    }
    return {cn, names};
  } catch (...) {
    return {std::nullopt, {}};
  }
}

}  // namespace velquin::app::detail
