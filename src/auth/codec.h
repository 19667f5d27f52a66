#pragma once

// Internal to the auth module: the byte-level decoding that credentials need.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velquin::auth::detail {

enum class Base64Alphabet { standard, url };

// Strict decoding: only the alphabet's characters, no white space, unused
// trailing bits zero. The standard alphabet accepts "=" padding (complete or
// absent); the URL alphabet accepts none. nullopt for anything else.
std::optional<std::string> base64_decode(std::string_view text, Base64Alphabet alphabet);

// 64 hex digits in either case; nullopt otherwise.
std::optional<std::array<unsigned char, 32>> parse_sha256_hex(std::string_view hex);

std::array<unsigned char, 32> sha256(std::string_view data);

}  // namespace velquin::auth::detail
