// A libtav host for tavtop's tests: registers known groups, types and pools,
// holds blocks, writes its pid and its own JSON view to argv[1], then waits
// until its standard input closes. With "garbage" it first scribbles over its
// control block's counts and pointers.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <tav/monitor.hpp>
#include <tav/snapshot.hpp>

struct tavnode tavnode;

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    static const struct { const char *group, *type; int32_t gbudget, defsize, tbudget, blocks, size; } known[] = {
        {"net", "rx-buffer", 65536, 2048, 0, 40, 1500},
        {"storage", "journal-record", 0, 48, 2048, 50, 40},
        {"ui", "glyph", 0, 64, 0, 9, 0},
    };
    for (const int32_t size : {64, 128, 2048}) {
        tavhandle p;
        tavpoolregister(size, 8, 64, &p);
    }
    for (const auto &k : known) {
        tavhandle g = 0, t = 0;
        if (tavgroupnametohandle(k.group, &g) != TAV_OK) tavgroupregister(k.group, k.gbudget, &g);
        tavtyperegister(g, k.type, k.defsize, k.tbudget, &t);
        for (int i = 0; i < k.blocks; ++i) (void)tavpoolalloc(t, k.size); // some are refused by a budget
    }
    tav::json_options jo;
    jo.timestamp_ms = 0;
    const std::string self = tav::render_json(tav::report_of(tav::take_snapshot()), jo);
    if (argc > 2 && std::strcmp(argv[2], "garbage") == 0) {
        tavnode.ntypes = 0x7fffffff;
        tavnode.types = reinterpret_cast<tavtype *>(16);
    }
    FILE *f = std::fopen(argv[1], "w");
    if (f == nullptr) return 2;
    std::fprintf(f, "%d\n%s", static_cast<int>(getpid()), self.c_str());
    std::fclose(f);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}
