/* A C host built with the flags of pkg-config; it calls no platform function. */
#include <stdio.h>

#include "tav.h"

struct tavnode tavnode;

int main(void)
{
    tavhandle g = 0, t = 0, p = 0;
    int ok = tavgroupregister("pc", 0, &g) == TAV_OK && tavpoolregister(32, 0, 0, &p) == TAV_OK &&
             tavtyperegister(g, "rec", 20, 0, &t) == TAV_OK;
    void *b = ok ? tavpoolalloc(t, 0) : NULL;
    ok = ok && b != NULL && tavnode.pools[0].alloced == 1 && tavpoolfree(t, b) == TAV_OK;
    printf("pkg-config consumer: %s\n", ok ? "ok" : "wrong");
    return ok ? 0 : 1;
}
