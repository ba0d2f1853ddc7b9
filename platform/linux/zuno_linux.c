/*
 * libtavplatform: the host-platform functions libtav needs, for hosts on
 * plain Linux (and strlcpy.c). The namespace registry is a small in-memory
 * list of (namespace, member) pairs that the host can query.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "platform/zuno.h"

#define PLATFORM_API __attribute__((visibility("default")))

PLATFORM_API const char *zunoGetProcessName(void) { return program_invocation_short_name; }

struct member {
    struct member *next;
    char *ns;
    char *name;
};

static pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
static struct member *registry;

static struct member *find(const char *ns, const char *name)
{
    for (struct member *m = registry; m != NULL; m = m->next)
        if (strcmp(m->ns, ns) == 0 && strcmp(m->name, name) == 0) return m;
    return NULL;
}

/* Returns 0 when added, 1 when already present, -1 when out of memory. */
PLATFORM_API int zunoNamespaceAdd(const char *ns, const char *member, int arg)
{
    (void)arg;
    int rc = 1;
    pthread_mutex_lock(&registry_lock);
    if (find(ns, member) == NULL) {
        struct member *m = malloc(sizeof *m);
        char *n = strdup(ns);
        char *name = strdup(member);
        if (m == NULL || n == NULL || name == NULL) {
            free(m);
            free(n);
            free(name);
            rc = -1;
        } else {
            *m = (struct member){registry, n, name};
            registry = m;
            rc = 0;
        }
    }
    pthread_mutex_unlock(&registry_lock);
    return rc;
}

PLATFORM_API int zunoNamespaceHas(const char *ns, const char *member)
{
    pthread_mutex_lock(&registry_lock);
    int found = find(ns, member) != NULL;
    pthread_mutex_unlock(&registry_lock);
    return found;
}

PLATFORM_API int zunoNamespaceCount(const char *ns)
{
    int n = 0;
    pthread_mutex_lock(&registry_lock);
    for (struct member *m = registry; m != NULL; m = m->next)
        if (strcmp(m->ns, ns) == 0) ++n;
    pthread_mutex_unlock(&registry_lock);
    return n;
}

PLATFORM_API void zunoNamespaceClear(void)
{
    pthread_mutex_lock(&registry_lock);
    while (registry != NULL) {
        struct member *m = registry;
        registry = m->next;
        free(m->ns);
        free(m->name);
        free(m);
    }
    pthread_mutex_unlock(&registry_lock);
}
