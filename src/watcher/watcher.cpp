#include "watcher/watcher.h"
