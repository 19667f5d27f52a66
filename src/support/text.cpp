#include "support/text.h"

#include <openssl/crypto.h>

#include "support/digest.h"

namespace velquin::support {

namespace {

// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when invalid.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(bytes[i]);
  if (b0 < 0x80) {
    return 1;
  }
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xbf;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    len = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    len = 3;
    if (b0 == 0xe0) {
      lo = 0xa0;  // overlong
    } else if (b0 == 0xed) {
      hi = 0x9f;  // surrogates
    }
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    len = 4;
    if (b0 == 0xf0) {
      lo = 0x90;
    } else if (b0 == 0xf4) {
      hi = 0x8f;
    }
  } else {
    return 0;
  }
  if (i + len > bytes.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(bytes[i + k]);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xbf;
    if (b < min || b > max) {
      return 0;
    }
  }
  return len;
}

// Number of bytes of a maximal invalid prefix that one U+FFFD replaces.
std::size_t invalid_prefix_length(std::string_view bytes, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(bytes[i]);
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xbf;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    len = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    len = 3;
    lo = b0 == 0xe0 ? 0xa0 : 0x80;
    hi = b0 == 0xed ? 0x9f : 0xbf;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    len = 4;
    lo = b0 == 0xf0 ? 0x90 : 0x80;
    hi = b0 == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 1;
  }
  std::size_t k = 1;
  for (; k < len && i + k < bytes.size(); ++k) {
    const auto b = static_cast<unsigned char>(bytes[i + k]);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xbf;
    if (b < min || b > max) {
      break;
    }
  }
  return k;
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
    const std::uint32_t n = (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
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
