// How a streaming run cuts its output into lines.

#include "executor/live.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velquin::executor::detail {
namespace {

struct SplitCase {
  const char* label;
  std::vector<std::string> reads;
  std::vector<std::string> expected;  // "+" marks a piece that ends a line
  std::size_t max_line = 64 * 1024;
};

class Splitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Splitting, CutsLinesAcrossReads) {
  LineSplitter lines(GetParam().max_line);
  std::vector<LiveOutput::Piece> pieces;
  for (const auto& read : GetParam().reads) {
    lines.feed(read, pieces);
  }
  lines.finish(pieces);
  std::vector<std::string> got;
  for (const auto& piece : pieces) {
    got.push_back(piece.text + (piece.ends_line ? "+" : ""));
  }
  EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Splitting,
    ::testing::Values(
        SplitCase{"newlines", {"a\nb\n"}, {"a+", "b+"}},
        SplitCase{"line_over_two_reads", {"ab", "c\nd"}, {"abc+", "d"}},
        SplitCase{"crlf_split_between_reads", {"a\r", "\nb\r\rc"}, {"a+", "b+", "+", "c"}},
        SplitCase{"empty_lines", {"\n\n"}, {"+", "+"}},
        SplitCase{"invalid_utf8", {"x\xff", "y\n"}, {"x\xEF\xBF\xBDy+"}},
        SplitCase{"character_split_between_reads", {"\xC3", "\xA9\n"}, {"\xC3\xA9+"}},
        // An over-long line goes out in pieces, never inside a character.
        SplitCase{"long_line", {"abcdefgh", "\n"}, {"abc", "def", "gh+"}, 3},
        SplitCase{"long_line_keeps_characters", {"ab\xC3\xA9", "xy"}, {"ab", "\xC3\xA9x", "y"}, 3}),
    [](const auto& param_info) { return param_info.param.label; });

}  // namespace
}  // namespace velquin::executor::detail
