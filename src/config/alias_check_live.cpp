// The `stream` key: output sent while the command runs.

#include "config/alias_checks.h"

namespace velquin::config::detail {

void DefinitionChecker::live_output(const Json& alias_cfg, bool container) {
  const Json* stream = given(alias_cfg, "stream");
  if (stream == nullptr) {
    return;
  }
  if (!stream->is_boolean()) {
    error("stream must be true or false");
    return;
  }
  if (!stream->get<bool>()) {
    return;
  }
  // A container's output only arrives once it has ended.
  if (container) {
    error("stream applies to process aliases only");
  }
  // A template answers from the finished run, which a stream has already sent.
  if (non_empty(alias_cfg, "output")) {
    error("stream cannot be combined with an output template");
  }
}

}  // namespace velquin::config::detail
