#pragma once

#include <array>
#include <string_view>

namespace velquin::support {

// SHA-256 of data. The one-shot SHA256() of OpenSSL 3 looks the algorithm up
// by name on every call, which cost more than the hash of a request's key.
std::array<unsigned char, 32> sha256(std::string_view data);

}  // namespace velquin::support
