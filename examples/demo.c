/*
 * A small program that accounts its memory with libtav: three subsystems
 * register their groups, types and size classes, work for a while under their
 * budgets (some requests are refused), and the program ends by printing what
 * the library reports.
 */
#include <stdio.h>
#include <string.h>

#include <tav/platform/zuno.h>
#include "tav.h"

struct tavnode tavnode; /* zero-filled: the empty registry */

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

struct demotype {
    const char *group;
    const char *name;
    int32_t defsize;
    int32_t budget;
    tavhandle handle;
};

static struct demotype types[] = {
    {"net", "rx-buffer", 2048, 0, 0},      {"net", "tx-buffer", 1024, 16384, 0},
    {"net", "socket", 200, 0, 0},          {"storage", "page-cache", 4096, 0, 0},
    {"storage", "journal-record", 48, 2048, 0}, {"ui", "glyph", 64, 0, 0},
};

static void check(int32_t rc, const char *what)
{
    if (rc != TAV_OK && rc != TAV_POOL_FOUND) printf("  %s: status %d\n", what, rc);
}

static tavhandle type_named(const char *name)
{
    for (size_t i = 0; i < COUNT(types); ++i)
        if (strcmp(types[i].name, name) == 0) return types[i].handle;
    return 0;
}

static void setup(void)
{
    static const struct {
        const char *name;
        int32_t budget;
    } groups[] = {{"net", 64 * 1024}, {"storage", 48 * 1024}, {"ui", 0}};
    static const int32_t pools[] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096};
    tavhandle h;

    for (size_t i = 0; i < COUNT(groups); ++i)
        check(tavgroupregister(groups[i].name, groups[i].budget, &h), groups[i].name);
    for (size_t i = 0; i < COUNT(pools); ++i) check(tavpoolregister(pools[i], 8, 64, &h), "pool");
    for (size_t i = 0; i < COUNT(types); ++i) {
        tavhandle g;
        check(tavgroupnametohandle(types[i].group, &g), types[i].group);
        check(tavtyperegister(g, types[i].name, types[i].defsize, types[i].budget, &types[i].handle),
              types[i].name);
    }
    printf("registered %d groups, %d types, %d pools; %d names announced under netTavMemType\n",
           tavnode.ngroups, tavnode.ntypes, tavnode.npools, zunoNamespaceCount("netTavMemType"));
}

/* The network stack fills its receive ring until the group budget says no. */
static void receive_burst(void *ring[], int n)
{
    tavhandle rx = type_named("rx-buffer");
    int refused = 0;
    for (int i = 0; i < n; ++i)
        if ((ring[i] = tavpoolalloc(rx, 1500)) == NULL) ++refused;
    uint32_t fails = 0;
    int32_t bytes = 0;
    tavtypegetstatistics(rx, &bytes, &fails);
    printf("net: %d of %d receive buffers granted (%d refused), rx-buffer holds %d bytes\n", n - refused,
           n, refused, bytes);
}

/* The journal's own budget refuses records past 2 KiB; a snapshot is an oversize block. */
static void journal(void *recs[], int n, void **snapshot)
{
    tavhandle rec = type_named("journal-record");
    int granted = 0;
    for (int i = 0; i < n; ++i)
        if ((recs[i] = tavpoolalloc(rec, 40)) != NULL) ++granted;
    *snapshot = tavpoolalloc(type_named("page-cache"), 10000);
    printf("storage: %d of %d journal records granted, snapshot %s\n", granted, n,
           *snapshot ? "allocated as an oversize block" : "refused");
}

static void release_all(tavhandle t, void *blocks[], int n)
{
    for (int i = 0; i < n; ++i)
        if (blocks[i] != NULL) check(tavpoolfree(t, blocks[i]), "release");
}

int main(void)
{
    void *ring[40], *recs[50], *glyphs[10], *snapshot;

    setup();
    receive_burst(ring, (int)COUNT(ring));
    journal(recs, (int)COUNT(recs), &snapshot);
    for (size_t i = 0; i < COUNT(glyphs); ++i) glyphs[i] = tavpoolalloc(type_named("glyph"), 0);

    /* Mistakes the library catches. */
    printf("release with the wrong type: %d\n", tavpoolfree(type_named("socket"), glyphs[0]));
    check(tavpoolfree(type_named("glyph"), glyphs[0]), "glyph");
    printf("release it twice: %d\n", tavpoolfree(type_named("glyph"), glyphs[0]));
    glyphs[0] = NULL;
    printf("release of a null pointer:\n");
    printf("  -> %d\n", tavpoolfree(type_named("glyph"), NULL));

    release_all(type_named("rx-buffer"), ring, 20); /* half the ring drains */
    release_all(type_named("journal-record"), recs, (int)COUNT(recs));
    check(tavpoolfree(type_named("page-cache"), snapshot), "snapshot");
    printf("last trace entry: op %u size %u\n\n",
           tavnode.trace[(tavnode.tracenext + tavnode.tracesize - 1) % tavnode.tracesize].op,
           tavnode.trace[(tavnode.tracenext + tavnode.tracesize - 1) % tavnode.tracesize].size);

    tavgroupdumpinfo(NULL);
    tavtypedumpinfo(NULL);
    tavpooldumpinfo(0);
    tavpooldumplistinfo(0);
    tavpooldumpblockstats(0);
    tavpooldumpchunkstats(0);
    tavpooldumpblockstatsdetailed(2048, NULL);
    tavpooldumpblockstatsfortype("glyph", 0);
    tavpooldumpchunkinfo();

    release_all(type_named("rx-buffer"), ring + 20, 20);
    release_all(type_named("glyph"), glyphs, (int)COUNT(glyphs));
    return tavshutdown();
}
