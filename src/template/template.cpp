#include "template/template.h"

#include "support/number_text.h"
#include "support/quoted.h"

namespace velquin::tmpl {

namespace {

constexpr std::string_view RUN_DIR = "run_dir";

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view strip(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

bool is_valid_name(std::string_view name) {
  if (name.empty()) {
    return false;
  }
  for (char c : name) {
    if (!is_name_char(c)) {
      return false;
    }
  }
  return true;
}

// One piece of a parsed template: literal text, or a reference when name is set.
struct Piece {
  std::string literal;
  Reference ref;
  bool is_ref = false;
};

Reference parse_reference(std::string_view inner) {
  Reference ref;
  const auto bar = inner.find('|');
  const std::string_view name = strip(inner.substr(0, bar));
  if (!is_valid_name(name)) {
    throw RenderError("invalid template reference " +
                      support::quoted("{{" + std::string(inner) + "}}"));
  }
  ref.name = std::string(name);
  if (bar != std::string_view::npos) {
    const std::string_view filter = strip(inner.substr(bar + 1));
    if (filter.empty()) {
      throw RenderError("missing filter after '|' in " +
                        support::quoted("{{" + std::string(inner) + "}}"));
    }
    ref.filter = std::string(filter);
  }
  return ref;
}

// Splits the text into literals and references; every syntax error is found here,
// so references() and render() agree on what is valid.
std::vector<Piece> parse(std::string_view text) {
  std::vector<Piece> pieces;
  std::string literal;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\\' && text.substr(i + 1, 2) == "{{") {
      literal += "{{";
      i += 3;
      continue;
    }
    if (text.substr(i, 2) == "{{") {
      const auto close = text.find("}}", i + 2);
      if (close == std::string_view::npos) {
        throw RenderError("unclosed '{{' in template");
      }
      if (!literal.empty()) {
        pieces.push_back(Piece{std::move(literal), {}, false});
        literal.clear();
      }
      pieces.push_back(Piece{{}, parse_reference(text.substr(i + 2, close - i - 2)), true});
      i = close + 2;
      continue;
    }
    literal += text[i];
    ++i;
  }
  if (!literal.empty()) {
    pieces.push_back(Piece{std::move(literal), {}, false});
  }
  return pieces;
}

std::string shell_word(std::string_view value, const std::string& name) {
  // A NUL would cut the command line short when it is handed to execve.
  if (value.find('\0') != std::string_view::npos) {
    throw RenderError("value of " + support::quoted(name) + " contains a NUL byte");
  }
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string plain_text(const nlohmann::ordered_json& value, const std::string& name) {
  switch (value.type()) {
  case nlohmann::ordered_json::value_t::null:
  case nlohmann::ordered_json::value_t::discarded:
    return "";
  case nlohmann::ordered_json::value_t::string:
    return value.get_ref<const std::string&>();
  case nlohmann::ordered_json::value_t::boolean:
    return value.get<bool>() ? "true" : "false";
  case nlohmann::ordered_json::value_t::number_integer:
    return std::to_string(value.get<std::int64_t>());
  case nlohmann::ordered_json::value_t::number_unsigned:
    return std::to_string(value.get<std::uint64_t>());
  case nlohmann::ordered_json::value_t::number_float:
    return support::number_text(value.get<double>());
  default:
    throw RenderError("parameter " + support::quoted(name) +
                      " is a list or object; insert it with | json");
  }
}

}  // namespace

std::vector<Reference> references(std::string_view text) {
  std::vector<Reference> refs;
  for (auto& piece : parse(text)) {
    if (piece.is_ref) {
      refs.push_back(std::move(piece.ref));
    }
  }
  return refs;
}

bool references_parameter(std::string_view text) {
  for (const auto& ref : references(text)) {
    if (ref.name != RUN_DIR) {
      return true;
    }
  }
  return false;
}

std::string render(std::string_view text, const nlohmann::ordered_json& params,
                   const std::optional<std::string>& run_dir) {
  std::string out;
  out.reserve(text.size());
  for (const auto& piece : parse(text)) {
    if (!piece.is_ref) {
      out += piece.literal;
      continue;
    }
    const Reference& ref = piece.ref;
    nlohmann::ordered_json value;  // null: a missing optional parameter
    if (ref.name == RUN_DIR) {
      value = run_dir.value_or("");
    } else if (params.is_object()) {
      const auto it = params.find(ref.name);
      if (it != params.end()) {
        value = *it;
      }
    }
    if (ref.filter.empty()) {
      out += plain_text(value, ref.name);
    } else if (ref.filter == "shell") {
      out += shell_word(plain_text(value, ref.name), ref.name);
    } else if (ref.filter == "json") {
      out += value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } else {
      throw RenderError("unknown template filter " + support::quoted(ref.filter));
    }
  }
  return out;
}

}  // namespace velquin::tmpl
