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

// The references of a template in order. Throws RenderError on a syntax error.
std::vector<Reference> references(std::string_view text);

// True when the text references at least one name other than run_dir.
bool references_parameter(std::string_view text);

}  // namespace velquin::tmpl
