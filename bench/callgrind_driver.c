/*
 * A fixed workload for instruction counts under callgrind, which are
 * repeatable where wall time is not: N alloc+free pairs of one size through
 * the library (16 pools) or through the floor (calloc+free, each under a
 * write lock). Run it twice with different N; the difference over the
 * difference in N is the cost of one pair.
 *
 *   valgrind --tool=callgrind tav_callgrind_driver lib 64 100000
 */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "platform/zuno.h"
#include "tav.h"

struct tavnode tavnode;
const char *zunoGetProcessName(void) { return "driver"; }
int zunoNamespaceAdd(const char *ns, const char *member, int arg) { return (void)ns, (void)member, arg; }

static pthread_rwlock_t floor_lock = PTHREAD_RWLOCK_INITIALIZER;

int main(int argc, char **argv)
{
    static const int32_t ladder[16] = {16, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};
    if (argc != 4) return 2;
    const int lib = strcmp(argv[1], "lib") == 0;
    const int32_t size = atoi(argv[2]);
    const long n = atol(argv[3]);
    tavhandle g, t, p;
    tavgroupregister("bench", 0, &g);
    for (int i = 0; i < 16; ++i) tavpoolregister(ladder[i], 0, 0, &p);
    tavtyperegister(g, "block", size, 0, &t);
    for (long i = 0; i < n; ++i) {
        if (lib) {
            void *b = tavpoolalloc(t, size);
            if (b == NULL || tavpoolfree(t, b) != 0) return 1;
        } else {
            pthread_rwlock_wrlock(&floor_lock);
            void *b = calloc(1, (size_t)size);
            pthread_rwlock_unlock(&floor_lock);
            pthread_rwlock_wrlock(&floor_lock);
            free(b);
            pthread_rwlock_unlock(&floor_lock);
            if (b == NULL) return 1;
        }
    }
    return tavshutdown();
}
