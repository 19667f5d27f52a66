#include "support/text.h"

#include <openssl/crypto.h>

#include "support/digest.h"

namespace velquin::support {

namespace {

// The sequence a lead byte starts: its length (0 when the byte cannot lead)
// and the range of its second byte, narrowed against overlongs, surrogates
// and code points above U+10FFFF.
struct LeadByte {
  std::size_t length = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xbf;
};

LeadByte lead_byte(unsigned char b0) {
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    return {2};
  }
  if (b0 >= 0xe0 && b0 <= 0xef) {
    return {3, static_cast<unsigned char>(b0 == 0xe0 ? 0xa0 : 0x80),
            static_cast<unsigned char>(b0 == 0xed ? 0x9f : 0xbf)};
  }
  if (b0 >= 0xf0 && b0 <= 0xf4) {
    return {4, static_cast<unsigned char>(b0 == 0xf0 ? 0x90 : 0x80),
            static_cast<unsigned char>(b0 == 0xf4 ? 0x8f : 0xbf)};
  }
  return {};
}

// How many bytes from bytes[i] on fit the sequence its lead byte starts (at least 1).
std::size_t fitting_prefix(std::string_view bytes, std::size_t i, const LeadByte& lead) {
  std::size_t k = 1;
  for (; k < lead.length && i + k < bytes.size(); ++k) {
    const auto b = static_cast<unsigned char>(bytes[i + k]);
    if (b < (k == 1 ? lead.lo : 0x80) || b > (k == 1 ? lead.hi : 0xbf)) {
      break;
    }
  }
  return k;
}

// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when invalid.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(bytes[i]);
  if (b0 < 0x80) {
    return 1;
  }
  const LeadByte lead = lead_byte(b0);
  if (lead.length == 0 || fitting_prefix(bytes, i, lead) != lead.length) {
    return 0;
  }
  return lead.length;
}

// Number of bytes of a maximal invalid prefix that one U+FFFD replaces.
std::size_t invalid_prefix_length(std::string_view bytes, std::size_t i) {
  const LeadByte lead = lead_byte(static_cast<unsigned char>(bytes[i]));
  return lead.length == 0 ? 1 : fitting_prefix(bytes, i, lead);
}

}  // namespace

std::string decode_utf8_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t len = utf8_sequence_length(bytes, i);
    if (len > 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += "\xef\xbf\xbd";
      i += invalid_prefix_length(bytes, i);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t len = utf8_sequence_length(bytes, i);
    if (len == 0) {
      return false;
    }
    i += len;
  }
  return true;
}

void truncate_utf8(std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) {
    return;
  }
  std::size_t cut = max_bytes;
  // Back off over continuation bytes to the start of the sequence that would be split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  text.resize(cut);
}

std::string universal_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n =
        (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
        (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 2]));
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) {
      n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_space(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::vector<std::string> split_whitespace(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) {
      ++i;
    }
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) {
      ++i;
    }
    if (i > start) {
      out.emplace_back(text.substr(start, i - start));
    }
  }
  return out;
}

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  // Fixed-size digests: no early return on a length difference that would tell
  // a caller how close its guess is.
  const auto digest_a = sha256(a);
  const auto digest_b = sha256(b);
  return CRYPTO_memcmp(digest_a.data(), digest_b.data(), digest_a.size()) == 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace velquin::support
