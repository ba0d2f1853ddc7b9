/* Placeholder demo: registers groups and shows what look-ups return. */
#include <stdio.h>

#include "platform/zuno.h"
#include "tav.h"

struct tavnode tavnode;

int main(void)
{
    tavhandle net, disk, h;
    printf("register net: %d\n", tavgroupregister("net", 4096, &net));
    printf("register disk: %d\n", tavgroupregister("disk", 0, &disk));
    printf("register net again: %d\n", tavgroupregister("net", 0, &h));
    printf("net handle 0x%llx\n", (unsigned long long)net);
    tavgroupdumpinfo(NULL);
    return tavshutdown();
}
