#include "template/template.h"
