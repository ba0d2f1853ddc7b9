// libtav against its floor, side by side on the same sizes.
//
// The floor is what any locked allocator built on calloc pays at least:
// calloc and free, each under the write side of one pthread_rwlock_t, which
// is the lock traffic of a tavpoolalloc + tavpoolfree pair. Case names pair
// up for bench/compare as "<variant>/<case>": "floor/pair/64" against
// "lib16/pair/64", "oversize/pair/64" and "calloc/pair/64" (no lock at all).
// The floor allocates exactly the benchmarked size; the library adds its
// 32-byte header. A pair is one allocation and its release; a batch is 1,000
// allocations, then their releases in random order; the threads:2 cases run
// the same on two threads that share the one lock (each library thread
// allocates as its own type). A churn case holds N live blocks and times one
// step: the release of a block picked at random, then a new allocation in its
// place; the floor's blocks have the library's header bytes too (96 for 64),
// so both heaps have the same shape.
//
// Registries (pools own no memory, so a ladder only shapes the size-class walk):
//  - lib1:     one pool of exactly the benchmarked size;
//  - lib16:    16 32 48 64 96 128 192 256 384 512 768 1024 1536 2048 3072 4096;
//  - lib64:    16 to 512 in steps of 16, 640 to 4096 in steps of 128, then
//              6144 8192 12288 16384;
//  - oversize: a single 8-byte pool, so every benchmarked size is oversize;
//  - register: 32 pools, 16 to 512 in steps of 16, then T types;
//  - print:    10,000 types, then the lib16 ladder.
// Every registry has one group without budget and types of default size 64.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/zuno.h"
#include "tav.h"

struct tavnode tavnode;

// The host platform, as cheap as it can be, so that only libtav is measured.
const char *zunoGetProcessName(void) { return "tav_bench"; }
int zunoNamespaceAdd(const char *, const char *, int) { return 0; }

namespace {

constexpr int64_t kSizes[] = {16, 64, 256, 1024, 4096};
constexpr int kBatch = 1000;
constexpr int kThreads = 2;
constexpr int kPrintTypes = 10000;

[[noreturn, gnu::cold]] void die(const char *what, long rc)
{
    std::fprintf(stderr, "tav_bench: %s (%ld)\n", what, rc);
    std::abort();
}

std::vector<int32_t> ladder16()
{
    return {16, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};
}

std::vector<int32_t> ladder32()
{
    std::vector<int32_t> sizes;
    for (int32_t s = 16; s <= 512; s += 16) sizes.push_back(s);
    return sizes;
}

std::vector<int32_t> ladder64()
{
    std::vector<int32_t> sizes = ladder32();
    for (int32_t s = 640; s <= 4096; s += 128) sizes.push_back(s);
    for (int32_t s : {6144, 8192, 12288, 16384}) sizes.push_back(s);
    return sizes;
}

std::vector<std::string> type_names(int n)
{
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(n));
    char buf[16];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "type%05d", i);
        names.emplace_back(buf);
    }
    return names;
}

// --- Registries ---

tavhandle g_types[kThreads]; // benchmark thread i allocates as type i
bool g_print_registry;       // the table benchmarks' registry is in place

void drop_churn();

// Every registry starts from an empty one; the blocks a churn case holds go
// back first, while their type still exists.
void shutdown()
{
    drop_churn();
    tavshutdown();
    g_print_registry = false;
}

tavhandle register_group()
{
    tavhandle g = 0;
    if (int32_t rc = tavgroupregister("bench", 0, &g); rc != TAV_OK) die("group registration", rc);
    return g;
}

void register_pools(const std::vector<int32_t> &sizes)
{
    for (int32_t size : sizes) {
        tavhandle p = 0;
        if (int32_t rc = tavpoolregister(size, 32, 1024, &p); rc != TAV_OK) die("pool registration", rc);
    }
}

tavhandle register_type(tavhandle group, const char *name)
{
    tavhandle t = 0;
    if (int32_t rc = tavtyperegister(group, name, 64, 0, &t); rc != TAV_OK) die("type registration", rc);
    return t;
}

void build(const std::vector<int32_t> &pools)
{
    shutdown();
    const tavhandle g = register_group();
    register_pools(pools);
    const auto names = type_names(kThreads);
    for (int i = 0; i < kThreads; ++i) g_types[i] = register_type(g, names[static_cast<size_t>(i)].c_str());
}

void setup_one(const benchmark::State &s) { build({static_cast<int32_t>(s.range(0))}); }
void setup_16(const benchmark::State &) { build(ladder16()); }
void setup_64(const benchmark::State &) { build(ladder64()); }
void setup_oversize(const benchmark::State &) { build({8}); }

// Built once for all the table benchmarks: the types first, so that each
// registration has no counters to grow, then the pools.
void setup_print(const benchmark::State &)
{
    if (g_print_registry) return;
    shutdown();
    const tavhandle g = register_group();
    for (const std::string &name : type_names(kPrintTypes)) register_type(g, name.c_str());
    register_pools(ladder16());
    g_print_registry = true;
}

// --- Allocators ---

pthread_rwlock_t g_floor_lock = PTHREAD_RWLOCK_INITIALIZER;

struct Calloc {
    static void *alloc(tavhandle, size_t size) { return std::calloc(1, size); }
    static bool release(tavhandle, void *p)
    {
        std::free(p);
        return true;
    }
};

struct Floor {
    static void *alloc(tavhandle, size_t size)
    {
        pthread_rwlock_wrlock(&g_floor_lock);
        void *p = std::calloc(1, size);
        pthread_rwlock_unlock(&g_floor_lock);
        return p;
    }
    static bool release(tavhandle, void *p)
    {
        pthread_rwlock_wrlock(&g_floor_lock);
        std::free(p);
        pthread_rwlock_unlock(&g_floor_lock);
        return true;
    }
};

struct Lib {
    static void *alloc(tavhandle type, size_t size) { return tavpoolalloc(type, static_cast<int32_t>(size)); }
    static bool release(tavhandle type, void *p) { return tavpoolfree(type, p) == TAV_OK; }
};

// --- Cases ---

template <class A> void pair(benchmark::State &state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const tavhandle type = g_types[state.thread_index()];
    for (auto _ : state) {
        void *p = A::alloc(type, size);
        benchmark::DoNotOptimize(p);
        if (p == nullptr) die("allocation failed", state.range(0));
        if (!A::release(type, p)) die("release failed", state.range(0));
    }
}

// 1,000 blocks out, then all back in an order fixed per thread but random.
template <class A> void batch(benchmark::State &state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const tavhandle type = g_types[state.thread_index()];
    std::vector<void *> blocks(kBatch);
    std::vector<int> order(kBatch);
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 rng(20240601u + static_cast<unsigned>(state.thread_index()));
    std::shuffle(order.begin(), order.end(), rng);

    for (auto _ : state) {
        for (void *&b : blocks) {
            b = A::alloc(type, size);
            if (b == nullptr) die("allocation failed", state.range(0));
        }
        benchmark::ClobberMemory();
        for (int i : order)
            if (!A::release(type, blocks[static_cast<size_t>(i)])) die("release failed", state.range(0));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// Releases of an address the library never handed out, which it refuses: the
// record does not know it, so the header in front is first checked for being
// readable (a system call that reports a fault instead of taking it). Arg 0:
// heap memory with zeros in front; arg 1: a page that is no longer mapped.
void release_unknown(benchmark::State &state)
{
    alignas(16) static char heap[64];
    const long page = sysconf(_SC_PAGESIZE);
    char *addr = heap + 32;
    if (state.range(0) == 1) {
        void *m = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) die("mmap", errno);
        munmap(m, static_cast<size_t>(page));
        addr = static_cast<char *>(m) + 64;
    }
    for (auto _ : state)
        if (int32_t rc = tavpoolfree(g_types[0], addr); rc != TAV_FREE_BADHEADER) die("unknown address", rc);
}

// --- Churn: many live blocks ---

constexpr int64_t kChurnLive[] = {1000, 100000, 1000000};
constexpr size_t kChurnBlock = 64;                              // the library's block
constexpr size_t kChurnFloorBytes = kChurnBlock + TAV_HDR_SIZE; // what the floor allocates

// The blocks of the churn case that ran last, kept from one of its runs to
// the next (filling a million takes longer than timing them).
struct ChurnHeld {
    const void *owner = nullptr; // the case's function, with live
    int64_t live = 0;
    std::vector<void *> blocks;
    bool (*release)(tavhandle, void *) = nullptr;
};
ChurnHeld g_churn;

void drop_churn()
{
    for (void *p : g_churn.blocks)
        if (!g_churn.release(g_types[0], p)) die("churn release failed", 0);
    g_churn = ChurnHeld{};
}

template <class A> constexpr size_t churn_bytes()
{
    return std::is_same_v<A, Floor> ? kChurnFloorBytes : kChurnBlock;
}

template <class A> void fill(std::vector<void *> &blocks, int64_t live)
{
    blocks.resize(static_cast<size_t>(live));
    for (void *&p : blocks)
        if ((p = A::alloc(g_types[0], churn_bytes<A>())) == nullptr) die("churn allocation failed", live);
}

// Bytes per live block, of the heap in use and of the resident set, that
// filling the case's blocks added: measured in a child forked before any case
// ran, so that nothing an earlier case left behind is counted or hidden.
struct Footprint {
    double heap = 0, rss = 0;
};
std::map<std::pair<const void *, int64_t>, Footprint> g_footprints;

double heap_in_use()
{
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd);
}

double resident()
{
    long pages = 0, resident_pages = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident_pages) != 2) die("statm", errno);
    std::fclose(f);
    return static_cast<double>(resident_pages) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

template <class A> Footprint measure_footprint(int64_t live)
{
    int fds[2];
    if (pipe(fds) != 0) die("pipe", errno);
    const pid_t child = fork();
    if (child == 0) {
        std::vector<void *> blocks;
        blocks.reserve(static_cast<size_t>(live));
        const double heap = heap_in_use(), rss = resident();
        if (!std::is_same_v<A, Floor>) build(ladder16());
        fill<A>(blocks, live);
        const Footprint f{(heap_in_use() - heap) / static_cast<double>(live),
                          (resident() - rss) / static_cast<double>(live)};
        _exit(write(fds[1], &f, sizeof f) == sizeof f ? 0 : 1);
    }
    Footprint f;
    int status = 0;
    if (child < 0 || read(fds[0], &f, sizeof f) != sizeof f || waitpid(child, &status, 0) != child ||
        status != 0)
        die("footprint child", status);
    close(fds[0]);
    close(fds[1]);
    return f;
}

template <class A> void churn(benchmark::State &state)
{
    const int64_t live = state.range(0);
    const void *self = reinterpret_cast<const void *>(&churn<A>);
    if (g_churn.owner != self || g_churn.live != live) {
        if (std::is_same_v<A, Floor>)
            drop_churn();
        else
            build(ladder16());
        g_churn = ChurnHeld{self, live, {}, A::release};
        fill<A>(g_churn.blocks, live);
    }
    std::vector<void *> &blocks = g_churn.blocks;
    uint64_t x = 0x9E3779B97F4A7C15ull; // xorshift64: the same steps for every variant
    for (auto _ : state) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        void *&b = blocks[static_cast<size_t>((static_cast<unsigned __int128>(x) * blocks.size()) >> 64)];
        if (!A::release(g_types[0], b)) die("churn release failed", live);
        if ((b = A::alloc(g_types[0], churn_bytes<A>())) == nullptr) die("churn allocation failed", live);
    }
    if (auto f = g_footprints.find({self, live}); f != g_footprints.end()) {
        state.counters["heap_bytes_per_block"] = f->second.heap;
        state.counters["rss_bytes_per_block"] = f->second.rss;
    }
}

// Registers 32 pools and then T types into an empty registry. Tables grow by
// one record per registration and every type grows all the pools' counters,
// so the cost is quadratic in T by design.
void registration(benchmark::State &state)
{
    shutdown();
    const auto names = type_names(static_cast<int>(state.range(0)));
    const auto pools = ladder32();
    for (auto _ : state) {
        state.PauseTiming();
        tavshutdown();
        state.ResumeTiming();
        const tavhandle g = register_group();
        register_pools(pools);
        for (const std::string &name : names) register_type(g, name.c_str());
    }
    state.counters["types"] = static_cast<double>(names.size());
}

// Sends standard output to /dev/null for its lifetime.
class StdoutToNull {
public:
    StdoutToNull()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (saved_ < 0 || null < 0) die("cannot redirect standard output", errno);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~StdoutToNull()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    StdoutToNull(const StdoutToNull &) = delete;
    StdoutToNull &operator=(const StdoutToNull &) = delete;

private:
    int saved_;
};

using Table = int32_t (*)();

void print(benchmark::State &state, Table table)
{
    StdoutToNull quiet;
    for (auto _ : state)
        if (int32_t rc = table(); rc != TAV_OK) die("table refused", rc);
}

// --- Registration of the cases ---

using Case = void (*)(benchmark::State &);
using Setup = void (*)(const benchmark::State &);

benchmark::internal::Benchmark *add(const std::string &name, Case fn, Setup setup, int64_t size)
{
    auto *b = benchmark::RegisterBenchmark(name.c_str(), fn)->Arg(size)->UseRealTime();
    if (setup != nullptr) b->Setup(setup);
    return b;
}

void register_cases()
{
    for (int64_t size : kSizes) {
        add("calloc/pair", pair<Calloc>, nullptr, size);
        add("floor/pair", pair<Floor>, nullptr, size);
        add("lib1/pair", pair<Lib>, setup_one, size);
        add("lib16/pair", pair<Lib>, setup_16, size);
        add("lib64/pair", pair<Lib>, setup_64, size);
        add("oversize/pair", pair<Lib>, setup_oversize, size);
    }
    for (int64_t size : kSizes) {
        add("floor/batch", batch<Floor>, nullptr, size);
        add("lib16/batch", batch<Lib>, setup_16, size);
    }
    for (int64_t size : kSizes) {
        add("floor/pair", pair<Floor>, nullptr, size)->Threads(kThreads);
        add("lib16/pair", pair<Lib>, setup_16, size)->Threads(kThreads);
        add("floor/batch", batch<Floor>, nullptr, size)->Threads(kThreads);
        add("lib16/batch", batch<Lib>, setup_16, size)->Threads(kThreads);
    }

    for (int64_t live : kChurnLive) {
        add("floor/churn", churn<Floor>, nullptr, live);
        add("lib16/churn", churn<Lib>, nullptr, live);
    }
    add("lib16/release_unknown", release_unknown, setup_16, 0)->Arg(1);
    benchmark::RegisterBenchmark("lib/register/types", registration)
        ->Arg(1000)
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("lib/register/types", registration)
        ->Arg(5000)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    const std::pair<const char *, Table> tables[] = {
        {"group", [] { return tavgroupdumpinfo(nullptr); }},
        {"type", [] { return tavtypedumpinfo(nullptr); }},
        {"pool", [] { return tavpooldumpinfo(0); }},
        {"sizelist", [] { return tavpooldumplistinfo(0); }},
        {"blockstats", [] { return tavpooldumpblockstats(0); }},
        {"chunkstats", [] { return tavpooldumpchunkstats(0); }},
        {"blockstatsdetailed", [] { return tavpooldumpblockstatsdetailed(64, nullptr); }},
        {"blockstatsfortype", [] { return tavpooldumpblockstatsfortype("type09999", 0); }},
    };
    for (const auto &[name, table] : tables)
        benchmark::RegisterBenchmark(("lib/print/" + std::string(name) + "/types").c_str(), print, table)
            ->Arg(kPrintTypes)
            ->Setup(setup_print)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
}

// The churn cases' footprints, for those the filter selects (a filter of
// Google Benchmark: a regular expression, "all", or "-" and one to leave out).
void measure_footprints(std::string filter)
{
    const bool negated = !filter.empty() && filter[0] == '-';
    if (negated) filter.erase(0, 1);
    const std::regex re(filter.empty() || filter == "all" ? "." : filter);
    const auto selected = [&](const std::string &name) { return std::regex_search(name, re) != negated; };
    for (int64_t live : kChurnLive) {
        const std::string rest = "churn/" + std::to_string(live);
        if (selected("floor/" + rest))
            g_footprints[{reinterpret_cast<const void *>(&churn<Floor>), live}] =
                measure_footprint<Floor>(live);
        if (selected("lib16/" + rest))
            g_footprints[{reinterpret_cast<const void *>(&churn<Lib>), live}] = measure_footprint<Lib>(live);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Keep the top of the heap: by default glibc hands it back to the kernel
    // after a batch of large blocks and takes it again for the next one, so
    // the batch cases would time brk and page faults, not the allocators.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    register_cases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    measure_footprints(benchmark::GetBenchmarkFilter());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    shutdown();
    return 0;
}
