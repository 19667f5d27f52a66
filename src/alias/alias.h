#pragma once

// The typed form of an alias definition. The loader turns each YAML mapping
// into an Alias once; nothing past it reads a definition by key. Later
// features (limits, admission, streaming, webhook parameters) add members here.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "template/template.h"

namespace re2 {
class RE2;
}

namespace velquin::alias {

enum class Type { process, container };
enum class ParameterType { string, integer, number, boolean };

// A number as the definition wrote it; `text` is how messages print it ("5", "2.5", "2.0").
struct Number {
  long double value = 0;
  std::string text;
};

// The allowed values, converted to the parameter's type (only the list of
// that type is filled); `text` shows them as messages do: "['a', 'b']".
struct Choices {
  std::vector<std::string> texts;
  std::vector<std::int64_t> integers;
  std::vector<long double> numbers;
  std::vector<bool> booleans;
  std::string text;
};

struct Parameter {
  std::string name;
  ParameterType type = ParameterType::string;
  bool required = false;
  // A request value (JSON data, like the client's); set when given and not null.
  std::optional<nlohmann::ordered_json> default_value;
  // String parameters: must match the whole value. Compiled at load.
  std::shared_ptr<const re2::RE2> pattern;
  std::optional<Choices> choices;
  std::optional<Number> min;
  std::optional<Number> max;
  std::optional<std::int64_t> min_length;  // characters
  std::optional<std::int64_t> max_length;
  // The command inserts the value raw where the shell reads a word: only a
  // plain word may stand there.
  bool raw_word = false;
  // Taken from a webhook's event instead of a top-level member of the body:
  // a JSON pointer into the body, or a request header. At most one is set.
  std::optional<std::string> from;
  std::optional<std::string> header;
};

struct EnvVar {
  std::string name;
  tmpl::Template value;
};

struct InputFile {
  tmpl::Template location;  // below the run directory (an absolute literal is kept)
  tmpl::Template content;
  bool uses_request_body = false;  // content references the raw request body
};

enum class VolumeSource {
  automatic,  // no source: a file of its own in the run directory's "auto"
  host,       // an absolute path, bound read-only as written, never rendered
  run_dir,    // a template naming a path below the run directory
};

struct Volume {
  std::string location;  // inside the container, as written
  VolumeSource kind = VolumeSource::automatic;
  std::string source;              // as written; empty for an automatic volume
  tmpl::Template source_template;  // run_dir volumes
  bool is_dir = false;             // a run_dir source ending in "/"
  tmpl::Template content;
  std::string mode = "rw";
  std::optional<std::string> preserve;  // the normalised preserve mode, when enabled
  std::optional<std::string> preserve_prefix;
};

enum class SourceKind { stdout_text, stderr_text, exit_code, file };

struct OutputSource {
  std::string token;  // as written ("" when none); the key of a file output
  SourceKind kind = SourceKind::file;
  tmpl::Template path;  // file outputs: rendered against the run directory
};

struct SingleValue {
  OutputSource source;
  std::string content_type = "text/plain";
};

struct NamedValue {
  std::string parameter_name;
  OutputSource source;
};

struct OutputTemplate {
  std::optional<SingleValue> single_value;
  // Present (even empty) means a JSON answer, unless single_value is present too.
  std::optional<std::vector<NamedValue>> multiple_values;
};

struct HttpStatus {
  int status = 200;
  std::optional<std::string> reason;
};

// Exit status -> HTTP status; `fallback` is the "default" entry.
struct ExitCodeMap {
  std::map<std::int64_t, HttpStatus> codes;
  std::optional<HttpStatus> fallback;
};

// One captured stream to keep in the log directory.
struct StreamEntry {
  std::string stream;    // "stdout" or "stderr"
  std::string filename;  // empty: the stream's name + ".log"
  bool flatten = false;
};

struct ProcessSpec {
  tmpl::Command command;
  std::string user;  // empty: the service's own user
  std::vector<InputFile> files;
};

struct ContainerSpec {
  std::string image;
  tmpl::Command command;  // empty: the image's own command
  std::optional<std::string> network;
  std::vector<Volume> volumes;
};

// What one run of an alias may use. Absent: no limit of that kind.
struct RunLimits {
  std::optional<std::int64_t> memory;  // bytes
  std::optional<std::int64_t> pids;
  std::optional<double> cpus;
  std::optional<std::int64_t> open_files;

  bool any() const { return memory || pids || cpus || open_files; }
};

struct Alias {
  std::string name;
  std::variant<ProcessSpec, ContainerSpec> spec;
  std::vector<Parameter> parameters;  // in definition order
  std::vector<EnvVar> environment;    // empty: the service's environment as it is
  std::optional<Number> timeout;      // absent or 0: the default time limit
  OutputTemplate output;
  ExitCodeMap exit_codes;
  std::vector<StreamEntry> preserve_streams;
  std::string description;
  // Some parameter has `from` or `header`: the body is an event document whose
  // undeclared members are ignored.
  bool takes_event_parameters = false;
  std::optional<std::int64_t> concurrency;  // runs at once; absent: no limit
  std::int64_t queue = 0;                   // requests that may wait for a run slot
  RunLimits limits;                         // as written; settings fill the gaps per run
  // Output goes to the client while the command runs (process aliases only).
  bool stream = false;

  Type type() const {
    return std::holds_alternative<ProcessSpec>(spec) ? Type::process : Type::container;
  }
  const ProcessSpec* process() const { return std::get_if<ProcessSpec>(&spec); }
  const ContainerSpec* container() const { return std::get_if<ContainerSpec>(&spec); }

  const Parameter* parameter(std::string_view parameter_name) const {
    for (const auto& p : parameters) {
      if (p.name == parameter_name) {
        return &p;
      }
    }
    return nullptr;
  }
};

// Definitions are shared by the table and the requests that use them, never changed.
using AliasPtr = std::shared_ptr<const Alias>;

}  // namespace velquin::alias
