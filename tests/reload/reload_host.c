/* A host that loads libtav at run time, unloads it and loads it again. The
 * size-class table and the block structures live in the library's own data while
 * tavnode is the host's: both must survive the reload. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

#include "c_host/check.h"
#include "tav.h"

struct tavnode tavnode;


static int32_t (*groupregister)(const char *, int32_t, tavhandle *);
static int32_t (*typeregister)(tavhandle, const char *, int32_t, int32_t, tavhandle *);
static int32_t (*poolregister)(int32_t, int32_t, int32_t, tavhandle *);
static void *(*poolalloc)(tavhandle, int32_t);
static int32_t (*poolfree)(tavhandle, void *);

static void *load(const char *path)
{
    void *lib = dlopen(path, RTLD_NOW);
    if (lib == NULL) fprintf(stderr, "%s\n", dlerror());
    if (lib == NULL) return NULL;
    *(void **)&groupregister = dlsym(lib, "tavgroupregister");
    *(void **)&typeregister = dlsym(lib, "tavtyperegister");
    *(void **)&poolregister = dlsym(lib, "tavpoolregister");
    *(void **)&poolalloc = dlsym(lib, "tavpoolalloc");
    *(void **)&poolfree = dlsym(lib, "tavpoolfree");
    return lib;
}

static int32_t block_size(const void *p) { return ((const tavblkhdr *)p)[-1].size; }

int main(int argc, char **argv)
{
    CHECK(argc == 2);
    void *lib = load(argv[1]);
    CHECK(lib != NULL && poolfree != NULL);
    tavhandle g = 0, t = 0, p = 0;
    CHECK(groupregister("net", 0, &g) == 0 && poolregister(64, 0, 0, &p) == 0);
    CHECK(typeregister(g, "rx", 20, 0, &t) == 0);
    void *early = poolalloc(t, 20), *gone = poolalloc(t, 20);
    CHECK(early != NULL && gone != NULL && block_size(early) == 64);
    CHECK(poolfree(t, gone) == 0);

    CHECK(dlclose(lib) == 0);
    lib = load(argv[1]);
    CHECK(lib != NULL);
    void *late = poolalloc(t, 20);
    CHECK(late != NULL && block_size(late) == 64); /* served by its pool, not as oversize */
    CHECK(poolfree(t, early) == 0);
    CHECK(poolfree(t, early) == -1); /* the window remembers it */
    CHECK(poolfree(t, late) == 0);
    CHECK(tavnode.pools[0].alloced == 0 && tavnode.pools[0].asucc == 3 && tavnode.groups[0].balloc == 0);
    puts("reload: ok");
    return 0;
}
