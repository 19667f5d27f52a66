#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace velquin::support {

// "Not given" in the alias definitions' sense: absent (nullptr), null, false,
// 0, "" and empty lists or mappings.
inline bool is_empty_value(const nlohmann::ordered_json* value) {
  if (value == nullptr || value->is_null()) {
    return true;
  }
  if (value->is_boolean()) {
    return !value->get<bool>();
  }
  if (value->is_number()) {
    return value->get<double>() == 0.0;
  }
  return (value->is_string() || value->is_array() || value->is_object()) && value->empty();
}

inline bool is_empty_value(const nlohmann::ordered_json& value) { return is_empty_value(&value); }

// The member of a mapping, or nullptr when absent or when object is no mapping.
inline const nlohmann::ordered_json* member(const nlohmann::ordered_json& object,
                                            std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace velquin::support
