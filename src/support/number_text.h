#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace velquin::support {

// Shortest text that reads back as the same double; a whole number keeps
// ".0" (2.0 -> "2.0", 2.5 -> "2.5", 1e-07 -> "1e-07", inf -> "inf").
std::string number_text(double value);

// The printed form of a scalar JSON value: integers in decimal, floats as
// number_text(), booleans "true"/"false", text unchanged, null "None".
// Lists and objects are dumped as JSON.
std::string value_text(const nlohmann::ordered_json& value);

}  // namespace velquin::support
