#include "support/quoted.h"
