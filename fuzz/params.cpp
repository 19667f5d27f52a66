// Request bodies: the JSON, URL-encoded and multipart readers behind the
// execute endpoint. Input: the Content-Type value, a newline, then the body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "api/params.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  const std::string_view content_type =
      newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
  const std::string_view body =
      newline == std::string_view::npos ? input : input.substr(newline + 1);

  const auto parsed = velquin::api::detail::parse_params(content_type, body.size(), body);
  // Exactly one of the two, and parameters always come as an object.
  if (parsed.params.has_value() == parsed.error.has_value()) {
    std::abort();
  }
  if (parsed.params && !parsed.params->is_object()) {
    std::abort();
  }
  velquin::api::percent_decode(body, true);
  return 0;
}
