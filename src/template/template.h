#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// "template" is a keyword, hence the short namespace.
namespace velquin::tmpl {

class RenderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// {{ name }}, {{ name | shell }}, {{ name | json }}, {{ run_dir }}; "\{{" is a literal "{{".
// Throws RenderError for an unknown filter, an unclosed "{{" or a list/object value.
std::string render(std::string_view text, const nlohmann::ordered_json& params,
                   const std::optional<std::string>& run_dir = std::nullopt);

struct Reference {
  std::string name;
  std::string filter;  // "" for none, "shell", "json", or whatever was written
};

namespace detail {
// One piece of a parsed template: literal text, or a reference.
struct Piece {
  std::string literal;
  Reference ref;
  bool is_ref = false;
};
}  // namespace detail

// A template parsed once: rendering it never scans the text again.
class Template {
 public:
  Template() = default;
  // Throws RenderError on a syntax error.
  explicit Template(std::string text);
  // Never throws: a syntax error is raised by render() instead. For texts
  // the definition checks leave unchecked.
  static Template deferred(std::string text);

  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }
  // At least one reference to a name other than run_dir.
  bool references_parameter() const { return references_parameter_; }

 private:
  friend std::string render(const Template& tmpl, const nlohmann::ordered_json& params,
                            const std::optional<std::string>& run_dir);
  std::string text_;
  std::vector<detail::Piece> pieces_;
  std::string error_;  // a deferred syntax error
  bool references_parameter_ = false;
};

std::string render(const Template& tmpl, const nlohmann::ordered_json& params,
                   const std::optional<std::string>& run_dir = std::nullopt);

// The references of a template in order. Throws RenderError on a syntax error.
std::vector<Reference> references(std::string_view text);

// True when the text references at least one name other than run_dir.
bool references_parameter(std::string_view text);

// Where a reference stands in a command line, as a POSIX shell reads it. A value
// can be quoted only in the first three; the others are refused at load.
enum class ShellContext {
  bare,  // an ordinary word, also inside $( ... )
  single_quotes,
  double_quotes,
  dollar_single_quotes,
  here_document,
  backquotes,
  parameter_expansion,  // ${ ... }, $(( ... )) or right after a '$'
  comment,
  unterminated_quote,
};

// "$'…'", "a here-document", ...; empty for the contexts a value can be quoted in.
std::string_view context_name(ShellContext context);
bool can_quote(ShellContext context);

// A process command goes to `sh -c`. A container command is split into words by
// the service and may meet a shell inside the image, so both readings must agree.
enum class Interpreter { shell, container };

struct CommandReference {
  Reference ref;
  ShellContext context;
};

// The references of a command template, each with its context. A pure function
// of the text. Throws RenderError on a template syntax error.
std::vector<CommandReference> command_references(std::string_view command,
                                                 Interpreter interpreter = Interpreter::shell);

// A command template with the quoting context of every reference, worked
// out once when the definition is loaded.
class Command {
 public:
  Command() = default;
  // Throws RenderError on a template syntax error.
  Command(std::string text, Interpreter interpreter);

  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }
  const std::vector<CommandReference>& references() const { return references_; }

 private:
  friend std::string render_command(const Command& command, const nlohmann::ordered_json& params,
                                    const std::optional<std::string>& run_dir);
  std::string text_;
  std::vector<detail::Piece> pieces_;
  std::vector<CommandReference> references_;
};

// render() for a command line: a reference inside '...' or "..." is escaped for
// that quote; a bare {{ x | shell }} is one single-quoted word; a bare raw or
// | json value must be a plain word. Throws RenderError for a value that cannot
// stand where it is (validation refuses those earlier).
std::string render_command(std::string_view command, const nlohmann::ordered_json& params,
                           const std::optional<std::string>& run_dir = std::nullopt,
                           Interpreter interpreter = Interpreter::shell);
std::string render_command(const Command& command, const nlohmann::ordered_json& params,
                           const std::optional<std::string>& run_dir = std::nullopt);

// The characters a value inserted raw into a command may hold.
inline constexpr std::string_view PLAIN_WORD_CHARACTERS = "letters, digits and _ . , : / @ % + = -";
bool is_plain_word(std::string_view text);
// Whether the value's text (as a raw insertion renders it) is a plain word;
// null is the empty word, a list or object never is.
bool is_plain_word_value(const nlohmann::ordered_json& value);

}  // namespace velquin::tmpl
