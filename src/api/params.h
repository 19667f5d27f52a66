#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velquin::api {

// Exactly one of the two is set.
struct ParsedParams {
  std::optional<nlohmann::ordered_json> params;
  std::optional<std::string> error;
};

// The request parameters from the Content-Type value (with its parameters; ""
// when absent), the declared body length (0 when absent) and the body bytes.
// A pure function: it never throws for any input.
namespace detail {
ParsedParams parse_params(std::string_view content_type, std::uint64_t declared_length,
                          std::string_view body);
}  // namespace detail

// %XX decoding (invalid escapes stay as they are); '+' becomes a space when asked.
// The result is bytes, not necessarily UTF-8.
std::string percent_decode(std::string_view text, bool plus_as_space);

// Form fields as name -> text; a repeated field keeps its last value.
nlohmann::ordered_json parse_urlencoded(std::string_view body);
// Fields of a multipart/form-data body; parts with a filename are files and
// are skipped. A body that does not parse yields the fields read so far.
nlohmann::ordered_json parse_multipart(std::string_view content_type, std::string_view body);

}  // namespace velquin::api
