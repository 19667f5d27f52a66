// A checked alias definition turned into the typed alias. The checks have
// passed, so every shape read here is the documented one.

#include "config/alias_parser.h"

#include <algorithm>

#include "config/alias_checks.h"
#include "preserve/preserve.h"
#include "support/number_text.h"

namespace velquin::config {

namespace {

using Json = nlohmann::ordered_json;

const Json* given(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(key);
  return (it == object.end() || it->is_null()) ? nullptr : &*it;
}

std::string text_or_empty(const Json& object, std::string_view key) {
  const Json* value = given(object, key);
  return value == nullptr ? std::string() : value->get<std::string>();
}

tmpl::Template template_of(const Json& object, std::string_view key) {
  return tmpl::Template(text_or_empty(object, key));
}

// What an environment value renders from: texts as they are, other scalars
// printed (true, 2, 2.0, None).
std::string env_text(const Json& value) {
  return value.is_string() ? value.get<std::string>() : support::value_text(value);
}

alias::OutputSource output_source(const Json& entry) {
  alias::OutputSource source;
  source.token = text_or_empty(entry, "source");
  if (source.token == "%stdOut") {
    source.kind = alias::SourceKind::stdout_text;
  } else if (source.token == "%stdErr") {
    source.kind = alias::SourceKind::stderr_text;
  } else if (source.token == "%exitCode") {
    source.kind = alias::SourceKind::exit_code;
  } else {
    // "%..." tokens are not checked as templates: a broken one fails when rendered.
    source.path = tmpl::Template::deferred(source.token);
  }
  return source;
}

alias::OutputTemplate output_template(const Json& def) {
  alias::OutputTemplate out;
  const Json* output = given(def, "output");
  if (output == nullptr) {
    return out;
  }
  if (const Json* single = given(*output, "single_value")) {
    alias::SingleValue value;
    value.source = output_source(*single);
    if (const Json* type = given(*single, "content-type")) {
      value.content_type = type->get<std::string>();
    }
    out.single_value = std::move(value);
  }
  if (const Json* multiple = given(*output, "multiple_values")) {
    auto& values = out.multiple_values.emplace();
    for (const auto& entry : *multiple) {
      values.push_back({text_or_empty(entry, "parameter_name"), output_source(entry)});
    }
  }
  return out;
}

alias::Volume volume(const Json& entry) {
  alias::Volume v;
  v.location = text_or_empty(entry, "location");
  v.content = template_of(entry, "content");
  if (const std::string mode = text_or_empty(entry, "mode"); !mode.empty()) {
    v.mode = mode;
  }
  if (const Json* source = given(entry, "source")) {
    v.source = source->get<std::string>();
    if (v.source.starts_with('/')) {
      v.kind = alias::VolumeSource::host;
      return v;  // bound as written: never rendered, never preserved
    }
    v.kind = alias::VolumeSource::run_dir;
    v.is_dir = v.source.ends_with('/');
    v.source_template = tmpl::Template(v.source);
  }
  const Json* keep = given(entry, "preserve");
  if (keep != nullptr && preserve::is_preserve_enabled(*keep)) {
    v.preserve = preserve::normalize_preserve(*keep);
  }
  if (const Json* prefix = given(entry, "preservePrefix")) {
    v.preserve_prefix = prefix->get<std::string>();
  }
  return v;
}

std::vector<alias::StreamEntry> stream_entries(const Json& def) {
  const Json* raw = given(def, "preserveStreams");
  if (raw == nullptr || raw->is_boolean()) {
    if (raw != nullptr && raw->get<bool>()) {
      // Sorted stream names: stderr before stdout.
      return {{"stderr", "", false}, {"stdout", "", false}};
    }
    return {};
  }
  std::vector<alias::StreamEntry> entries;
  for (const auto& entry : *raw) {
    const Json* flatten = given(entry, "flatten");
    entries.push_back({text_or_empty(entry, "stream"), text_or_empty(entry, "filename"),
                       flatten != nullptr && flatten->get<bool>()});
  }
  return entries;
}

alias::AliasPtr build(const std::string& name, const Json& def, detail::CheckedDefinition checked) {
  auto built = std::make_shared<alias::Alias>();
  alias::Alias& a = *built;
  a.name = name;
  tmpl::Command command = checked.command ? std::move(*checked.command) : tmpl::Command();
  if (text_or_empty(def, "type") == "process") {
    alias::ProcessSpec spec;
    spec.command = std::move(command);
    spec.user = text_or_empty(def, "user");
    if (const Json* files = given(def, "files")) {
      for (const auto& entry : *files) {
        spec.files.push_back({template_of(entry, "location"), template_of(entry, "content")});
      }
    }
    a.spec = std::move(spec);
  } else {
    alias::ContainerSpec spec;
    spec.image = text_or_empty(def, "image");
    spec.command = std::move(command);
    if (const std::string network = text_or_empty(def, "network"); !network.empty()) {
      spec.network = network;
    }
    if (const Json* volumes = given(def, "volumes")) {
      for (const auto& entry : *volumes) {
        spec.volumes.push_back(volume(entry));
      }
    }
    a.spec = std::move(spec);
  }
  a.parameters = std::move(checked.parameters);
  if (const Json* env = given(def, "environment")) {
    for (const auto& [var, value] : env->items()) {
      a.environment.push_back({var, tmpl::Template(env_text(value))});
    }
  }
  if (const Json* timeout = given(def, "timeout")) {
    a.timeout = alias::Number{timeout->get<long double>(), support::value_text(*timeout)};
  }
  a.output = output_template(def);
  a.exit_codes = std::move(checked.exit_codes);
  a.preserve_streams = stream_entries(def);
  a.description = text_or_empty(def, "description");
  a.concurrency = checked.concurrency;
  a.queue = checked.queue;
  a.limits = checked.limits;

  // Webhook events.
  a.takes_event_parameters =
      std::any_of(a.parameters.begin(), a.parameters.end(),
                  [](const alias::Parameter& p) { return p.from || p.header; });
  if (auto* process = std::get_if<alias::ProcessSpec>(&a.spec)) {
    for (auto& file : process->files) {
      const auto refs = tmpl::references(file.content.text());
      file.uses_request_body = std::any_of(refs.begin(), refs.end(), [](const tmpl::Reference& r) {
        return r.name == detail::REQUEST_BODY;
      });
    }
  }
  if (const Json* stream = given(def, "stream"); stream != nullptr && stream->is_boolean()) {
    a.stream = stream->get<bool>();
  }
  return built;
}

}  // namespace

ParsedAlias parse_alias(const std::string& name, Json definition,
                        std::optional<std::int64_t> max_timeout) {
  if (definition.is_object()) {
    definition["name"] = name;
  }
  detail::CheckedDefinition checked = detail::check_definition(definition, max_timeout);
  ParsedAlias result;
  if (!checked.errors.empty()) {
    result.errors = std::move(checked.errors);
    return result;
  }
  result.alias = build(name, definition, std::move(checked));
  return result;
}

}  // namespace velquin::config
