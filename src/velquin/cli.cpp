#include "velquin/cli.h"
