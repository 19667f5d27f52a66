#include "template/template.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fd.h"

extern char** environ;

namespace velquin::tmpl {
namespace {

using Json = nlohmann::ordered_json;

struct RenderCase {
  const char* label;
  const char* text;
  Json params;
  std::optional<std::string> run_dir;
  const char* expected;
};

class RenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, RendersValueText) {
  const auto& c = GetParam();
  EXPECT_EQ(render(c.text, c.params, c.run_dir), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RenderTest,
    ::testing::Values(
        RenderCase{"text", "hi {{ name }}!", {{"name", "bob"}}, std::nullopt, "hi bob!"},
        RenderCase{"no_spaces", "{{name}}{{ name}}", {{"name", "x"}}, std::nullopt, "xx"},
        RenderCase{"integer", "n={{ n }}", {{"n", -42}}, std::nullopt, "n=-42"},
        RenderCase{"float_keeps_point", "{{ f }}", {{"f", 2.0}}, std::nullopt, "2.0"},
        RenderCase{"float_shortest", "{{ f }}", {{"f", 0.1}}, std::nullopt, "0.1"},
        RenderCase{
            "booleans", "{{ t }}/{{ f }}", {{"t", true}, {"f", false}}, std::nullopt, "true/false"},
        RenderCase{"null_is_empty", "[{{ v }}]", {{"v", nullptr}}, std::nullopt, "[]"},
        RenderCase{"missing_is_empty", "[{{ v }}]", Json::object(), std::nullopt, "[]"},
        RenderCase{"missing_shell_is_empty_word", "a {{ v | shell }} b", Json::object(),
                   std::nullopt, "a '' b"},
        RenderCase{"run_dir", "{{ run_dir }}/out", Json::object(), std::string("/tmp/r1"),
                   "/tmp/r1/out"},
        RenderCase{"run_dir_absent", "[{{ run_dir }}]", Json::object(), std::nullopt, "[]"},
        RenderCase{"run_dir_beats_parameter",
                   "{{ run_dir }}",
                   {{"run_dir", "/etc"}},
                   std::string("/r"),
                   "/r"},
        RenderCase{"escaped_braces", "\\{{ name }}", {{"name", "x"}}, std::nullopt, "{{ name }}"},
        RenderCase{"lone_braces", "awk '{print $1}' }}", Json::object(), std::nullopt,
                   "awk '{print $1}' }}"},
        RenderCase{"shell_quote", "{{ v | shell }}", {{"v", "it's"}}, std::nullopt, "'it'\\''s'"},
        RenderCase{"shell_integer", "{{ v | shell }}", {{"v", 7}}, std::nullopt, "'7'"},
        RenderCase{"json_text", "{{ v | json }}", {{"v", "a\"b"}}, std::nullopt, "\"a\\\"b\""},
        RenderCase{
            "json_list", "{{ v|json }}", {{"v", Json::array({1, "x"})}}, std::nullopt, "[1,\"x\"]"},
        RenderCase{"json_missing", "{{ v | json }}", Json::object(), std::nullopt, "null"},
        RenderCase{"value_not_rescanned",
                   "{{ v }}",
                   {{"v", "{{ w }}"}, {"w", "no"}},
                   std::nullopt,
                   "{{ w }}"}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

struct ErrorCase {
  const char* label;
  const char* text;
  Json params;
};

class RenderErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RenderErrorTest, Throws) {
  EXPECT_THROW(render(GetParam().text, GetParam().params), RenderError);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RenderErrorTest,
    ::testing::Values(ErrorCase{"unclosed", "echo {{ name", {{"name", "x"}}},
                      ErrorCase{"unknown_filter", "{{ name | upper }}", {{"name", "x"}}},
                      ErrorCase{"empty_filter", "{{ name | }}", {{"name", "x"}}},
                      ErrorCase{"empty_reference", "{{ }}", Json::object()},
                      ErrorCase{"bad_name", "{{ a b }}", Json::object()},
                      ErrorCase{"list_as_text", "{{ v }}", {{"v", Json::array({1})}}},
                      ErrorCase{"object_as_shell", "{{ v | shell }}", {{"v", {{"a", 1}}}}},
                      ErrorCase{
                          "nul_into_shell", "{{ v | shell }}", {{"v", std::string("a\0b", 3)}}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(References, ListsNamesAndFiltersInOrder) {
  const auto refs = references("{{ a }} {{b|shell}} \\{{ c }} {{ run_dir }} {{ d | odd }}");
  ASSERT_EQ(refs.size(), 4u);
  EXPECT_EQ(refs[0].name, "a");
  EXPECT_EQ(refs[0].filter, "");
  EXPECT_EQ(refs[1].name, "b");
  EXPECT_EQ(refs[1].filter, "shell");
  EXPECT_EQ(refs[2].name, "run_dir");
  EXPECT_EQ(refs[3].filter, "odd");
  EXPECT_THROW(references("{{ a "), RenderError);
}

TEST(References, RunDirAloneIsNotAParameter) {
  EXPECT_FALSE(references_parameter("{{ run_dir }}/out.txt"));
  EXPECT_FALSE(references_parameter("plain/out.txt"));
  EXPECT_TRUE(references_parameter("{{ run_dir }}/{{ name }}.txt"));
}

// Runs `<shell> -c <command>` and returns what it wrote to standard output.
std::string run_shell(const std::string& command, const char* shell = "sh") {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  support::UniqueFd read_end(fds[0]);
  support::UniqueFd write_end(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  const char* argv[] = {shell, "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, shell, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end.reset();
  if (rc != 0) {
    ADD_FAILURE() << "spawn failed";
    return {};
  }
  std::string out;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(read_end.get(), buffer, sizeof buffer)) > 0) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

class ShellWordTest : public ::testing::TestWithParam<std::string> {};

// Whatever a client sends, a shell-filtered value reaches the command as one literal word.
TEST_P(ShellWordTest, ComesBackLiterally) {
  const Json params = {{"v", GetParam()}};
  const std::string command = render("printf %s {{ v | shell }}", params);
  EXPECT_EQ(run_shell(command), GetParam());
  // Two words stay two words: the value does not split or swallow its neighbour.
  const std::string pair = render("printf '%s|' {{ v | shell }} {{ v|shell }}", params);
  EXPECT_EQ(run_shell(pair), GetParam() + "|" + GetParam() + "|");
}

INSTANTIATE_TEST_SUITE_P(Injection, ShellWordTest,
                         ::testing::Values("; id", "$(id)", "`id`", "it's", "'", "''\\'",
                                           "\"double\" $HOME", "line1\nline2", "a && b || c", "*",
                                           "-n", "", "  spaces  ", "\\", "${IFS}x", "é ∑ ünïcode"));

// ---------------------------------------------------------------------------
// Command quoting contexts

struct ContextCase {
  const char* label;
  const char* command;
  std::vector<ShellContext> expected;  // one per reference, in order
  Interpreter interpreter = Interpreter::shell;
};

class CommandContextTest : public ::testing::TestWithParam<ContextCase> {};

TEST_P(CommandContextTest, TracksTheShellQuotingState) {
  std::vector<ShellContext> contexts;
  for (const auto& ref : command_references(GetParam().command, GetParam().interpreter)) {
    contexts.push_back(ref.context);
  }
  EXPECT_EQ(contexts, GetParam().expected) << GetParam().command;
}

using C = ShellContext;
constexpr C B = C::bare, S = C::single_quotes, D = C::double_quotes;

INSTANTIATE_TEST_SUITE_P(
    Contexts, CommandContextTest,
    ::testing::Values(
        ContextCase{"bare", "echo {{ x | shell }} a{{ y }}b", {B, B}},
        ContextCase{"single", "echo 'note {{ x | shell }}' {{ y }}", {S, B}},
        ContextCase{"double", "echo \"$HOME {{ x }}\" \\\"{{ y }}", {D, B}},
        ContextCase{"escaped_quotes", "echo \\' {{ x }} \"a\\\"{{ y }}\" '\\'{{ z }}", {B, D, B}},
        ContextCase{"single_inside_double_is_literal", "echo \"it's {{ x }}\"", {D}},
        ContextCase{"substitution_is_bare_again",
                    "echo \"a $(printf '%s' {{ x }} '{{ y }}' \"{{ z }}\") {{ w }}\"",
                    {B, S, D, D}},
        ContextCase{"nested_substitution", "echo $(echo $(echo {{ x }}) ')') {{ y }}", {B, B}},
        ContextCase{"comment", "echo hi # {{ x | shell }}\necho {{ y }}", {C::comment, B}},
        ContextCase{"hash_inside_a_word", "echo a#{{ x }} {{ y }}#", {B, B}},
        ContextCase{"comment_hides_parenthesis", "echo $(echo a # )\n) {{ x }}", {B}},
        ContextCase{"dollar_single", "echo $'a {{ x }}' {{ y }}", {C::dollar_single_quotes, B}},
        ContextCase{"backquotes",
                    "echo `echo {{ x }}` \"`{{ y }}`\" {{ z }}",
                    {C::backquotes, C::backquotes, B}},
        ContextCase{"parameter_expansion",
                    "echo ${v:-{{ x }}} \"${{ y }}\" {{ z }}",
                    {C::parameter_expansion, C::parameter_expansion, B}},
        ContextCase{"arithmetic", "echo $(( {{ n }} + (1) )) {{ y }}", {C::parameter_expansion, B}},
        ContextCase{
            "here_document", "cat <<EOF\nline {{ x }}\nEOF\necho {{ y }}", {C::here_document, B}},
        ContextCase{"here_document_quoted_and_tabs",
                    "cat <<-'E F' && cat <<\\X\n\t{{ x }}\n\tE F\n{{ y }}\nX\necho {{ z }}",
                    {C::here_document, C::here_document, B}},
        ContextCase{"here_document_delimiter",
                    "cat <<{{ x }}\nEOF\n{{ y }}",
                    {C::here_document, C::here_document}},
        ContextCase{"unterminated_single", "echo {{ x }} '{{ y }}", {B, C::unterminated_quote}},
        ContextCase{
            "unterminated_substitution", "echo \"$(echo {{ x }}\"", {C::unterminated_quote}},
        // Where the reading is uncertain, every later reference is refused.
        ContextCase{"empty_value_may_start_a_comment", "echo {{ x }}#\n{{ y }}", {B, C::comment}},
        ContextCase{"case_pattern_in_a_substitution",
                    "echo \"$(case a in a) echo {{ x }};; esac) {{ y }}\"",
                    {C::backquotes, C::backquotes}},
        ContextCase{"case_in_a_bare_substitution",
                    "v=$(case a in a) echo {{ x }};; esac) \"{{ y }}\"",
                    {B, D}},
        ContextCase{"dash_and_bash_differ_on_escaped_quote",
                    "echo $'a\\'' {{ x }}",
                    {C::dollar_single_quotes}},
        ContextCase{"quote_left_open_in_backquotes", "echo `echo \"` {{ x }}", {C::backquotes}},
        ContextCase{
            "quotes_in_parameter_expansion", "echo ${v:-'}'} {{ x }}", {C::parameter_expansion}},
        ContextCase{
            "substitution_in_unquoted_body", "cat <<E\n$(x\nE\n)\nE\n{{ x }}", {C::here_document}},
        // The container runner splits words itself: both readings must agree.
        ContextCase{"container_words",
                    "echo '{{ x }}' \"{{ y }}\" {{ z | shell }}",
                    {S, D, B},
                    Interpreter::container},
        ContextCase{"container_quote_inside_substitution",
                    "echo \"$(echo '\"')\" {{ x }}",
                    {C::unterminated_quote},
                    Interpreter::container}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(CommandContext, NamesTheRefusedContexts) {
  EXPECT_EQ(context_name(C::dollar_single_quotes), "$'…'");
  EXPECT_EQ(context_name(C::here_document), "a here-document");
  EXPECT_EQ(context_name(C::backquotes), "backquotes");
  EXPECT_EQ(context_name(C::parameter_expansion), "${…}");
  EXPECT_EQ(context_name(C::comment), "a comment");
  EXPECT_EQ(context_name(C::unterminated_quote), "an unterminated quote");
}

// Every accepted context, run through dash and bash: a hostile value arrives
// unchanged, in one argument, and runs nothing.
struct QuotedCase {
  const char* label;
  const char* command;  // prints each argument followed by NUL
  std::string (*expected)(const std::string& value);
};

class QuotedValueTest : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedValueTest, ArrivesUnchangedAsOneArgument) {
  for (const std::string value :
       {"; id", "$(id)", "`id`", "it's", "'", "\"", "\\", "a\\", "\\'", "'\\''", "\"'\"",
        "line1\nline2", "${IFS}x", "$'x'", "*", "", "é ∑"}) {
    const std::string command = render_command(GetParam().command, Json{{"v", value}});
    for (const char* shell : {"sh", "bash"}) {
      EXPECT_EQ(run_shell(command, shell), GetParam().expected(value) + std::string(1, '\0'))
          << shell << ": " << command;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sh, QuotedValueTest,
    ::testing::Values(QuotedCase{"bare_shell", "printf '%s\\0' {{ v | shell }}",
                                 [](const std::string& v) { return v; }},
                      QuotedCase{"single_raw", "printf '%s\\0' 'a {{ v }} b'",
                                 [](const std::string& v) { return "a " + v + " b"; }},
                      QuotedCase{"single_shell", "printf '%s\\0' '{{ v | shell }}'",
                                 [](const std::string& v) { return v; }},
                      QuotedCase{"double_raw", "printf '%s\\0' \"$# {{ v }}\"",
                                 [](const std::string& v) { return "0 " + v; }},
                      QuotedCase{"double_shell", "printf '%s\\0' \"'{{ v | shell }}'\"",
                                 [](const std::string& v) { return "'" + v + "'"; }},
                      QuotedCase{"substitution_in_double",
                                 "printf '%s\\0' \"$(printf '%s.' '{{ v }}')\"",
                                 [](const std::string& v) { return v + "."; }},
                      QuotedCase{"nested_in_substitution",
                                 "printf '%s\\0' \"$(printf '%s.' \"{{ v }}\" {{ v | shell }})\"",
                                 [](const std::string& v) { return v + "." + v + "."; }},
                      QuotedCase{"json_in_single", "printf '%s\\0' '{{ v | json }}'",
                                 [](const std::string& v) { return Json(v).dump(); }}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(RenderCommand, RefusesWhatValidationRefuses) {
  EXPECT_THROW(render_command("echo # {{ v }}", Json{{"v", "a"}}), RenderError);
  EXPECT_THROW(render_command("echo {{ v }}", Json{{"v", "a;b"}}), RenderError);
  EXPECT_THROW(render_command("echo '{{ v }}'", Json{{"v", std::string("a\0b", 3)}}), RenderError);
  // The service's own run directory may stand anywhere.
  EXPECT_EQ(render_command("cat <<E\n'{{ run_dir }}'\nE\necho '{{ run_dir }}' # {{ run_dir }}",
                           Json::object(), std::string("/r/it's")),
            "cat <<E\n'/r/it's'\nE\necho '/r/it'\\''s' # /r/it's");
  EXPECT_EQ(
      render_command("echo {{ v }} {{ n | json }} {{ m }}", Json{{"v", "a-b/c@d"}, {"n", 1.5}}),
      "echo a-b/c@d 1.5 ");
}

// Parsed once at load: a syntax error the checks let through surfaces when rendered.
TEST(Compiled, DeferredErrorsSurfaceWhenRendered) {
  EXPECT_THROW(Template("{{ a"), RenderError);
  const Template broken = Template::deferred("%{{ a");
  EXPECT_EQ(broken.text(), "%{{ a");
  EXPECT_THROW(render(broken, Json::object()), RenderError);
  EXPECT_TRUE(Template("{{ a }}").references_parameter());
  EXPECT_FALSE(Template("{{ run_dir }}/x").references_parameter());
}

}  // namespace
}  // namespace velquin::tmpl
