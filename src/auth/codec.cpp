#include "auth/codec.h"

#include "support/text.h"

#include "support/digest.h"

#include <cstdint>

namespace velquin::auth::detail {

namespace {

using support::hex_value;

int base64_value(char c, Base64Alphabet alphabet) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (alphabet == Base64Alphabet::standard) {
    return c == '+' ? 62 : c == '/' ? 63 : -1;
  }
  return c == '-' ? 62 : c == '_' ? 63 : -1;
}

}  // namespace

std::optional<std::string> base64_decode(std::string_view text, Base64Alphabet alphabet) {
  if (alphabet == Base64Alphabet::standard && !text.empty() && text.back() == '=') {
    if (text.size() % 4 != 0) {
      return std::nullopt;
    }
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '=') {
      text.remove_suffix(1);
    }
  }
  if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (char c : text) {
    int value = base64_value(c, alphabet);
    if (value < 0) {
      return std::nullopt;
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      out.push_back(static_cast<char>((bits >> bit_count) & 0xFF));
    }
  }
  // Non-zero leftover bits would let several texts decode to the same bytes.
  if ((bits & ((1U << bit_count) - 1U)) != 0) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::array<unsigned char, 32>> parse_sha256_hex(std::string_view hex) {
  std::array<unsigned char, 32> digest{};
  if (hex.size() != digest.size() * 2) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < digest.size(); ++i) {
    int high = hex_value(hex[2 * i]);
    int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    digest[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return digest;
}

std::array<unsigned char, 32> sha256(std::string_view data) {
  return support::sha256(data);
}

}  // namespace velquin::auth::detail
