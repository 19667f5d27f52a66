// Parameters of an alias fed by a webhook event.

#include <gtest/gtest.h>

#include "api/internal.h"

namespace velquin::api {
namespace {

alias::Parameter parameter(std::string name, std::optional<std::string> from = std::nullopt,
                           std::optional<std::string> header = std::nullopt) {
  alias::Parameter p;
  p.name = std::move(name);
  p.from = std::move(from);
  p.header = std::move(header);
  return p;
}

TEST(EventParameters, TakesPointersHeadersAndDeclaredMembersOnly) {
  alias::Alias a;
  a.parameters = {parameter("repo", "/repository/full_name"),
                  parameter("first", "/commits/0/id"),
                  parameter("tilde", "/a~1b"),
                  parameter("missing", "/commits/9/id"),
                  parameter("bad_index", "/commits/x"),
                  parameter("event", std::nullopt, "X-Event"),
                  parameter("absent_header", std::nullopt, "X-None"),
                  parameter("ref")};
  const json body = json::parse(R"({"repository": {"full_name": "o/r"}, "commits": [{"id": 7}],
      "a/b": true, "ref": "main", "undeclared": 1, "event": "forged"})");
  const auto header = [](std::string_view name) -> std::optional<std::string> {
    return name == "X-Event" ? std::optional<std::string>("pu\xffsh") : std::nullopt;
  };
  EXPECT_EQ(detail::event_parameters(a, body, header),
            json::parse(R"({"repo": "o/r", "first": 7, "tilde": true, "event": "pu\ufffdsh",
                            "ref": "main"})"));
}

}  // namespace
}  // namespace velquin::api
