#include "core/dcheck.hpp"

#ifdef TAV_DEBUG_CHECKS
#include <cstdio>
#include <cstdlib>

namespace tav {

void dcheck_failed(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "libtav: %s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

} // namespace tav
#endif
