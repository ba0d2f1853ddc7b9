/*
 * A fixed workload for instruction counts under callgrind, which are
 * repeatable where wall time is not: N alloc+free pairs of one size through
 * the library (16 pools) or through the floor (calloc+free, each under a
 * write lock). Run it twice with different N; the difference over the
 * difference in N is the cost of one pair. With LIVE, it first allocates
 * LIVE blocks and each step releases one of them, picked at random, before
 * allocating again in its place (the churn case of tav_bench); the floor's
 * blocks then have the library's header bytes too.
 *
 *   valgrind --tool=callgrind tav_callgrind_driver lib 64 100000 [LIVE]
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

static void *floor_alloc(size_t bytes)
{
    pthread_rwlock_wrlock(&floor_lock);
    void *b = calloc(1, bytes);
    pthread_rwlock_unlock(&floor_lock);
    return b;
}

static void floor_release(void *b)
{
    pthread_rwlock_wrlock(&floor_lock);
    free(b);
    pthread_rwlock_unlock(&floor_lock);
}

/* LIVE blocks, then N steps of a release picked at random and an allocation in its place. */
static int churn(int lib, tavhandle t, int32_t size, long n, long live)
{
    void **blocks = calloc((size_t)live, sizeof *blocks);
    if (blocks == NULL) return 1;
    unsigned long long x = 0x9E3779B97F4A7C15ull;
    for (long i = -live; i < n; ++i) {
        void **b = blocks + (i < 0 ? live + i : 0);
        if (i >= 0) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b += (size_t)(((unsigned __int128)x * (unsigned long)live) >> 64);
            if (lib ? tavpoolfree(t, *b) != 0 : (floor_release(*b), 0)) return 1;
        }
        *b = lib ? tavpoolalloc(t, size) : floor_alloc((size_t)size + TAV_HDR_SIZE);
        if (*b == NULL) return 1;
    }
    for (long i = 0; i < live; ++i)
        if (lib ? tavpoolfree(t, blocks[i]) != 0 : (floor_release(blocks[i]), 0)) return 1;
    free(blocks);
    return 0;
}

int main(int argc, char **argv)
{
    static const int32_t ladder[16] = {16, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};
    if (argc != 4 && argc != 5) return 2;
    const int lib = strcmp(argv[1], "lib") == 0;
    const int32_t size = atoi(argv[2]);
    const long n = atol(argv[3]);
    tavhandle g, t, p;
    tavgroupregister("bench", 0, &g);
    for (int i = 0; i < 16; ++i) tavpoolregister(ladder[i], 0, 0, &p);
    tavtyperegister(g, "block", size, 0, &t);
    if (argc == 5) return churn(lib, t, size, n, atol(argv[4])) | tavshutdown();
    for (long i = 0; i < n; ++i) {
        if (lib) {
            void *b = tavpoolalloc(t, size);
            if (b == NULL || tavpoolfree(t, b) != 0) return 1;
        } else {
            void *b = floor_alloc((size_t)size);
            floor_release(b);
            if (b == NULL) return 1;
        }
    }
    return tavshutdown();
}
