#include "scratch/scratch.h"
