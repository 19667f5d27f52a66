#pragma once

#include <string>

namespace velquin::support {

// Version-4 UUID from the OS CSPRNG, canonical form: 36 lower-case characters 8-4-4-4-12.
std::string uuid4();

// The same 128 random bits as 32 lower-case hex digits without hyphens.
std::string uuid4_hex();

}  // namespace velquin::support
