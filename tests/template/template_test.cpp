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

// Runs `sh -c <command>` and returns what it wrote to standard output.
std::string run_shell(const std::string& command) {
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
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "sh", &actions, nullptr, const_cast<char**>(argv), environ);
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

}  // namespace
}  // namespace velquin::tmpl
