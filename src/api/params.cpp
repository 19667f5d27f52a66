#include "api/params.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "support/text.h"

namespace velquin::api {

namespace {

using support::hex_value;

using json = nlohmann::ordered_json;

// Deeper documents are refused before parsing: nothing downstream should
// have to recurse through a 16 MiB stack of brackets.
constexpr std::size_t MAX_JSON_DEPTH = 512;

bool json_too_deep(std::string_view body) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : body) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_JSON_DEPTH) {
        return true;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && support::to_lower(a) == support::to_lower(b);
}

// Header parameters "; name=value; name="quoted \" value"" after the main
// value, in order. Names are lower-cased.
std::vector<std::pair<std::string, std::string>> header_params(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;  // past ';'
    while (i < value.size() && support::is_space(value[i])) {
      ++i;
    }
    std::size_t name_start = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') {
      ++i;
    }
    std::string name = support::to_lower(support::trim(value.substr(name_start, i - name_start)));
    std::string param;
    if (i < value.size() && value[i] == '=') {
      ++i;
      while (i < value.size() && support::is_space(value[i])) {
        ++i;
      }
      if (i < value.size() && value[i] == '"') {
        ++i;
        while (i < value.size() && value[i] != '"') {
          if (value[i] == '\\' && i + 1 < value.size()) {
            ++i;
          }
          param.push_back(value[i]);
          ++i;
        }
        if (i < value.size()) {
          ++i;  // closing quote
        }
        while (i < value.size() && value[i] != ';') {
          ++i;
        }
      } else {
        std::size_t start = i;
        while (i < value.size() && value[i] != ';') {
          ++i;
        }
        param = std::string(support::trim(value.substr(start, i - start)));
      }
    }
    if (!name.empty()) {
      out.emplace_back(std::move(name), std::move(param));
    }
    if (i >= value.size()) {
      break;
    }
    i = value[i] == ';' ? i : value.find(';', i);
  }
  return out;
}

const std::string* find_param(const std::vector<std::pair<std::string, std::string>>& params,
                              std::string_view name) {
  for (const auto& entry : params) {
    if (entry.first == name) {
      return &entry.second;
    }
  }
  return nullptr;
}

std::string latin1_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

// Field text in UTF-8: Latin-1 parts are converted, everything else is read
// as UTF-8 with bad sequences replaced.
std::string part_text(std::string_view bytes, std::string_view part_content_type) {
  const auto params = header_params(part_content_type);
  if (const auto* charset = find_param(params, "charset")) {
    const std::string cs = support::to_lower(*charset);
    if (cs == "iso-8859-1" || cs == "latin-1" || cs == "latin1" || cs == "iso8859-1") {
      return latin1_to_utf8(bytes);
    }
  }
  return support::decode_utf8_replace(bytes);
}

// The end of the line starting at pos ("\r\n" or a lone "\n"), and the
// position after it; npos when there is none.
std::pair<std::size_t, std::size_t> line_end(std::string_view text, std::size_t pos) {
  std::size_t nl = text.find('\n', pos);
  if (nl == std::string_view::npos) {
    return {std::string_view::npos, std::string_view::npos};
  }
  std::size_t end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
  return {end, nl + 1};
}

}  // namespace

std::string percent_decode(std::string_view text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int hi = hex_value(text[i + 1]);
      int lo = hex_value(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_as_space && c == '+' ? ' ' : c);
  }
  return out;
}

json parse_urlencoded(std::string_view body) {
  json fields = json::object();
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) {
      end = body.size();
    }
    std::string_view pair = body.substr(start, end - start);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      std::string name = support::decode_utf8_replace(percent_decode(pair.substr(0, eq), true));
      std::string value;
      if (eq != std::string_view::npos) {
        value = support::decode_utf8_replace(percent_decode(pair.substr(eq + 1), true));
      }
      if (!name.empty()) {
        fields[name] = std::move(value);
      }
    }
    start = end + 1;
  }
  return fields;
}

json parse_multipart(std::string_view content_type, std::string_view body) {
  json fields = json::object();
  const std::string* boundary_param = nullptr;
  auto params = header_params(content_type);
  boundary_param = find_param(params, "boundary");
  if (boundary_param == nullptr || boundary_param->empty()) {
    return fields;
  }
  const std::string delimiter = "--" + *boundary_param;

  // The first delimiter sits at the start of the body or after a preamble line.
  std::size_t pos = 0;
  if (body.substr(0, delimiter.size()) != delimiter) {
    std::size_t found = body.find("\n" + delimiter);
    if (found == std::string_view::npos) {
      return fields;
    }
    pos = found + 1;
  }
  for (;;) {
    pos += delimiter.size();
    if (body.substr(pos, 2) == "--") {
      return fields;  // closing delimiter
    }
    auto [after_delim_end, part_start] = line_end(body, pos);
    if (part_start == std::string_view::npos) {
      return fields;
    }
    (void)after_delim_end;  // transport padding after the delimiter is allowed

    // Part headers up to an empty line.
    std::string name;
    bool has_name = false;
    bool is_file = false;
    std::string part_type;
    std::size_t cursor = part_start;
    for (;;) {
      auto [end, next] = line_end(body, cursor);
      if (end == std::string_view::npos) {
        return fields;
      }
      std::string_view line = body.substr(cursor, end - cursor);
      cursor = next;
      if (line.empty()) {
        break;
      }
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) {
        continue;
      }
      std::string_view header_name = support::trim(line.substr(0, colon));
      std::string_view header_value = support::trim(line.substr(colon + 1));
      if (iequals(header_name, "content-disposition")) {
        auto disposition = header_params(header_value);
        if (const auto* n = find_param(disposition, "name")) {
          name = *n;
          has_name = true;
        }
        is_file = find_param(disposition, "filename") != nullptr ||
                  find_param(disposition, "filename*") != nullptr;
      } else if (iequals(header_name, "content-type")) {
        part_type = std::string(header_value);
      }
    }

    // Content runs to the line break before the next delimiter.
    std::size_t next_delim = body.find("\n" + delimiter, cursor);
    if (next_delim == std::string_view::npos) {
      return fields;
    }
    std::size_t content_end = next_delim;
    if (content_end > cursor && body[content_end - 1] == '\r') {
      --content_end;
    }
    if (has_name && !is_file) {
      fields[support::decode_utf8_replace(name)] =
          part_text(body.substr(cursor, content_end - cursor), part_type);
    }
    pos = next_delim + 1;
  }
}

ParsedParams detail::parse_params(std::string_view content_type, std::uint64_t declared_length,
                                  std::string_view body) {
  ParsedParams out;
  if (content_type.find("application/json") != std::string_view::npos) {
    if (json_too_deep(body)) {
      out.error = "Invalid JSON";
      return out;
    }
    json value = json::parse(body, nullptr, false);
    if (value.is_discarded() || value.is_null()) {
      out.error = "Invalid JSON";
    } else if (!value.is_object()) {
      out.error = "Request body must be a JSON object";
    } else {
      out.params = std::move(value);
    }
    return out;
  }
  if (content_type.find("application/x-www-form-urlencoded") != std::string_view::npos) {
    out.params = parse_urlencoded(body);
    return out;
  }
  if (content_type.find("multipart/form-data") != std::string_view::npos) {
    out.params = parse_multipart(content_type, body);
    return out;
  }
  if (declared_length > 0) {
    out.error = "Unsupported content type";
    return out;
  }
  out.params = json::object();
  return out;
}

}  // namespace velquin::api
