#include "api/api.h"
