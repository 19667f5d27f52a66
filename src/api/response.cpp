// The answer of a completed run, built from the alias's output template.

#include <string>

#include "api/internal.h"

namespace velquin::api::detail {

namespace {

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string resolve_source(const alias::OutputSource& source, const executor::RunResult& result) {
  switch (source.kind) {
  case alias::SourceKind::stdout_text:
    return result.stdout_text;
  case alias::SourceKind::stderr_text:
    return result.stderr_text;
  case alias::SourceKind::exit_code:
    return result.returncode ? std::to_string(*result.returncode) : "0";
  case alias::SourceKind::file:
    break;
  }
  const auto it = result.file_outputs.find(source.token);
  return it == result.file_outputs.end() ? std::string() : it->second;
}

Response build_response(const alias::Alias& alias_def, const executor::RunResult& result) {
  const alias::OutputTemplate& output = alias_def.output;
  if (output.single_value) {
    Response res;
    res.body = resolve_source(output.single_value->source, result);
    res.content_type = output.single_value->content_type;
    return res;
  }
  if (output.multiple_values) {
    json body = json::object();
    for (const auto& value : *output.multiple_values) {
      body[value.parameter_name] = resolve_source(value.source, result);
    }
    return json_response(200, dump(body));
  }
  Response res;
  res.body = result.stdout_text;
  res.content_type = "text/plain";
  return res;
}

}  // namespace velquin::api::detail
