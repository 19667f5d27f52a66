#include "template/shell_scan.h"

#include <optional>
#include <string>
#include <string_view>

namespace velquin::tmpl::detail {

namespace {

enum class Frame {
  top,
  substitution,  // $( ... ): read like the top level, up to its ')'
  single,
  dbl,
  dollar_single,
  backquote,
  brace,       // ${ ... }
  arithmetic,  // $(( ... ))
  comment,
};

// Whether the word being read in a bare frame has begun: "#" starts a comment
// only where no word has begun, and a raw value may be empty.
enum class Word { none, started, maybe_empty };

struct FrameState {
  Frame kind = Frame::top;
  int id = 0;
  int depth = 0;  // open '(' inside $( ... ) or $(( ... )), open "${" inside ${ ... }
  Word word = Word::none;
  std::string text;        // the word so far while it is unquoted literal text
  bool plain = true;       // the word has no quoting and no reference
  bool in_double = false;  // backquotes inside "..."
  int single_quotes = 0;   // backquotes: quote characters seen inside
  int double_quotes = 0;   //
  bool ambiguous = false;  // comment: there is one only when a value is empty
};

struct HereDocument {
  std::string delimiter;
  bool known = true;  // false when a reference stands in the delimiter word
  bool quoted = false;
  bool strip_tabs = false;
  int frame_id = 0;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool ends_word(char c) {
  return is_blank(c) || c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')' ||
         c == '<' || c == '>';
}

bool is_special_parameter(char c) {
  return c == '$' || c == '?' || c == '#' || c == '!' || c == '-' || c == '@' || c == '*' ||
         (c >= '0' && c <= '9');
}

class ShellScanner {
 public:
  ShellScanner(const std::vector<Item>& items, std::size_t ref_count)
      : items_(items), contexts_(ref_count, ShellContext::bare), outer_(ref_count, -1) {
    push(Frame::top);
  }

  std::vector<ShellContext> run() {
    while (pos_ < items_.size()) {
      if (items_[pos_].ref >= 0) {
        reference(items_[pos_]);
        continue;
      }
      switch (top().kind) {
      case Frame::top:
      case Frame::substitution:
        bare();
        break;
      case Frame::single:
        if (items_[pos_].c == '\'') {
          pop();
        }
        ++pos_;
        break;
      case Frame::dbl:
        double_quoted();
        break;
      case Frame::dollar_single:
        dollar_single();
        break;
      case Frame::backquote:
        backquoted();
        break;
      case Frame::brace:
        brace();
        break;
      case Frame::arithmetic:
        arithmetic();
        break;
      case Frame::comment:
        comment();
        break;
      }
    }
    finish();
    return std::move(contexts_);
  }

 private:
  bool is_char(std::size_t at, char c) const {
    return at < items_.size() && items_[at].ref < 0 && items_[at].c == c;
  }
  bool is_literal(std::size_t at) const { return at < items_.size() && items_[at].ref < 0; }
  FrameState& top() { return stack_.back(); }
  bool in_bare_frame() { return top().kind == Frame::top || top().kind == Frame::substitution; }
  bool only_bare_frames() const {
    for (const auto& frame : stack_) {
      if (frame.kind != Frame::top && frame.kind != Frame::substitution) {
        return false;
      }
    }
    return true;
  }

  void push(Frame kind) {
    FrameState frame;
    frame.kind = kind;
    frame.id = next_id_++;
    stack_.push_back(std::move(frame));
  }

  void pop() {
    for (const auto& doc : pending_) {
      if (doc.frame_id == top().id) {
        doubt(ShellContext::here_document);  // its body would start inside another frame
      }
    }
    stack_.pop_back();
  }

  // From here on the reading is not certain: every later reference is refused.
  void doubt(ShellContext context) {
    if (!doubt_) {
      doubt_ = context;
    }
  }

  void record(int ref, ShellContext context) {
    const auto index = static_cast<std::size_t>(ref);
    contexts_[index] = (can_quote(context) && doubt_) ? *doubt_ : context;
    outer_[index] = stack_.size() > 1 ? stack_[1].id : -1;
  }

  void reference(const Item& item) {
    ShellContext context = ShellContext::bare;
    switch (top().kind) {
    case Frame::top:
    case Frame::substitution: {
      context = dollar_ref_ ? ShellContext::parameter_expansion : ShellContext::bare;
      FrameState& frame = top();
      frame.plain = false;
      if (!item.maybe_empty) {
        frame.word = Word::started;
      } else if (frame.word == Word::none) {
        frame.word = Word::maybe_empty;
      }
      break;
    }
    case Frame::single:
      context = ShellContext::single_quotes;
      break;
    case Frame::dbl:
      context = dollar_ref_ ? ShellContext::parameter_expansion : ShellContext::double_quotes;
      break;
    case Frame::dollar_single:
      context = ShellContext::dollar_single_quotes;
      break;
    case Frame::backquote:
      context = ShellContext::backquotes;
      break;
    case Frame::brace:
    case Frame::arithmetic:
      context = ShellContext::parameter_expansion;
      break;
    case Frame::comment:
      context = ShellContext::comment;
      break;
    }
    dollar_ref_ = false;
    record(item.ref, context);
    ++pos_;
  }

  void start_word(char c) {
    FrameState& frame = top();
    frame.word = Word::started;
    frame.text += c;
  }

  void start_quoted_word() {
    top().word = Word::started;
    top().plain = false;
  }

  void end_word() {
    FrameState& frame = top();
    // A case pattern ends in an unmatched ')': a counter of parentheses would
    // close the substitution there. Harmless while every enclosing frame reads
    // like the top level; inside "..." the rest would be misread.
    if (frame.kind == Frame::substitution && frame.plain && frame.text == "case" &&
        !only_bare_frames()) {
      doubt(ShellContext::backquotes);
    }
    frame.word = Word::none;
    frame.text.clear();
    frame.plain = true;
  }

  void bare() {
    const char c = items_[pos_].c;
    switch (c) {
    case '\\':
      if (is_char(pos_ + 1, '\n')) {
        pos_ += 2;  // line continuation: the word goes on
        return;
      }
      start_quoted_word();
      pos_ += is_literal(pos_ + 1) ? 2 : 1;
      return;
    case '\'':
      start_quoted_word();
      ++pos_;
      push(Frame::single);
      return;
    case '"':
      start_quoted_word();
      ++pos_;
      push(Frame::dbl);
      return;
    case '`':
      start_quoted_word();
      ++pos_;
      push(Frame::backquote);
      return;
    case '$':
      start_quoted_word();
      dollar();
      return;
    case '#': {
      if (top().word == Word::started) {
        start_word(c);
        ++pos_;
        return;
      }
      const bool ambiguous = top().word == Word::maybe_empty;
      ++pos_;
      push(Frame::comment);
      top().ambiguous = ambiguous;
      return;
    }
    case '\n':
      end_word();
      ++pos_;
      if (!pending_.empty()) {
        here_bodies();
      }
      return;
    case '(':
      end_word();
      if (top().kind == Frame::substitution) {
        ++top().depth;
      }
      ++pos_;
      return;
    case ')':
      end_word();
      ++pos_;
      if (top().kind == Frame::substitution) {
        if (top().depth == 0) {
          pop();
        } else {
          --top().depth;
        }
      }
      return;
    case '<':
      end_word();
      if (is_char(pos_ + 1, '<')) {
        if (is_char(pos_ + 2, '<')) {
          pos_ += 3;  // bash's here-string: an ordinary word follows
          return;
        }
        const bool strip_tabs = is_char(pos_ + 2, '-');
        pos_ += strip_tabs ? 3 : 2;
        here_operator(strip_tabs);
        return;
      }
      ++pos_;
      return;
    default:
      if (ends_word(c)) {
        end_word();
      } else {
        start_word(c);
      }
      ++pos_;
    }
  }

  // At a '$' in a bare frame or in "...".
  void dollar() {
    const std::size_t next = pos_ + 1;
    if (next < items_.size() && items_[next].ref >= 0) {
      dollar_ref_ = true;  // "${{ x }}": the value would name what is expanded
      ++pos_;
      return;
    }
    if (is_char(next, '(')) {
      if (is_char(next + 1, '(')) {
        pos_ += 3;
        push(Frame::arithmetic);
      } else {
        pos_ += 2;
        push(Frame::substitution);
      }
      return;
    }
    if (is_char(next, '{')) {
      pos_ += 2;
      push(Frame::brace);
      return;
    }
    if (is_char(next, '\'') && in_bare_frame()) {
      pos_ += 2;
      push(Frame::dollar_single);
      return;
    }
    pos_ += (is_literal(next) && is_special_parameter(items_[next].c)) ? 2 : 1;
  }

  void double_quoted() {
    const char c = items_[pos_].c;
    if (c == '\\') {
      const bool escapes =
          is_literal(pos_ + 1) &&
          std::string_view("$`\"\\\n").find(items_[pos_ + 1].c) != std::string_view::npos;
      pos_ += escapes ? 2 : 1;
    } else if (c == '"') {
      ++pos_;
      pop();
    } else if (c == '`') {
      ++pos_;
      push(Frame::backquote);
      top().in_double = true;
    } else if (c == '$') {
      dollar();
    } else {
      ++pos_;
    }
  }

  // bash reads $'...' with backslash escapes; dash reads '$' and then an
  // ordinary '...'. They end at the same quote unless a \' comes first.
  void dollar_single() {
    const char c = items_[pos_].c;
    if (c == '\\') {
      if (is_char(pos_ + 1, '\'')) {
        doubt(ShellContext::dollar_single_quotes);
      }
      pos_ += is_literal(pos_ + 1) ? 2 : 1;
    } else {
      ++pos_;
      if (c == '\'') {
        pop();
      }
    }
  }

  // Old-style substitution ends at the first unescaped backquote; a quote left
  // open inside it is read differently by different shells.
  void backquoted() {
    FrameState& frame = top();
    const char c = items_[pos_].c;
    if (c == '\\') {
      const bool escapes =
          is_literal(pos_ + 1) &&
          (std::string_view("`\\$").find(items_[pos_ + 1].c) != std::string_view::npos ||
           (frame.in_double && items_[pos_ + 1].c == '"'));
      pos_ += escapes ? 2 : 1;
      return;
    }
    ++pos_;
    if (c == '`') {
      const bool open_quote = frame.single_quotes % 2 != 0 || frame.double_quotes % 2 != 0;
      pop();
      if (open_quote) {
        doubt(ShellContext::backquotes);
      }
    } else if (c == '\'') {
      ++frame.single_quotes;
    } else if (c == '"') {
      ++frame.double_quotes;
    }
  }

  // Shells disagree on quotes and nesting inside ${ ... }: only the plain forms
  // are followed with certainty.
  void brace() {
    FrameState& frame = top();
    const char c = items_[pos_].c;
    if (c == '\\') {
      pos_ += is_literal(pos_ + 1) ? 2 : 1;
      return;
    }
    if (c == '$' && is_char(pos_ + 1, '{')) {
      ++frame.depth;
      pos_ += 2;
      return;
    }
    ++pos_;
    if (c == '}') {
      if (frame.depth == 0) {
        pop();
      } else {
        --frame.depth;
      }
    } else if (c == '\'' || c == '"' || c == '`' || c == '{' || (c == '$' && is_char(pos_, '('))) {
      doubt(ShellContext::parameter_expansion);
    }
  }

  void arithmetic() {
    FrameState& frame = top();
    const char c = items_[pos_].c;
    ++pos_;
    if (c == '(') {
      ++frame.depth;
    } else if (c == ')') {
      if (frame.depth > 0) {
        --frame.depth;
      } else if (is_char(pos_, ')')) {
        ++pos_;
        pop();
      } else {
        doubt(ShellContext::parameter_expansion);
      }
    } else if (c == '\'' || c == '"' || c == '`' || c == '\\' ||
               (c == '$' && (is_char(pos_, '(') || is_char(pos_, '{')))) {
      doubt(ShellContext::parameter_expansion);
    }
  }

  void comment() {
    if (items_[pos_].c != '\n') {
      ++pos_;
      return;
    }
    // The newline itself belongs to the frame below.
    const bool ambiguous = top().ambiguous;
    pop();
    if (ambiguous) {
      doubt(ShellContext::comment);
    }
  }

  // After "<<" or "<<-": the delimiter word. Its body starts at the next newline.
  void here_operator(bool strip_tabs) {
    while (is_literal(pos_) && is_blank(items_[pos_].c)) {
      ++pos_;
    }
    HereDocument doc;
    doc.strip_tabs = strip_tabs;
    doc.frame_id = top().id;
    bool any = false;
    while (pos_ < items_.size()) {
      const Item& item = items_[pos_];
      if (item.ref >= 0) {
        record(item.ref, ShellContext::here_document);
        doc.known = false;
        any = true;
        ++pos_;
        continue;
      }
      const char c = item.c;
      if (ends_word(c)) {
        break;
      }
      any = true;
      if (c == '\\') {
        doc.quoted = true;
        if (is_literal(pos_ + 1)) {
          doc.delimiter += items_[pos_ + 1].c;
          ++pos_;
        }
        ++pos_;
      } else if (c == '\'' || c == '"') {
        doc.quoted = true;
        delimiter_quote(c, doc);
      } else {
        if (c == '$' || c == '`') {
          doubt(ShellContext::here_document);
        }
        doc.delimiter += c;
        ++pos_;
      }
    }
    if (!any) {
      doubt(ShellContext::here_document);
    }
    pending_.push_back(std::move(doc));
  }

  void delimiter_quote(char quote, HereDocument& doc) {
    ++pos_;
    while (pos_ < items_.size()) {
      const Item& item = items_[pos_];
      if (item.ref >= 0) {
        record(item.ref, ShellContext::here_document);
        doc.known = false;
        ++pos_;
        continue;
      }
      if (item.c == quote) {
        ++pos_;
        return;
      }
      if (quote == '"' && (item.c == '\\' || item.c == '$' || item.c == '`')) {
        doubt(ShellContext::here_document);
      }
      doc.delimiter += item.c;
      ++pos_;
    }
    doubt(ShellContext::here_document);
  }

  // Just after a newline with here-documents pending: their bodies, line by line.
  void here_bodies() {
    for (const auto& doc : pending_) {
      if (doc.frame_id != top().id) {
        doubt(ShellContext::here_document);
      }
      while (pos_ < items_.size()) {
        std::string line;
        bool has_ref = false;
        while (pos_ < items_.size() && !is_char(pos_, '\n')) {
          if (items_[pos_].ref >= 0) {
            record(items_[pos_].ref, ShellContext::here_document);
            has_ref = true;
          } else {
            line += items_[pos_].c;
          }
          ++pos_;
        }
        if (pos_ < items_.size()) {
          ++pos_;
        }
        // An unquoted body is expanded; where a substitution or a continued
        // line ends is read differently by dash and bash.
        if (!doc.quoted &&
            (line.find("$(") != std::string::npos || line.find("${") != std::string::npos ||
             line.find('`') != std::string::npos || (!line.empty() && line.back() == '\\'))) {
          doubt(ShellContext::here_document);
        }
        std::string_view compare = line;
        while (doc.strip_tabs && !compare.empty() && compare.front() == '\t') {
          compare.remove_prefix(1);
        }
        if (doc.known && !has_ref && compare == doc.delimiter) {
          break;
        }
      }
    }
    pending_.clear();
  }

  // References inside a quote or substitution that never closes.
  void finish() {
    std::size_t open = stack_.size();
    while (open > 1 && stack_[open - 1].kind == Frame::comment) {
      --open;
    }
    if (open <= 1) {
      return;
    }
    const int unclosed = stack_[1].id;
    for (std::size_t i = 0; i < contexts_.size(); ++i) {
      if (outer_[i] == unclosed && can_quote(contexts_[i])) {
        contexts_[i] = ShellContext::unterminated_quote;
      }
    }
  }

  const std::vector<Item>& items_;
  std::vector<ShellContext> contexts_;
  std::vector<int> outer_;  // per reference: the id of its outermost frame, or -1
  std::vector<FrameState> stack_;
  std::vector<HereDocument> pending_;
  std::optional<ShellContext> doubt_;
  std::size_t pos_ = 0;
  int next_id_ = 0;
  bool dollar_ref_ = false;
};

}  // namespace

std::vector<ShellContext> shell_contexts(const std::vector<Item>& items, std::size_t ref_count) {
  return ShellScanner(items, ref_count).run();
}

std::vector<ShellContext> word_contexts(const std::vector<Item>& items, std::size_t ref_count) {
  std::vector<ShellContext> contexts(ref_count, ShellContext::bare);
  std::vector<int> in_open_quote;
  ShellContext state = ShellContext::bare;
  for (std::size_t pos = 0; pos < items.size(); ++pos) {
    const Item& item = items[pos];
    if (item.ref >= 0) {
      contexts[static_cast<std::size_t>(item.ref)] = state;
      in_open_quote.push_back(item.ref);
      continue;
    }
    const bool next_literal = pos + 1 < items.size() && items[pos + 1].ref < 0;
    switch (state) {
    case ShellContext::bare:
      if (item.c == '\\' && next_literal) {
        ++pos;
      } else if (item.c == '\'' || item.c == '"') {
        state = item.c == '\'' ? ShellContext::single_quotes : ShellContext::double_quotes;
        in_open_quote.clear();
      }
      break;
    case ShellContext::single_quotes:
      if (item.c == '\'') {
        state = ShellContext::bare;
      }
      break;
    default:
      if (item.c == '\\' && next_literal &&
          std::string_view("\\\"$`\n").find(items[pos + 1].c) != std::string_view::npos) {
        ++pos;
      } else if (item.c == '"') {
        state = ShellContext::bare;
      }
      break;
    }
  }
  if (state != ShellContext::bare) {
    for (const int ref : in_open_quote) {
      contexts[static_cast<std::size_t>(ref)] = ShellContext::unterminated_quote;
    }
  }
  return contexts;
}

}  // namespace velquin::tmpl::detail
