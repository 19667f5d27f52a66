#include "template/template.h"

#include "support/number_text.h"
#include "support/quoted.h"
#include "template/shell_scan.h"

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

using detail::Piece;

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

// null: a missing optional parameter. run_dir's text is built in `own`, so
// that a parameter's value is never copied.
const nlohmann::ordered_json& lookup(const Reference& ref, const nlohmann::ordered_json& params,
                                     const std::optional<std::string>& run_dir,
                                     nlohmann::ordered_json& own) {
  static const nlohmann::ordered_json null_value;
  if (ref.name == RUN_DIR) {
    own = run_dir.value_or("");
    return own;
  }
  if (params.is_object()) {
    const auto it = params.find(ref.name);
    if (it != params.end()) {
      return *it;
    }
  }
  return null_value;
}

std::string json_text(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool is_plain_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_.,:/@%+=-").find(c) != std::string_view::npos;
}

// The command as the trackers see it: literal characters and reference slots.
std::vector<detail::Item> command_items(const std::vector<Piece>& pieces) {
  std::vector<detail::Item> items;
  int refs = 0;
  for (const auto& piece : pieces) {
    if (piece.is_ref) {
      const std::string& filter = piece.ref.filter;
      items.push_back({0, refs++, filter != "shell" && filter != "json"});
    } else {
      for (char c : piece.literal) {
        items.push_back({c, -1, false});
      }
    }
  }
  return items;
}

std::vector<ShellContext> command_contexts(const std::vector<Piece>& pieces,
                                           Interpreter interpreter) {
  const auto items = command_items(pieces);
  std::size_t count = 0;
  for (const auto& piece : pieces) {
    count += piece.is_ref ? 1 : 0;
  }
  auto contexts = detail::shell_contexts(items, count);
  if (interpreter == Interpreter::container) {
    const auto words = detail::word_contexts(items, count);
    for (std::size_t i = 0; i < count; ++i) {
      if (can_quote(contexts[i]) && words[i] != contexts[i]) {
        contexts[i] = ShellContext::unterminated_quote;
      }
    }
  }
  return contexts;
}

std::string escape_for(ShellContext context, std::string_view text, const std::string& name) {
  if (text.find('\0') != std::string_view::npos) {
    throw RenderError("value of " + support::quoted(name) + " contains a NUL byte");
  }
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (context == ShellContext::single_quotes && c == '\'') {
      out += "'\\''";
      continue;
    }
    if (context == ShellContext::double_quotes && (c == '$' || c == '`' || c == '"' || c == '\\')) {
      out += '\\';
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string_view context_name(ShellContext context) {
  switch (context) {
  case ShellContext::dollar_single_quotes:
    return "$'…'";
  case ShellContext::here_document:
    return "a here-document";
  case ShellContext::backquotes:
    return "backquotes";
  case ShellContext::parameter_expansion:
    return "${…}";
  case ShellContext::comment:
    return "a comment";
  case ShellContext::unterminated_quote:
    return "an unterminated quote";
  default:
    return "";
  }
}

bool can_quote(ShellContext context) {
  return context == ShellContext::bare || context == ShellContext::single_quotes ||
         context == ShellContext::double_quotes;
}

bool is_plain_word(std::string_view text) {
  for (char c : text) {
    if (!is_plain_word_char(c)) {
      return false;
    }
  }
  return true;
}

bool is_plain_word_value(const nlohmann::ordered_json& value) {
  if (value.is_array() || value.is_object()) {
    return false;
  }
  return is_plain_word(plain_text(value, ""));
}

std::vector<CommandReference> command_references(std::string_view command,
                                                 Interpreter interpreter) {
  return Command(std::string(command), interpreter).references();
}

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

Command::Command(std::string text, Interpreter interpreter)
    : text_(std::move(text)), pieces_(parse(text_)) {
  const auto contexts = command_contexts(pieces_, interpreter);
  for (const auto& piece : pieces_) {
    if (piece.is_ref) {
      references_.push_back({piece.ref, contexts[references_.size()]});
    }
  }
}

std::string render_command(std::string_view command, const nlohmann::ordered_json& params,
                           const std::optional<std::string>& run_dir, Interpreter interpreter) {
  return render_command(Command(std::string(command), interpreter), params, run_dir);
}

std::string render_command(const Command& command, const nlohmann::ordered_json& params,
                           const std::optional<std::string>& run_dir) {
  std::string out;
  out.reserve(command.text().size());
  std::size_t index = 0;
  for (const auto& piece : command.pieces_) {
    if (!piece.is_ref) {
      out += piece.literal;
      continue;
    }
    const Reference& ref = piece.ref;
    const ShellContext context = command.references_[index++].context;
    nlohmann::ordered_json own;
    const nlohmann::ordered_json& value = lookup(ref, params, run_dir, own);
    if (!ref.filter.empty() && ref.filter != "shell" && ref.filter != "json") {
      throw RenderError("unknown template filter " + support::quoted(ref.filter));
    }
    const bool json = ref.filter == "json";
    if (context == ShellContext::single_quotes || context == ShellContext::double_quotes) {
      out += escape_for(context, json ? json_text(value) : plain_text(value, ref.name), ref.name);
      continue;
    }
    const bool own_text = ref.name == RUN_DIR;
    if (context != ShellContext::bare && !own_text) {
      throw RenderError("parameter " + support::quoted(ref.name) + " stands in " +
                        std::string(context_name(context)) + "; it cannot be quoted there");
    }
    if (ref.filter == "shell") {
      out += shell_word(plain_text(value, ref.name), ref.name);
      continue;
    }
    if (!own_text && !is_plain_word_value(value)) {
      throw RenderError("value of " + support::quoted(ref.name) + " is not a plain word");
    }
    out += json ? json_text(value) : plain_text(value, ref.name);
  }
  return out;
}

Template::Template(std::string text) : text_(std::move(text)), pieces_(parse(text_)) {
  for (const auto& piece : pieces_) {
    references_parameter_ = references_parameter_ || (piece.is_ref && piece.ref.name != RUN_DIR);
  }
}

Template Template::deferred(std::string text) {
  Template result;
  try {
    result.pieces_ = parse(text);
  } catch (const RenderError& e) {
    result.error_ = e.what();
  }
  result.text_ = std::move(text);
  for (const auto& piece : result.pieces_) {
    result.references_parameter_ =
        result.references_parameter_ || (piece.is_ref && piece.ref.name != RUN_DIR);
  }
  return result;
}

std::string render(std::string_view text, const nlohmann::ordered_json& params,
                   const std::optional<std::string>& run_dir) {
  return render(Template(std::string(text)), params, run_dir);
}

std::string render(const Template& tmpl, const nlohmann::ordered_json& params,
                   const std::optional<std::string>& run_dir) {
  if (!tmpl.error_.empty()) {
    throw RenderError(tmpl.error_);
  }
  std::string out;
  out.reserve(tmpl.text_.size());
  for (const auto& piece : tmpl.pieces_) {
    if (!piece.is_ref) {
      out += piece.literal;
      continue;
    }
    const Reference& ref = piece.ref;
    nlohmann::ordered_json own;
    const nlohmann::ordered_json& value = lookup(ref, params, run_dir, own);
    if (ref.filter.empty()) {
      out += plain_text(value, ref.name);
    } else if (ref.filter == "shell") {
      out += shell_word(plain_text(value, ref.name), ref.name);
    } else if (ref.filter == "json") {
      out += json_text(value);
    } else {
      throw RenderError("unknown template filter " + support::quoted(ref.filter));
    }
  }
  return out;
}

}  // namespace velquin::tmpl
