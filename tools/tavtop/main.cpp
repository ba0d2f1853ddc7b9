// tavtop: watch a running libtav host's accounting from outside.
#include "remote/failure.hpp"
#include "remote/locate.hpp"
#include "views.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

int main(int argc, char **argv)
{
    CLI::App app{"tavtop: a live view of a running libtav host's groups, types and pools"};
    tavtop::options opt;
    long pid = 0;
    app.add_option("PID", pid, "process to read")->required();
    app.add_option("-d,--delay", opt.delay, "seconds between refreshes of the live view")->check(CLI::PositiveNumber);
    auto *once = app.add_flag("--once", opt.once, "print one plain-text snapshot and exit");
    auto *json = app.add_flag("--json", opt.json, "print the monitoring view as JSON and exit");
    auto *om = app.add_flag("--openmetrics", opt.openmetrics, "print the monitoring view as OpenMetrics text");
    once->excludes(json, om);
    json->excludes(om);
    app.add_flag("--trace", opt.trace, "include the trace ring, callers named");
    CLI11_PARSE(app, argc, argv);
    try {
        tavtop::target t = tav::remote::locate(static_cast<pid_t>(pid));
        return tavtop::run(t, opt);
    } catch (const tav::remote::failure &e) {
        std::fprintf(stderr, "tavtop: %s\n", e.what());
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavtop: %s\n", e.what());
        return 2;
    }
}
