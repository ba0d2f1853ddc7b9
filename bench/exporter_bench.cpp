// tav-exporter's cost per scrape: a machine with ten small hosts and one of
// 10,000 types (100 groups, 32 pools, a block each), all found through a
// procfs that shows only them, read, rendered and gzipped, in whole and by
// part. Also one scan of this machine's whole /proc, every file already classified.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <tav.h>

#include "collector.hpp"
#include "gzip.hpp"
#include "render.hpp"

struct tavnode tavnode;

namespace {
namespace fs = std::filesystem;

void register_host(int types, int pools)
{
    for (int p = 0; p < pools; ++p) {
        tavhandle h;
        tavpoolregister(16 * (p + 1), 8, 64, &h);
    }
    tavhandle g = 0;
    for (int t = 0; t < types; ++t) {
        if (t % 100 == 0) tavgroupregister(("group-" + std::to_string(t / 100)).c_str(), 1 << 30, &g);
        tavhandle h;
        tavtyperegister(g, ("type-" + std::to_string(t)).c_str(), 16 * (t % pools + 1), 0, &h);
        (void)tavpoolalloc(h, 0);
    }
}

// The hosts, started once: each registers its records, says so, and waits
// until this process closes the pipe (or exits). `procfs` shows only them.
struct machine {
    fs::path procfs = fs::temp_directory_path() / ("tav-exporter-bench-" + std::to_string(getpid()));
    int hold[2] = {-1, -1};
    machine()
    {
        fs::create_directories(procfs);
        if (pipe(hold) != 0) std::abort();
        for (int i = 0; i < 11; ++i) {
            int ready[2];
            if (pipe(ready) != 0) std::abort();
            const pid_t pid = fork();
            if (pid == 0) {
                close(hold[1]);
                register_host(i == 10 ? 10000 : 10, i == 10 ? 32 : 4);
                char c = 1;
                (void)!write(ready[1], &c, 1);
                while (read(hold[0], &c, 1) > 0) {}
                _exit(0);
            }
            char c;
            (void)!read(ready[0], &c, 1);
            close(ready[0]);
            close(ready[1]);
            fs::create_directory_symlink("/proc/" + std::to_string(pid), procfs / std::to_string(pid));
        }
        close(hold[0]);
    }
    ~machine()
    {
        close(hold[1]);
        while (wait(nullptr) > 0) {}
        fs::remove_all(procfs);
    }
};

machine &the_machine()
{
    static machine m;
    return m;
}

using namespace tav::exporter;

std::shared_ptr<const collection> collect_once(collector &c)
{
    return c.collect(steady::now() + std::chrono::minutes(1));
}
limits capped(std::int64_t cap)
{
    limits l;
    l.type_series = static_cast<std::uint64_t>(cap);
    return l;
}
tav::text_format format(std::int64_t openmetrics)
{
    return openmetrics != 0 ? tav::text_format::openmetrics : tav::text_format::prometheus;
}

// One whole scrape as Prometheus makes it: collection, OpenMetrics, gzip. Argument: the type-series cap (0:
// none).
void scrape(benchmark::State &state)
{
    collector c(discovery(the_machine().procfs.string()), capped(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = gzip(render(*collect_once(c), tav::text_format::openmetrics));
        bytes = text.size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// Its parts: the collection (discovery and reading the eleven hosts, each on a
// thread of its own: the CPU time is the whole process's), rendering
// it (arguments: OpenMetrics or not, the cap) and gzipping the text.
void collect(benchmark::State &state)
{
    collector c(discovery(the_machine().procfs.string()), capped(state.range(0)));
    std::size_t hosts = 0;
    for (auto _ : state) hosts = collect_once(c)->hosts.size();
    state.counters["hosts"] = static_cast<double>(hosts);
}

void render_text(benchmark::State &state)
{
    collector c(discovery(the_machine().procfs.string()), capped(state.range(1)));
    const auto got = collect_once(c);
    std::size_t bytes = 0;
    for (auto _ : state) bytes = render(*got, format(state.range(0))).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}

void gzip_text(benchmark::State &state)
{
    collector c(discovery(the_machine().procfs.string()), capped(state.range(1)));
    const std::string text = render(*collect_once(c), format(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) bytes = gzip(text).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}

void scan_this_machine(benchmark::State &state)
{
    tav::exporter::discovery d;
    double now = 0;
    std::size_t hosts = 0;
    d.scan(now); // every mapped file classified
    for (auto _ : state) hosts = d.scan(++now).size();
    state.counters["processes"] = static_cast<double>(d.counts().processes);
    state.counters["hosts"] = static_cast<double>(hosts);
}

} // namespace

BENCHMARK(scrape)->ArgName("cap")->Arg(10000)->Arg(0)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(collect)->ArgName("cap")->Arg(10000)->Arg(0)->MeasureProcessCPUTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(render_text)
    ->ArgNames({"openmetrics", "cap"})
    ->ArgsProduct({{0, 1}, {10000, 0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(gzip_text)
    ->ArgNames({"openmetrics", "cap"})
    ->ArgsProduct({{1}, {10000, 0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(scan_this_machine)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
