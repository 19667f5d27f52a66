#include "image_pull/image_pull.h"
