#include "auth/auth.h"
