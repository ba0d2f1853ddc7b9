/*
 * The host platform's functions that libtav calls. libtav leaves them
 * undefined; the host process supplies them, either from its platform library
 * or from libtavplatform (platform/linux), which implements them on plain Linux.
 */
#ifndef TAV_PLATFORM_ZUNO_H
#define TAV_PLATFORM_ZUNO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The calling process's name, printed in front of libtav's messages. */
const char *zunoGetProcessName(void);

/* Adds member to the namespace registry under ns; libtav passes 0 as arg and
 * ignores the result. */
int zunoNamespaceAdd(const char *ns, const char *member, int arg);

/* Queries of the in-memory registry of libtavplatform (not used by libtav). */
int zunoNamespaceHas(const char *ns, const char *member);
int zunoNamespaceCount(const char *ns);
void zunoNamespaceClear(void);

/* BSD strlcpy, which glibc has only from 2.38 on: copies at most size - 1
 * bytes, always terminates, returns strlen(src). */
#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
size_t strlcpy(char *dst, const char *src, size_t size);
#else
#include <string.h>
#endif

#ifdef __cplusplus
}
#endif

#endif /* TAV_PLATFORM_ZUNO_H */
