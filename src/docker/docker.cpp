#include "docker/docker.h"
