#include "executor/executor.h"
