// tavtop's cost: reading a host's whole control block through process_vm_readv
// and rendering it, for a host with 10,000 types and 32 pools. The reader here
// reads its own process through the same path it uses for another one.
#include <benchmark/benchmark.h>

#include <string>
#include <unistd.h>

#include "tools/remote/process_source.hpp"
#include <tav/monitor.hpp>
#include <tav/snapshot.hpp>

struct tavnode tavnode;

namespace {
void populate()
{
    static bool done = false;
    if (done) return;
    done = true;
    for (int p = 0; p < 32; ++p) {
        tavhandle h;
        tavpoolregister(16 * (p + 1), 8, 64, &h);
    }
    tavhandle g = 0;
    for (int t = 0; t < 10000; ++t) {
        if (t % 100 == 0) tavgroupregister(("group-" + std::to_string(t / 100)).c_str(), 0, &g);
        tavhandle h;
        tavtyperegister(g, ("type-" + std::to_string(t)).c_str(), 16 * (t % 32 + 1), 0, &h);
        (void)tavpoolalloc(h, 0);
    }
}

void read_remote(benchmark::State &state)
{
    populate();
    tav::remote::process_source src(getpid());
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        tav::snapshot s;
        const std::uint64_t before = src.bytes();
        if (tav::read_snapshot(src, reinterpret_cast<std::uintptr_t>(&tavnode), s) != tav::snapshot_error::none)
            state.SkipWithError("read failed");
        bytes = src.bytes() - before;
        benchmark::DoNotOptimize(s);
    }
    state.counters["bytes_read"] = static_cast<double>(bytes);
}

template <bool json> void read_and_render(benchmark::State &state)
{
    populate();
    tav::remote::process_source src(getpid());
    for (auto _ : state) {
        tav::snapshot s;
        tav::read_snapshot(src, reinterpret_cast<std::uintptr_t>(&tavnode), s);
        const tav::report r = tav::report_of(s);
        std::string out = json ? tav::render_json(r) : tav::render_exposition(r, tav::text_format::openmetrics);
        benchmark::DoNotOptimize(out);
    }
}
} // namespace

BENCHMARK(read_remote)->Unit(benchmark::kMillisecond);
BENCHMARK(read_and_render<true>)->Name("read_and_render_json")->Unit(benchmark::kMillisecond);
BENCHMARK(read_and_render<false>)->Name("read_and_render_openmetrics")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
