#include "preserve/preserve.h"
