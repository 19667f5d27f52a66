#include "executor/executor.h"

namespace velquin::executor {

json Executor::_execute_container(const json& /*alias_cfg*/, const json& /*params*/) {
  json record = json::object();
  record["success"] = false;
  record["error"] = "Docker not available: container runner not built yet";
  return record;
}

}  // namespace velquin::executor
