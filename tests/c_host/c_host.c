/* A host written in C11: includes the public header, defines tavnode, and
 * checks the layout it sees and a registration through the C ABI. */
#include <stddef.h>
#include <stdio.h>

#include "platform/zuno.h"
#include "c_host/check.h"
#include "tav.h"

struct tavnode tavnode;


int main(void)
{
    CHECK(sizeof(tavgroup) == 72 && sizeof(tavtype) == 72 && sizeof(tavpool) == 128);
    CHECK(sizeof(tavsizenode) == 16 && sizeof(tavtrace) == 24 && sizeof(tavblkhdr) == 32);
    CHECK(sizeof(struct tavnode) == 136 && offsetof(struct tavnode, tracewraps) == 128);
    CHECK(offsetof(tavgroup, failcount) == 56 && offsetof(tavtype, failcount) == 64);
    CHECK(offsetof(tavpool, ffail) == 48 && offsetof(tavpool, typestats) == 56);

    tavhandle g = 0, t = 0, p = 0;
    CHECK(tavgroupregister("chost", 0, &g) == TAV_OK && g == 0x01000000u);
    CHECK(tavpoolregister(64, 0, 0, &p) == TAV_OK && p == 0x03000000u);
    CHECK(tavtyperegister(g, "cbuf", 16, 0, &t) == TAV_OK && t == 0x02000000u);
    CHECK(zunoNamespaceHas("chostTavMemType", "cbuf"));
    void *b = tavpoolalloc(t, 0);
    CHECK(b != NULL);
    const tavblkhdr *h = (const tavblkhdr *)b - 1;
    CHECK(h->magic == TAV_BLK_MAGIC && h->size == 64 && h->handle == t && h->flags == 0);
    CHECK(tavnode.pools[0].typestats.alloced[0] == 1);
    CHECK(tavnode.trace != NULL && tavnode.trace[0].op == TAV_TRACE_ALLOC && tavnode.trace[0].size == 64 &&
          tavnode.trace[0].ptr == b);
    CHECK(tavpoolfree(t, b) == TAV_OK);
    CHECK(tavnode.trace[1].op == TAV_TRACE_FREE && tavnode.trace[1].size == 0 && tavnode.trace[1].ptr == b);
    CHECK(tavnode.pools[0].alloced == 0 && tavnode.pools[0].fsucc == 1);
    CHECK(tavshutdown() == 0 && tavnode.ngroups == 0 && tavnode.sizelist == NULL);
    puts("c host: ok");
    return 0;
}
