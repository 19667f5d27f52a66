#pragma once

#include "velquin/cli.h"

namespace velquin::app {

// `velquin --check`: every start-up check that needs no listening socket, on
// this command line's settings. Prints each problem to standard error as the
// start-up would, or one "configuration OK: ..." line to standard output;
// returns the exit code (0 or 1). Starts, binds, pulls and writes nothing, so
// it is safe next to a live service.
int check_configuration(const CommandLine& command_line);

}  // namespace velquin::app
