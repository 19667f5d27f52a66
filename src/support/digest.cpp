#include "support/digest.h"

#include <stdexcept>

#include <openssl/evp.h>

namespace velquin::support {

std::array<unsigned char, 32> sha256(std::string_view data) {
  // Fetched once and never freed: threads may hash until the process ends.
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  std::array<unsigned char, 32> digest{};
  unsigned int size = 0;
  if (md == nullptr ||
      EVP_Digest(data.data(), data.size(), digest.data(), &size, md, nullptr) != 1 ||
      size != digest.size()) {
    throw std::runtime_error("SHA-256 is not available");
  }
  return digest;
}

}  // namespace velquin::support
