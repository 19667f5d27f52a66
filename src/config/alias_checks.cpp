// The rules of the alias definition format: the entries other than the
// parameters. Messages and their order are part of the interface: operators
// read them at start-up and on reload.

#include <re2/re2.h>

#include "config/alias_checks.h"
#include "preserve/preserve.h"
#include "support/number_text.h"
#include "support/quoted.h"
#include "support/text.h"
#include "validator/validator.h"

namespace velquin::config::detail {

namespace {

using alias::ParameterType;
using support::quoted;
using validator::as_number;

const std::set<std::string_view> ALIAS_KEYS = {
    "type",    "command",     "image",   "parameters",     "timeout",         "environment",
    "user",    "files",       "volumes", "output",         "preserveStreams", "exitCodes",
    "network", "description", "name",    "_exit_code_map", "concurrency",     "queue",
    "limits",  "stream"};
const std::set<std::string_view> FILE_KEYS = {"location", "content"};
const std::set<std::string_view> VOLUME_KEYS = {"source", "location", "content",
                                                "mode",   "preserve", "preservePrefix"};
const std::set<std::string_view> OUTPUT_KEYS = {"single_value", "multiple_values"};
const std::set<std::string_view> SINGLE_VALUE_KEYS = {"source", "content-type"};
const std::set<std::string_view> MULTIPLE_VALUE_KEYS = {"parameter_name", "source"};
const std::set<std::string_view> STREAM_KEYS = {"stream", "filename", "flatten"};
const std::set<std::string_view> STREAM_NAMES = {"stdout", "stderr"};

bool valid_preserve(const Json& value) {
  if (value.is_boolean()) {
    return true;
  }
  if (!value.is_string()) {
    return false;
  }
  const std::string lower = support::to_lower(value.get_ref<const std::string&>());
  for (const auto word : preserve::PRESERVE_VALUES) {
    if (lower == word) {
      return true;
    }
  }
  return false;
}
}  // namespace

void DefinitionChecker::unknown_keys(const Json& object, const std::set<std::string_view>& allowed,
                                     const std::string& where) {
  for (const auto& [key, value] : object.items()) {
    if (!allowed.contains(key)) {
      error(where + "unknown key " + quoted(key));
    }
  }
}

void DefinitionChecker::check_template(const std::string& label, const std::string& text,
                                       bool request_body_allowed) {
  std::vector<tmpl::Reference> refs;
  try {
    refs = tmpl::references(text);
  } catch (const tmpl::RenderError& e) {
    error(label + ": " + e.what());
    return;
  }
  for (const auto& ref : refs) {
    if (!ref.filter.empty() && ref.filter != "shell" && ref.filter != "json") {
      error(label + ": unknown template filter " + quoted(ref.filter));
    }
    if (ref.name == REQUEST_BODY) {
      if (!request_body_allowed) {
        error(label + ": request_body is allowed only in files[].content");
      }
    } else if (ref.name != RUN_DIR && !declared_.contains(ref.name)) {
      error(label + " references undeclared parameter " + quoted(ref.name));
    }
  }
}

void DefinitionChecker::optional_template(const Json& object, std::string_view key,
                                          const std::string& label) {
  const Json* value = given(object, key);
  if (value == nullptr) {
    return;
  }
  if (!value->is_string()) {
    error(label + " must be a text");
    return;
  }
  check_template(label, value->get<std::string>());
}

void DefinitionChecker::optional_text(const Json& object, std::string_view key,
                                      const std::string& label) {
  const Json* value = given(object, key);
  if (value != nullptr && !value->is_string()) {
    error(label + " must be a text");
  }
}

void DefinitionChecker::optional_boolean(const Json& object, std::string_view key,
                                         const std::string& label) {
  const Json* value = given(object, key);
  if (value != nullptr && !value->is_boolean()) {
    error(label + " must be true or false");
  }
}

void DefinitionChecker::note_raw_words(const std::optional<tmpl::Command>& command) {
  if (!command) {
    return;
  }
  for (const auto& ref : command->references()) {
    if (ref.ref.name != RUN_DIR && ref.ref.filter != "shell" &&
        ref.context == tmpl::ShellContext::bare) {
      raw_words_.insert(ref.ref.name);
    }
  }
}

void DefinitionChecker::timeout(const Json& alias_cfg, std::optional<std::int64_t> max_timeout) {
  const Json* value = given(alias_cfg, "timeout");
  if (value == nullptr) {
    return;
  }
  // 0 keeps its documented meaning: the default time limit.
  const auto seconds = is_plain_number(*value) ? as_number(*value) : std::nullopt;
  if (!seconds || *seconds < 0) {
    error("timeout must be a positive number of seconds");
    return;
  }
  if (max_timeout && *max_timeout > 0 && *seconds > static_cast<long double>(*max_timeout)) {
    error("timeout " + support::value_text(*value) + " exceeds MaxTimeout " +
          std::to_string(*max_timeout));
  }
}

void DefinitionChecker::environment(const Json& alias_cfg) {
  const Json* env = given(alias_cfg, "environment");
  if (env == nullptr) {
    return;
  }
  if (!env->is_object()) {
    error("environment must be a mapping");
    return;
  }
  for (const auto& [name, value] : env->items()) {
    const std::string label = "environment " + quoted(name);
    if (name.empty() || name.find('=') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      error("environment variable name " + quoted(name) + " is not valid");
    }
    if (value.is_string()) {
      check_template(label, value.get<std::string>());
    } else if (!value.is_null() && !value.is_boolean() && !is_plain_number(value)) {
      // null is kept: it becomes the text "None", as stored alias files expect.
      error(label + " must be a text, number or boolean");
    }
  }
}

void DefinitionChecker::files(const Json& alias_cfg) {
  const Json* files = given(alias_cfg, "files");
  if (files == nullptr) {
    return;
  }
  if (!files->is_array()) {
    error("files must be a list of mappings");
    return;
  }
  for (std::size_t i = 0; i < files->size(); ++i) {
    const Json& entry = (*files)[i];
    const std::string where = "files[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, FILE_KEYS, where + ": ");
    const Json* location = given(entry, "location");
    if (location == nullptr || !location->is_string() || location->get<std::string>().empty()) {
      error(where + ".location must be a non-empty text");
    } else {
      check_template(where + ".location", location->get<std::string>());
    }
    if (const Json* content = given(entry, "content"); content != nullptr && content->is_string()) {
      check_template(where + ".content", content->get<std::string>(), true);
    } else {
      optional_template(entry, "content", where + ".content");
    }
  }
}

void DefinitionChecker::volumes(const Json& alias_cfg) {
  const Json* volumes = given(alias_cfg, "volumes");
  if (volumes == nullptr) {
    return;
  }
  if (!volumes->is_array()) {
    error("volumes must be a list of mappings");
    return;
  }
  for (std::size_t i = 0; i < volumes->size(); ++i) {
    const Json& entry = (*volumes)[i];
    const std::string where = "volumes[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, VOLUME_KEYS, where + ": ");
    const Json* location = given(entry, "location");
    if (location == nullptr || !location->is_string() ||
        !location->get<std::string>().starts_with('/')) {
      error(where + ".location must be an absolute path inside the container");
    }
    if (const Json* source = given(entry, "source"); source != nullptr) {
      if (!source->is_string()) {
        error(where + ".source must be a text");
      } else if (source->get<std::string>().empty()) {
        error(where + ".source must not be empty; leave it out for an automatic volume");
      } else if (!source->get<std::string>().starts_with('/')) {
        // Absolute sources are bound as written, never rendered.
        check_template(where + ".source", source->get<std::string>());
      }
    }
    optional_template(entry, "content", where + ".content");
    if (const Json* mode = given(entry, "mode"); mode != nullptr) {
      const auto* text = mode->get_ptr<const std::string*>();
      if (text == nullptr || (*text != "rw" && *text != "ro" && !text->empty())) {
        error(where + ".mode must be 'rw' or 'ro'");
      }
    }
    if (const Json* keep = given(entry, "preserve"); keep != nullptr && !valid_preserve(*keep)) {
      std::string words;
      for (const auto word : preserve::PRESERVE_VALUES) {
        words += (words.empty() ? "" : ", ") + quoted(word);
      }
      error(where + ".preserve must be true, false or one of " + words);
    }
    optional_text(entry, "preservePrefix", where + ".preservePrefix");
  }
}

void DefinitionChecker::output(const Json& alias_cfg) {
  const Json* output = given(alias_cfg, "output");
  if (output == nullptr) {
    return;
  }
  if (!output->is_object()) {
    error("output must be a mapping with single_value or multiple_values");
    return;
  }
  unknown_keys(*output, OUTPUT_KEYS, "output: ");
  auto source_token = [this](const Json& entry, const std::string& where) {
    const Json* source = given(entry, "source");
    if (source == nullptr) {
      return;
    }
    if (!source->is_string()) {
      error(where + ".source must be a text");
    } else if (!source->get<std::string>().starts_with('%')) {
      check_template(where + ".source", source->get<std::string>());
    }
  };
  if (const Json* single = member(*output, "single_value"); single != nullptr) {
    if (!single->is_object()) {
      error("output.single_value must be a mapping with source");
    } else {
      unknown_keys(*single, SINGLE_VALUE_KEYS, "output.single_value: ");
      source_token(*single, "output.single_value");
      // The content type becomes a response header.
      if (const Json* type = given(*single, "content-type");
          type != nullptr && (!type->is_string() || type->get<std::string>().empty() ||
                              has_control_characters(type->get<std::string>()))) {
        error(
            "output.single_value.content-type must be a non-empty text without control characters");
      }
    }
  }
  if (const Json* multiple = member(*output, "multiple_values"); multiple != nullptr) {
    if (!multiple->is_array()) {
      error("output.multiple_values must be a list of mappings");
      return;
    }
    for (std::size_t i = 0; i < multiple->size(); ++i) {
      const Json& entry = (*multiple)[i];
      const std::string where = "output.multiple_values[" + std::to_string(i) + "]";
      if (!entry.is_object()) {
        error(where + " must be a mapping");
        continue;
      }
      unknown_keys(entry, MULTIPLE_VALUE_KEYS, where + ": ");
      const Json* name = given(entry, "parameter_name");
      if (name == nullptr || !name->is_string() || name->get<std::string>().empty()) {
        error(where + ".parameter_name must be a non-empty text");
      }
      source_token(entry, where);
    }
  }
}

void DefinitionChecker::preserve_streams(const Json& alias_cfg) {
  const Json* streams = given(alias_cfg, "preserveStreams");
  if (streams == nullptr || streams->is_boolean()) {
    return;
  }
  if (!streams->is_array()) {
    error("preserveStreams must be true, false or a list of {stream, filename, flatten}");
    return;
  }
  for (std::size_t i = 0; i < streams->size(); ++i) {
    const Json& entry = (*streams)[i];
    const std::string where = "preserveStreams[" + std::to_string(i) + "]";
    if (!entry.is_object()) {
      error(where + " must be a mapping");
      continue;
    }
    unknown_keys(entry, STREAM_KEYS, where + ": ");
    const Json* stream = given(entry, "stream");
    if (stream == nullptr || !stream->is_string() ||
        !STREAM_NAMES.contains(stream->get<std::string>())) {
      error(where + ".stream must be 'stdout' or 'stderr'");
    }
    if (const Json* filename = given(entry, "filename"); filename != nullptr) {
      if (!filename->is_string() || filename->get<std::string>().find('/') != std::string::npos ||
          *filename == "." || *filename == "..") {
        error(where + ".filename must be a file name without '/'");
      }
    }
    optional_boolean(entry, "flatten", where + ".flatten");
  }
}

CheckedDefinition check_definition(const Json& alias_cfg, std::optional<std::int64_t> max_timeout) {
  CheckedDefinition out;
  if (!alias_cfg.is_object()) {
    out.errors.emplace_back("alias definition must be a mapping");
    return out;
  }
  DefinitionChecker check(out);
  check.unknown_keys(alias_cfg, ALIAS_KEYS, "");

  std::string type;
  if (const Json* value = given(alias_cfg, "type"); value == nullptr) {
    check.error("type is required: 'process' or 'container'");
  } else if (!value->is_string() || (*value != "process" && *value != "container")) {
    check.error("type must be 'process' or 'container', not " + quoted(*value));
  } else {
    type = value->get<std::string>();
  }
  const bool process = type == "process";
  const bool container = type == "container";

  // The command is scanned once: its references and their quoting contexts
  // serve the checks below and every later rendering.
  const Json* command = given(alias_cfg, "command");
  if (command != nullptr && command->is_string()) {
    try {
      out.command.emplace(command->get<std::string>(),
                          container ? tmpl::Interpreter::container : tmpl::Interpreter::shell);
    } catch (const tmpl::RenderError&) {
      // Reported by the template check; such a command never renders.
    }
  }
  // Parameters first: every template below is checked against them.
  check.note_raw_words(out.command);
  check.parameters(alias_cfg);

  if (command != nullptr && !command->is_string()) {
    check.error("command must be a text");
  } else if (process && (command == nullptr || command->get<std::string>().empty())) {
    check.error("command must be a non-empty text");
  } else if (command != nullptr) {
    check.check_template("command", command->get<std::string>());
  }
  if (container) {
    const Json* image = given(alias_cfg, "image");
    if (image == nullptr || !image->is_string() || image->get<std::string>().empty()) {
      check.error("image must be a non-empty text");
    }
    const Json* network = given(alias_cfg, "network");
    if (network != nullptr && (!network->is_string() || network->get<std::string>().empty())) {
      check.error("network must be a non-empty text");
    }
  }
  // Keys of the other type would be ignored at run time; an operator should hear of it.
  if (process) {
    for (const char* key : {"image", "volumes", "network"}) {
      if (non_empty(alias_cfg, key)) {
        check.error(std::string(key) + " applies to container aliases only");
      }
    }
  }
  if (container) {
    for (const char* key : {"user", "files"}) {
      if (non_empty(alias_cfg, key)) {
        check.error(std::string(key) + " applies to process aliases only");
      }
    }
  }

  check.timeout(alias_cfg, max_timeout);
  check.environment(alias_cfg);
  check.optional_text(alias_cfg, "user", "user");
  if (!container) {
    check.files(alias_cfg);
  }
  if (!process) {
    check.volumes(alias_cfg);
  }
  check.output(alias_cfg);
  check.preserve_streams(alias_cfg);
  check.exit_codes(alias_cfg);
  check.admission(alias_cfg);
  check.limits(alias_cfg);
  check.live_output(alias_cfg, container);
  check.optional_text(alias_cfg, "description", "description");
  check.optional_text(alias_cfg, "name", "name");
  check.command_lint(out.command);
  return out;
}

}  // namespace velquin::config::detail
