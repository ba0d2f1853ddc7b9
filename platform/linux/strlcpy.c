/*
 * BSD strlcpy for C libraries without it (glibc before 2.38): the tree's one
 * copy, built into libtavplatform and into the hosts that supply the platform
 * themselves (the test host, the benchmarks, the fuzzer).
 */
#include "platform/zuno.h"

#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
#include <string.h>

__attribute__((visibility("default"))) size_t strlcpy(char *dst, const char *src, size_t size)
{
    const size_t len = strlen(src);
    if (size > 0) {
        const size_t n = len < size - 1 ? len : size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
#endif
