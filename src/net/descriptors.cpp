#include "descriptors.h"

#include <algorithm>

namespace net {

rlim_t raiseOpenFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised { limit.rlim_max, limit.rlim_max };
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

rlim_t openFileLimit()
{
    rlimit limit {};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

int lingerBound(rlim_t openFiles)
{
    if (openFiles == RLIM_INFINITY)
        return 256;
    return static_cast<int>(std::clamp<rlim_t>(openFiles / 8 / 3, 16, 256));
}

} // namespace net
