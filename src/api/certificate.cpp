#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "api/internal.h"

namespace velquin::api {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct NamesFree {
  void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};

std::string asn1_text(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) {
    throw std::runtime_error("unreadable name");
  }
  std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return out;
}

}  // namespace

// Each part needs the one before it: the first failure ends the description.
std::string describe_certificate(const std::string& cert_path) {
  std::string info;
  try {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(cert_path.c_str(), "re"));
    if (!file) {
      return info;
    }
    std::unique_ptr<X509, X509Free> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      return info;
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
      return info;
    }
    std::string cn = asn1_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (!cn.empty()) {
      info += ", CN=" + cn;
    }

    std::unique_ptr<GENERAL_NAMES, NamesFree> names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    std::vector<std::string> listed;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
      if (name->type == GEN_DNS) {
        listed.push_back("DNS:" + asn1_text(name->d.dNSName));
      } else if (name->type == GEN_IPADD) {
        const ASN1_OCTET_STRING* ip = name->d.iPAddress;
        char buf[INET6_ADDRSTRLEN] = {};
        int family = ip->length == 4 ? AF_INET : ip->length == 16 ? AF_INET6 : -1;
        if (family < 0 || inet_ntop(family, ip->data, buf, sizeof buf) == nullptr) {
          return info;
        }
        listed.push_back(std::string("IP:") + buf);
      }
    }
    if (!listed.empty()) {
      info += ", SAN=";
      for (std::size_t i = 0; i < listed.size(); ++i) {
        info += (i > 0 ? ", " : "") + listed[i];
      }
    }

    std::tm tm{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &tm) != 1) {
      return info;
    }
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
    info += ", expires " + std::string(date);
  } catch (const std::exception&) {
    // A description cut short is all that a bad certificate costs here.
  }
  return info;
}

}  // namespace velquin::api
