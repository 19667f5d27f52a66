#include "support/uuid.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace velquin::support {

namespace {

std::array<unsigned char, 16> random_v4_bytes() {
  std::array<unsigned char, 16> bytes{};
  // The kernel's CSPRNG directly: no per-thread generator state in every
  // short-lived request thread.
  std::size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      // Ids name run directories; a predictable one must never be handed out.
      throw std::runtime_error("cannot obtain random bytes for a UUID");
    }
    got += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  return bytes;
}

std::string hex(const std::array<unsigned char, 16>& bytes, bool hyphens) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) {
      out.push_back('-');
    }
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return out;
}

}  // namespace

std::string uuid4() {
  return hex(random_v4_bytes(), true);
}

std::string uuid4_hex() {
  return hex(random_v4_bytes(), false);
}

bool is_uuid(std::string_view text) {
  if (text.size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace velquin::support
