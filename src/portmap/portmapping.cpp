#include "portmapping.h"
