#pragma once

#include <sys/resource.h>

/// How many descriptors the process may hold, and what follows from it.
namespace net {

/// The soft limit, raised to the hard limit (a desktop starts programs with 1,024, far below
/// what a busy proxy holds). Returns the soft limit in force afterwards.
rlim_t raiseOpenFileLimit();
/// The soft limit in force.
rlim_t openFileLimit();

/// How many closed connections may linger at once under a soft limit of `openFiles`: each may
/// hold a socket and a pipe (three descriptors), and they may take at most an eighth of the
/// whole, between 16 and 256.
int lingerBound(rlim_t openFiles);

} // namespace net
