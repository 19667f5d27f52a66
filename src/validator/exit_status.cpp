// Exit statuses of a run as HTTP statuses.

#include <map>
#include <string_view>

#include "validator/validator.h"

namespace velquin::validator {

namespace {

std::optional<std::string> standard_reason(int status) {
  static const std::map<int, std::string_view> phrases = {
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-Authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {207, "Multi-Status"},
      {208, "Already Reported"},
      {226, "IM Used"},
      {300, "Multiple Choices"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {303, "See Other"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {307, "Temporary Redirect"},
      {308, "Permanent Redirect"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {402, "Payment Required"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Content Too Large"},
      {414, "URI Too Long"},
      {415, "Unsupported Media Type"},
      {416, "Range Not Satisfiable"},
      {417, "Expectation Failed"},
      {418, "I'm a teapot"},
      {421, "Misdirected Request"},
      {422, "Unprocessable Content"},
      {423, "Locked"},
      {424, "Failed Dependency"},
      {425, "Too Early"},
      {426, "Upgrade Required"},
      {428, "Precondition Required"},
      {429, "Too Many Requests"},
      {431, "Request Header Fields Too Large"},
      {451, "Unavailable For Legal Reasons"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
      {505, "HTTP Version Not Supported"},
      {506, "Variant Also Negotiates"},
      {507, "Insufficient Storage"},
      {508, "Loop Detected"},
      {510, "Not Extended"},
      {511, "Network Authentication Required"},
  };
  const auto it = phrases.find(status);
  if (it != phrases.end()) {
    return std::string(it->second);
  }
  switch (status / 100) {
  case 2:
    return "Success";
  case 3:
    return "Redirection";
  case 4:
    return "Client Error";
  case 5:
    return "Server Error";
  default:
    return std::nullopt;
  }
}

ExitStatus from_entry(const alias::HttpStatus& entry) {
  ExitStatus result{entry.status, entry.reason};
  if (!result.reason && result.status != 200) {
    result.reason = standard_reason(result.status);
  }
  return result;
}

}  // namespace

ExitStatus resolve_exit_status(const alias::ExitCodeMap& exit_codes,
                               std::optional<std::int64_t> returncode) {
  const std::int64_t code = returncode.value_or(0);
  if (const auto it = exit_codes.codes.find(code); it != exit_codes.codes.end()) {
    return from_entry(it->second);
  }
  if (code == 0) {
    return ExitStatus{200, std::nullopt};
  }
  if (exit_codes.fallback) {
    return from_entry(*exit_codes.fallback);
  }
  return ExitStatus{500, "Internal Server Error"};
}

}  // namespace velquin::validator
