// Template parsing and rendering, and the quoting-context scan of command
// lines, on free text. Input: the template, then (after a NUL) the value of
// parameter "a"; "n" is always a number and "l" a list.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "template/template.h"

namespace {

using Json = nlohmann::ordered_json;
namespace tmpl = velquin::tmpl;

bool throws_render_error(auto&& call) {
  try {
    call();
  } catch (const tmpl::RenderError&) {
    return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string value = nul == std::string_view::npos ? "" : std::string(input.substr(nul + 1));
  const Json params = {{"a", value}, {"n", -12.5}, {"l", Json::array({1, "x"})}};

  std::vector<tmpl::Reference> refs;
  const bool bad_syntax = throws_render_error([&] { refs = tmpl::references(text); });
  // Every reader of a template must agree on what is valid.
  for (const auto interpreter : {tmpl::Interpreter::shell, tmpl::Interpreter::container}) {
    if (throws_render_error([&] { tmpl::command_references(text, interpreter); }) != bad_syntax) {
      std::abort();
    }
    throws_render_error([&] { tmpl::render_command(text, params, "/run/x", interpreter); });
  }
  if (bad_syntax) {
    return 0;
  }
  // A syntactically valid template with known filters and scalar values renders.
  bool renderable = true;
  for (const auto& ref : refs) {
    renderable =
        renderable && (ref.filter.empty() || ref.filter == "shell" || ref.filter == "json") &&
        (ref.name != "l" || ref.filter == "json") &&
        (ref.filter != "shell" || value.find('\0') == std::string::npos || ref.name != "a");
  }
  const bool failed = throws_render_error([&] { tmpl::render(text, params, "/run/x"); });
  if (renderable && failed) {
    std::abort();
  }
  return 0;
}
