/* A libtav host for tavtop's tests: registers known groups, types and pools,
 * holds some blocks, writes where its tavnode is to the file named by argv[1],
 * then waits until its standard input closes. */
#include <stdio.h>
#include <unistd.h>

#include "tav.h"

struct tavnode tavnode;

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    tavhandle g, t, p;
    tavgroupregister("net", 65536, &g);
    tavtyperegister(g, "rx-buffer", 2048, 0, &t);
    tavpoolregister(2048, 8, 64, &p);
    for (int i = 0; i < 5; ++i) (void)tavpoolalloc(t, 1500);
    FILE *f = fopen(argv[1], "w");
    if (f == NULL) return 2;
    fprintf(f, "process %d (tavtop_test_hos): tavnode at %p\n", (int)getpid(), (void *)&tavnode);
    fclose(f);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}
