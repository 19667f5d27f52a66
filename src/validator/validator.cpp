#include "validator/validator.h"
