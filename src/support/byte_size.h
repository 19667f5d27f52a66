#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velquin::support {

// A positive size in bytes: digits with an optional fraction and unit, "256Mi",
// "1.5G", "4096". Units K M G T (powers of 1000) and Ki Mi Gi Ti (of 1024),
// either case for the letter. nullopt for anything else, 0 or past 2^62.
std::optional<std::int64_t> parse_byte_size(std::string_view text);

}  // namespace velquin::support
