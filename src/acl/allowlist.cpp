#include "allowlist.h"
