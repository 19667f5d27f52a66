#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velquin::support {

// UTF-8 with every invalid sequence replaced by U+FFFD.
std::string decode_utf8_replace(std::string_view bytes);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Shortens text to at most max_bytes without splitting a UTF-8 sequence.
void truncate_utf8(std::string& text, std::size_t max_bytes);

// "\r\n" and a lone "\r" become "\n".
std::string universal_newlines(std::string_view text);

// Standard Base64 with padding and no line breaks.
std::string base64_encode(std::string_view bytes);

// The value of one hex digit (either case), or -1.
int hex_value(char c);

// ASCII white space: space, \t, \n, \v, \f, \r.
bool is_space(char c);
std::string_view trim(std::string_view text);
std::vector<std::string> split_whitespace(std::string_view text);
std::string to_lower(std::string_view text);

// Constant-time comparison of two byte strings, by their SHA-256 digests: no
// early return when the lengths differ.
bool constant_time_equal(std::string_view a, std::string_view b);

}  // namespace velquin::support
