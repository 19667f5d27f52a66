#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velquin::support {

// A YAML syntax error; what() is the parser's own message (with line and column).
class YamlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses one YAML document with the YAML 1.2 core schema: null (~, null, empty),
// booleans (true/True/TRUE, false/False/FALSE), integers (decimal, 0o, 0x),
// floats (incl. .inf/.nan), everything else text. Quoted scalars are always text.
// A key repeated inside one mapping keeps the later value. An empty document is null.
// Throws YamlError on a syntax error.
nlohmann::ordered_json parse_yaml(std::string_view text);

// Reads the file and parses it; I/O failures throw std::system_error.
nlohmann::ordered_json load_yaml_file(const std::string& path);

}  // namespace velquin::support
