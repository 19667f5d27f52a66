// Parameters of an alias that a webhook event feeds.

#include "api/internal.h"
#include "support/text.h"

namespace velquin::api::detail {

json event_parameters(const alias::Alias& alias_def, const json& body,
                      const auth::HeaderLookup& header) {
  json params = json::object();
  for (const alias::Parameter& parameter : alias_def.parameters) {
    if (parameter.from) {
      // A pointer that does not resolve leaves the parameter absent, for its
      // default or its "required" to answer.
      try {
        const json::json_pointer pointer(*parameter.from);
        if (body.contains(pointer)) {
          params[parameter.name] = body.at(pointer);
        }
      } catch (const json::exception&) {
      }
    } else if (parameter.header) {
      // Header values may hold any byte above 0x7f; parameters are UTF-8 text,
      // as form fields are, or the engine's request body could not be written.
      if (std::optional<std::string> value = header(*parameter.header)) {
        params[parameter.name] = support::decode_utf8_replace(*value);
      }
    } else if (body.is_object()) {
      if (const auto it = body.find(parameter.name); it != body.end()) {
        params[parameter.name] = *it;
      }
    }
  }
  return params;
}

}  // namespace velquin::api::detail
