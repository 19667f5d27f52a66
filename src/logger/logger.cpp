#include "logger/logger.h"
