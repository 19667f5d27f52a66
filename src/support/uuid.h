#pragma once

#include <string>
#include <string_view>

namespace velquin::support {

// Version-4 UUID from the OS CSPRNG, canonical form: 36 lower-case characters 8-4-4-4-12.
std::string uuid4();

// The same 128 random bits as 32 lower-case hex digits without hyphens.
std::string uuid4_hex();

// Whether `text` has the canonical 8-4-4-4-12 hex form (either case): what run
// ids look like, and so safe as one component of a path.
bool is_uuid(std::string_view text);

}  // namespace velquin::support
