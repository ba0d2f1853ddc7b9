// A libtav host for tavtop's tests: writes its pid (and for the plain host its
// own JSON view) to argv[1], then runs until its standard input closes.
//   (none)   known groups, types and pools, blocks held
//   garbage  counts and pointers scribbled over
//   escapes  terminal escapes and invalid UTF-8 in names, its process name and a mapped path
//   rewrite  the control block rewritten all the time, valid and corrupt by turns
//   wide     30,000 types by 30,000 pools, laid out by hand
//   bomb     ELF files with symbol-table bombs mapped, the trace ring's callers in them
//   busy     a type registered every millisecond while four threads allocate
//   flat     four threads allocating flat out
//   stall    the type table on a page whose faults never end (userfaultfd)
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <tav/monitor.hpp>
#include <tav/snapshot.hpp>

struct tavnode tavnode;

namespace {

std::atomic<bool> done{false};
struct tavnode registered; // the tables as registered stay reachable when tavnode is scribbled over

void known_host()
{
    static const struct {
        const char *group, *type;
        int32_t gbudget, defsize, tbudget, blocks, size;
    } known[] = {
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
    registered = tavnode;
}

// Points the ring's callers from `first` on at `base`, `step` bytes apart: the names tavtop finds there are
// the test.
void callers_in(const char *base, std::size_t step, uint32_t first = 0)
{
    for (uint32_t i = first; i < tavnode.tracenext; ++i)
        tavnode.trace[i].caller = const_cast<char *>(base) + 0x1000 + (i - first) * step;
}

const char *map_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    void *p = mmap(nullptr, 1 << 16, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    return static_cast<const char *>(p);
}

void escapes(const std::string &dir)
{
    known_host();
    tavhandle g = 0, t = 0;
    tavgroupregister("\x1b]0;title\x07\x1b[2J", 0, &g);
    for (const char *name : {"a\x1b]52;c;cHduZWQ=\x07", "a\\x1b]52;c;cHduZWQ=\\x07", "row\nforged\r\b\b",
                             "\xff\xc0\x80\xed\xa0\x80"})
        tavtyperegister(g, name, 64, 0, &t);
    (void)tavpoolalloc(t, 0);
    prctl(PR_SET_NAME, "\x1b]0;x\x07\x1b[2J\n");
    const std::string path = dir + "/\x1b]2;mapped\x07\n\x9b"
                                   "31m";
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs("not an ELF file", f);
    std::fclose(f);
    callers_in(map_file(path), 1);
}

// An ELF file of one load segment from offset 0 whose symbol table claims
// `claimed` bytes at 4096, holding `count` functions all named by one name of
// `name_bytes` bytes; the file is `size` bytes long (sparse).
std::string elf_bomb(const std::string &path, uint64_t claimed, uint32_t count, std::size_t name_bytes,
                     off_t size)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64, eh.e_ident[EI_DATA] = ELFDATA2LSB, eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN, eh.e_machine = EM_X86_64, eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof eh, eh.e_phnum = 1, eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_shoff = 2048, eh.e_shnum = 3, eh.e_shentsize = sizeof(Elf64_Shdr), eh.e_ehsize = sizeof eh;
    Elf64_Phdr ph{PT_LOAD, PF_R | PF_X, 0, 0, 0, 1 << 16, 1 << 16, 4096};
    const uint64_t strings_at = 4096 + uint64_t{count} * sizeof(Elf64_Sym);
    const Elf64_Shdr sh[3] = {{},
                              {0, SHT_SYMTAB, 0, 0, 4096, claimed, 2, 0, 8, sizeof(Elf64_Sym)},
                              {0, SHT_STRTAB, 0, 0, strings_at, name_bytes + 2, 0, 0, 1, 0}};
    pwrite(fd, &eh, sizeof eh, 0);
    pwrite(fd, &ph, sizeof ph, sizeof eh);
    pwrite(fd, sh, sizeof sh, 2048);
    std::vector<Elf64_Sym> syms(count);
    for (uint32_t i = 0; i < count; ++i)
        syms[i] = {1, ELF64_ST_INFO(STB_GLOBAL, STT_FUNC), 0, 1, 0x1000 + i * 16ull, 16};
    pwrite(fd, syms.data(), syms.size() * sizeof(Elf64_Sym), 4096);
    const std::string name = '\0' + std::string(name_bytes, 'A') + '\0';
    pwrite(fd, name.data(), name.size(), static_cast<off_t>(strings_at));
    if (ftruncate(fd, std::max<off_t>(size, static_cast<off_t>(strings_at + name.size()))) != 0)
        std::perror("ftruncate");
    close(fd);
    return path;
}

void bomb(const std::string &dir)
{
    known_host();
    const uint64_t six_gib = 6ull << 30;
    // A symbol table of 6 GiB in a sparse file of that size, and one that claims it in 8 KiB.
    // 20,000 functions sharing one name of 1 MiB. The ring's callers in all three.
    callers_in(map_file(elf_bomb(dir + "/names.so", 20000 * sizeof(Elf64_Sym), 20000, 1 << 20, 0)), 16);
    callers_in(map_file(elf_bomb(dir + "/sparse.so", six_gib, 0, 8, static_cast<off_t>(six_gib + (1 << 16)))),
               16, 20);
    callers_in(map_file(elf_bomb(dir + "/short.so", six_gib, 0, 8, 8192)), 16, 40);
}

// The control block as registered, then rewritten by turns: valid, and each
// way a reading could be misled by one that changes under it.
void rewrite()
{
    known_host();
    static const struct tavnode good = tavnode;
    static const tavpool first_pool = good.pools[0];
    static tavtype bigger[64];
    static uint32_t long_counters[2 + 1000] = {1000};
    std::memcpy(bigger, good.types, sizeof(tavtype) * static_cast<std::size_t>(good.ntypes));
    std::thread([] {
        std::minstd_rand random(1);
        for (uint32_t k = 0; !done; ++k) {
            tavnode = good;
            good.pools[0] = first_pool;
            switch (k % 8) {
            case 0:
                tavnode.tracesize = 0;
                break;
            case 1:
                tavnode.trace = nullptr;
                break;
            case 2:
                tavnode.tracenext = static_cast<uint32_t>(random());
                break;
            case 3:
                tavnode.types = bigger, tavnode.ntypes = 64;
                break;
            case 4:
                tavnode.groups = reinterpret_cast<tavgroup *>(good.types);
                break;
            case 5:
                tavnode.ntypes = static_cast<int32_t>(random() % 100000);
                break;
            case 6:
                good.pools[0].typestats.alloced = long_counters + 2;
                break; // longer than the types
            default:
                break;
            }
            if (k % 64 == 0) std::this_thread::yield();
        }
    }).detach();
}

// 30,000 types in 100 groups and 30,000 pools, each pool's counters four
// arrays of 64 (at most 8 counters per record over all): the first pool's
// count for four types, the others' are shared and zero.
void wide()
{
    constexpr int n = 30000, per_group = 300, len = 64;
    static std::vector<tavgroup> groups(n / per_group);
    static std::vector<tavtype> types(n);
    static std::vector<tavpool> pools(n);
    static std::vector<uint32_t> counters(8 * (len + 2));
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = {1, static_cast<uint32_t>(i), {}, per_group, 0, 0, 0, 0};
        std::snprintf(groups[i].name, sizeof groups[i].name, "group-%zu", i);
    }
    for (uint32_t i = 0; i < n; ++i) {
        types[i] = {1, i, {}, i / per_group, 64, 0, -1, static_cast<int32_t>(i), i % 7};
        std::snprintf(types[i].name, sizeof types[i].name, "type-%u", i);
    }
    uint32_t *arrays[8];
    for (int k = 0; k < 8; ++k) {
        counters[static_cast<std::size_t>(k * (len + 2))] = len;
        arrays[k] = &counters[static_cast<std::size_t>(k * (len + 2) + 2)];
    }
    for (int k = 0; k < 4; ++k) arrays[k][k] = 1;
    for (uint32_t i = 0; i < n; ++i) {
        tavpool &p = pools[i];
        uint32_t **a = arrays + (i == 0 ? 0 : 4);
        p.inuse = 1, p.index = i, p.size = static_cast<int32_t>(16 * (i + 1)), p.incblks = 8, p.maxblks = 64;
        p.alloced = i % 5, p.apeak = i % 9, p.asucc = i, p.fsucc = i;
        p.typestats = {a[0], a[1], a[2], a[3], nullptr, nullptr};
    }
    tavnode.ngroups = static_cast<int32_t>(groups.size()), tavnode.groups = groups.data();
    tavnode.ntypes = n, tavnode.types = types.data();
    tavnode.npools = n, tavnode.pools = pools.data();
}

void allocating_threads()
{
    for (int i = 0; i < 4; ++i)
        std::thread([] {
            tavhandle t = 0;
            tavtypenametohandle("glyph", &t);
            while (!done)
                if (void *p = tavpoolalloc(t, 0)) tavpoolfree(t, p);
        }).detach();
}

void busy()
{
    known_host();
    allocating_threads();
    std::thread([] {
        tavhandle g = 0, t = 0;
        tavgroupnametohandle("ui", &g);
        for (int i = 0; !done && i < 1000000; ++i, usleep(1000))
            tavtyperegister(g, ("busy-" + std::to_string(i)).c_str(), 64, 0, &t);
    }).detach();
}

// The type table on a page registered for its missing-page faults, which nobody serves.
bool stall()
{
    known_host();
    const int fd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    uffdio_api api{UFFD_API, 0, 0};
    void *page = mmap(nullptr, 1 << 16, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uffdio_register reg{{reinterpret_cast<uint64_t>(page), 1 << 16}, UFFDIO_REGISTER_MODE_MISSING, 0};
    if (fd < 0 || ioctl(fd, UFFDIO_API, &api) != 0 || ioctl(fd, UFFDIO_REGISTER, &reg) != 0) return false;
    tavnode.types = static_cast<tavtype *>(page);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    // A test that dies (a timeout) takes its hosts with it, busy ones included.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string mode = argc > 2 ? argv[2] : "", file = argv[1];
    const std::string dir = file.substr(0, file.rfind('/'));
    std::string self;
    if (mode.empty() || mode == "garbage") {
        known_host();
        tav::json_options jo;
        jo.timestamp_ms = 0;
        self = tav::render_json(tav::report_of(tav::take_snapshot()), jo);
    }
    if (mode == "garbage") tavnode.ntypes = 0x7fffffff, tavnode.types = reinterpret_cast<tavtype *>(16);
    if (mode == "escapes") escapes(dir);
    if (mode == "bomb") bomb(dir);
    if (mode == "rewrite") rewrite();
    if (mode == "wide") wide();
    if (mode == "busy") busy();
    if (mode == "flat") known_host(), allocating_threads();
    if (mode == "stall" && !stall()) return 3;
    FILE *f = std::fopen(file.c_str(), "w");
    if (f == nullptr) return 2;
    std::fprintf(f, "%d\n%s", static_cast<int>(getpid()), self.c_str());
    std::fclose(f);
    char c;
    while (read(0, &c, 1) > 0) {}
    done = true;
    return 0;
}
