// The command lint and its quoting-state tracker, checked against real shells.
//
// Each input builds a command from a small grammar of quoting contexts around
// `printf '%s\0' WORD...`, knowing what every word must come out as. When the
// definition checks accept the command and the value passes validation, the
// rendered command runs under sh (and bash) as nobody, with an empty
// environment, in an empty directory; any difference between the arguments
// printf received and the intended words is a crash: the value changed the
// command's structure.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "config/alias_parser.h"
#include "template/template.h"
#include "validator/validator.h"

namespace {

using Json = nlohmann::ordered_json;

// Characters that mean something to a shell somewhere; values are made mostly of them.
constexpr std::string_view VALUE_TOKENS[] = {
    "'",  "\"", "\\", "$",  "`",   " ",  "\t",    "\n",       ";",      "|",    "&",   "(",
    ")",  "{",  "}",  "*",  "?",   "[",  "]",     "#",        "~",      "!",    "<",   ">",
    "=",  "$(", "${", "))", "EOF", "E",  "'\\''", "\\'",      "\\\"",   "$'",   "\"'", "'\"",
    "}}", "{{", "%s", "a",  "-",   "\r", "\\\n",  "printf X", "$((1))", "$IFS", "*/"};

constexpr std::string_view BARE_CHARS = "abcXYZ019_./,:=+@%-#";
constexpr std::string_view SINGLE_CHARS = "ab \t\"$`\\|;&()<>*?[]#~!}\n";
constexpr std::string_view DOUBLE_CHARS = "ab '|;&()<>*?[]#~!}\n\t";
constexpr std::string_view BARE_ESCAPED = " '\"$`\\|;&()<>*?[]#~!}\ta";

struct Sample {
  std::string command;
  std::vector<std::string> words;  // what printf must receive
  bool prints_value = false;       // a word holds a reference
};

class Grammar {
 public:
  // The same bytes build the same command whatever the value.
  Grammar(const std::vector<std::uint8_t>& choices, const Json& value)
      : fdp_(choices.data(), choices.size()), value_(value) {}

  Sample build() {
    Sample sample;
    std::string decoys;
    // Most commands have no decoy: a decoy the lint refuses spares the shells.
    const int decoy_count = std::max(0, pick(5) - 3);
    for (int i = 0; i < decoy_count; ++i) {
      decoys += decoy();
    }
    std::string printf_command = "printf '%s\\0'";
    const int word_count = 1 + pick(3);
    for (int i = 0; i < word_count; ++i) {
      auto [text, meaning] = word(1);
      sample.prints_value = sample.prints_value || text.find("{{") != std::string::npos;
      printf_command += " " + text;
      sample.words.push_back(meaning);
    }
    sample.command = decoys + wrap(printf_command);
    return sample;
  }

 private:
  int pick(int max) { return fdp_.ConsumeIntegralInRange<int>(0, max); }

  std::string chars(std::string_view alphabet, int max_length) {
    std::string out;
    const int length = pick(max_length);
    for (int i = 0; i < length; ++i) {
      out += alphabet[static_cast<std::size_t>(pick(static_cast<int>(alphabet.size()) - 1))];
    }
    return out;
  }

  // The reference, and the text the value should arrive as.
  std::pair<std::string, std::string> reference() {
    switch (pick(5)) {
    case 0:
      return {"{{ v }}", plain()};
    case 1:
      return {"{{v|json}}", value_.dump(-1, ' ', false, Json::error_handler_t::replace)};
    default:
      return {"{{ v | shell }}", plain()};
    }
  }

  std::string plain() const {
    if (value_.is_string()) {
      return value_.get<std::string>();
    }
    return std::to_string(value_.get<std::int64_t>());
  }

  // One shell word: its text and what it means.
  std::pair<std::string, std::string> word(int depth) {
    std::string text;
    std::string meaning;
    const int segments = 1 + pick(3);
    for (int i = 0; i < segments; ++i) {
      switch (pick(depth > 0 ? 7 : 6)) {
      case 0: {
        std::string literal = chars(BARE_CHARS, 5);
        if (text.empty() && !literal.empty() && literal.front() == '#') {
          literal.front() = 'h';  // '#' opens a comment only at the start of a word
        }
        text += literal;
        meaning += literal;
        break;
      }
      case 1: {
        const std::string literal = chars(SINGLE_CHARS, 6);
        text += "'" + literal + "'";
        meaning += literal;
        break;
      }
      case 2:
        double_quoted(text, meaning);
        break;
      case 3: {
        const char c = BARE_ESCAPED[static_cast<std::size_t>(pick(BARE_ESCAPED.size() - 1))];
        text += std::string("\\") + c;
        meaning += c;
        break;
      }
      case 4:
        // A line continuation vanishes, even between the parts of one word.
        if (!text.empty()) {
          text += "\\\n";
        }
        break;
      case 5: {
        auto [ref, value] = reference();
        if (!text.ends_with('\\')) {  // "\{{" is a literal "{{", not a reference
          text += ref;
          meaning += value;
        }
        break;
      }
      case 6: {
        std::string before = chars(SINGLE_CHARS, 2);
        while (!before.empty() && before.back() == '\\') {
          before.pop_back();  // "\{{" is a literal "{{", not a reference
        }
        const std::string after = chars(SINGLE_CHARS, 2);
        auto [ref, value] = reference();
        text += "'" + before + ref + after + "'";
        meaning += before + value + after;
        break;
      }
      case 7: {
        // A quoted command substitution; the '.' keeps trailing newlines.
        auto [inner, inner_meaning] = word(depth - 1);
        text += "\"$(printf '%s.' " + inner + ")\"";
        meaning += inner_meaning + ".";
        break;
      }
      default:
        break;
      }
    }
    if (text.empty()) {
      text = "''";
    }
    return {text, meaning};
  }

  void double_quoted(std::string& text, std::string& meaning) {
    text += '"';
    const int parts = pick(4);
    for (int i = 0; i < parts; ++i) {
      switch (pick(4)) {
      case 0: {
        const std::string literal = chars(DOUBLE_CHARS, 4);
        text += literal;
        meaning += literal;
        break;
      }
      case 1: {
        // Inside double quotes a backslash escapes only these; before others it stays.
        const char c = "$\"\\`a'"[pick(5)];
        text += std::string("\\") + c;
        meaning += (c == 'a' || c == '\'') ? std::string("\\") + c : std::string(1, c);
        break;
      }
      case 2:
        text += "\\\n";
        break;
      default: {
        auto [ref, value] = reference();
        if (!text.ends_with('\\')) {
          text += ref;
          meaning += value;
        }
        break;
      }
      }
    }
    text += '"';
  }

  // A command before the printf that prints nothing, whatever the value, when
  // the lint is right about where its reference stands.
  std::string decoy() {
    auto [ref, value] = reference();
    switch (pick(12)) {
    case 0:
      return ": ${X:-" + ref + "}\n";
    case 1:
      return ": $((" + ref + "))\n";
    case 2:
      return ": `: " + ref + "`\n";
    case 3:
      return "# " + ref + "\n";
    case 4:
      return ": <<'E'\n" + ref + "\nE\n";
    case 5:
      return ": <<E\n" + ref + "\nE\n";
    case 6:
      return ": $'" + ref + "'\n";
    case 7:
      return ": \"${X:-'" + ref + "'}\"\n";
    case 8:
      return ": \"$(: '" + ref + "')\"\n";
    case 9:
      return "X='" + ref + "'; ";
    case 10:
      return "case " + ref + " in *) ;; esac\n";
    case 11:
      return ": $" + ref + "\n";
    default:
      return ": \"" + ref + "\" && ";
    }
  }

  std::string wrap(const std::string& command) {
    switch (pick(10)) {
    case 1:
      return "{ " + command + "; }";
    case 2:
      return "if true; then " + command + "; fi";
    case 3:
      return "(" + command + ")";
    case 4:
      return command + " | cat";
    case 5:
      return "for i in 1; do " + command + "; done";
    case 6:
      return "case x in x) " + command + ";; esac";
    case 7:
      return "true && " + command;
    case 8:
      return "f() { " + command + "; }; f";
    case 9:
      return command + " # done";
    case 10:
      return command + "\n";
    default:
      return command;
    }
  }

  FuzzedDataProvider fdp_;
  const Json& value_;
};

Json make_value(FuzzedDataProvider& fdp, bool integer) {
  if (integer) {
    return fdp.ConsumeIntegral<std::int64_t>();
  }
  std::string text;
  const int tokens = fdp.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < tokens; ++i) {
    if (fdp.ConsumeIntegralInRange<int>(0, 3) != 0) {
      text += VALUE_TOKENS[fdp.ConsumeIntegralInRange<std::size_t>(0, std::size(VALUE_TOKENS) - 1)];
    } else {
      text += fdp.ConsumeRandomLengthString(4);
    }
  }
  return text;
}

struct Sandbox {
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Never freed: the exit handler that removes the directory runs after static destructors.
const Sandbox& sandbox() {
  static const Sandbox* box = [] {
    auto* b = new Sandbox;
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
      std::fprintf(stderr, "shell_quoting: no user 'nobody'\n");
      std::abort();
    }
    b->uid = pw->pw_uid;
    b->gid = pw->pw_gid;
    char tmpl[] = "/tmp/velquin-fuzz-sh-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr || ::chmod(tmpl, 0755) != 0) {
      std::perror("shell_quoting: temporary directory");
      std::abort();
    }
    b->dir = tmpl;
    std::atexit([] { ::rmdir(sandbox().dir.c_str()); });
    return b;
  }();
  return *box;
}

struct Run {
  std::string out;
  int status = 0;
  bool timed_out = false;
};

Run run_shell(const char* shell, const std::string& command) {
  const Sandbox& box = sandbox();
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    std::abort();
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::abort();
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(null_fd, 0);
    ::dup2(pipe_fds[1], 1);
    ::dup2(null_fd, 2);
    if (::chdir(box.dir.c_str()) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(box.gid) != 0 ||
        ::setuid(box.uid) != 0) {
      ::_exit(126);
    }
    const char* argv[] = {shell, "-c", command.c_str(), nullptr};
    const char* envp[] = {nullptr};  // as env -i
    ::execve(shell, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(pipe_fds[1]);
  Run run;
  // A correct command is one printf; anything that takes seconds is the value at work.
  int waited_ms = 0;
  char buffer[4096];
  for (;;) {
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 100);
    if (ready == 0) {
      waited_ms += 100;
      if (waited_ms >= 10000) {
        run.timed_out = true;
        break;
      }
      continue;
    }
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0 || run.out.size() > (1u << 20)) {
      break;
    }
    run.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::kill(-pid, SIGKILL);
  ::close(pipe_fds[0]);
  while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

std::string printable(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) {
    out += w;
    out += '\0';
  }
  return out;
}

bool matches(const Run& run, const std::string& expected) {
  return !run.timed_out && run.out == expected && WIFEXITED(run.status) &&
         WEXITSTATUS(run.status) == 0;
}

// The same command with a harmless value: when that one fails too, the grammar
// mispredicted the shell, which says nothing about the lint.
bool grammar_holds(const char* shell, const std::vector<std::uint8_t>& choices) {
  const Json control = "x";
  const Sample sample = Grammar(choices, control).build();
  std::string rendered;
  try {
    rendered = velquin::tmpl::render_command(sample.command, Json{{"v", control}});
  } catch (const velquin::tmpl::RenderError&) {
    return true;
  }
  const Run run = run_shell(shell, rendered);
  if (matches(run, joined(sample.words))) {
    return true;
  }
  std::fprintf(stderr, "grammar mispredicts %s for %s: got %s\n", shell,
               printable(rendered).c_str(), printable(run.out).c_str());
  return false;
}

void check(const char* shell, const std::string& command, const Json& value,
           const std::vector<std::string>& words, const std::vector<std::uint8_t>& choices) {
  const Run run = run_shell(shell, command);
  const std::string expected = joined(words);
  if (matches(run, expected) || !grammar_holds(shell, choices)) {
    return;
  }
  std::fprintf(stderr,
               "value changed the command's words\n  shell:    %s\n  command:  %s\n  value:    "
               "%s\n  expected: %s\n  got:      %s\n  status:   %d%s\n",
               shell, printable(command).c_str(),
               value.dump(-1, ' ', true, Json::error_handler_t::replace).c_str(),
               printable(expected).c_str(), printable(run.out).c_str(), run.status,
               run.timed_out ? " (timed out)" : "");
  std::abort();
}

// Inputs that got as far as the shells; printed at exit so that a run shows how
// much of its time went to real comparisons.
std::size_t compared = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int kind = fdp.ConsumeIntegralInRange<int>(0, 3);
  const Json value = make_value(fdp, kind == 3);
  const std::vector<std::uint8_t> choices = fdp.ConsumeRemainingBytes<std::uint8_t>();
  Sample sample = Grammar(choices, value).build();

  Json parameter = {{"type", kind == 3 ? "integer" : "string"}};
  if (kind == 2) {
    parameter["pattern"] = "[\\s\\S]*";  // restricted in name only
  }
  Json alias = {{"type", "process"},
                {"command", sample.command},
                {"parameters", {{"v", parameter}}},
                {"name", "fuzz"}};
  const velquin::config::ParsedAlias parsed =
      velquin::config::parse_alias("fuzz", std::move(alias), std::nullopt);
  if (!parsed.errors.empty()) {
    return 0;
  }
  const Json params = {{"v", value}};
  if (!velquin::validator::validate_parameters(params, *parsed.alias).empty()) {
    return 0;
  }
  std::string rendered;
  try {
    // The command as the loader parsed it, rendered as a run renders it.
    rendered = velquin::tmpl::render_command(parsed.alias->process()->command, params);
  } catch (const velquin::tmpl::RenderError&) {
    return 0;
  }
  if (!sample.prints_value) {
    return 0;  // nothing for the shells to show
  }
  if (compared++ == 0) {
    std::atexit([] { std::fprintf(stderr, "shell_quoting: %zu commands compared\n", compared); });
  }
  check("/bin/sh", rendered, value, sample.words, choices);
  check("/bin/bash", rendered, value, sample.words, choices);
  return 0;
}
