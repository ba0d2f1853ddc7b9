// tav-exporter: serves the memory accounting of every libtav host on this
// machine to Prometheus. See docs/EXPORTER.md.
#include "collector.hpp"
#include "server.hpp"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    using namespace tav::exporter;
    CLI::App app{
        "tav-exporter: serves the memory accounting of every libtav host on this machine to Prometheus"};
    app.set_version_flag("--version", "tav-exporter " TAV_VERSION);
    server_options web;
    std::string procfs = "/proc", groups_in, groups_out, types_in, types_out;
    double recheck = 60;
    limits lim;
    app.add_option("--web.listen-address", web.listen_address,
                   "HOST:PORT to listen on; :PORT listens on every IPv4 address")
        ->capture_default_str();
    app.add_option("--web.telemetry-path", web.telemetry_path, "path of the metrics")->capture_default_str();
    app.add_option("--web.max-requests", web.max_requests, "connections served at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option(
           "--scrape.timeout", web.default_timeout,
           "seconds a collection may take when the scraper sends no X-Prometheus-Scrape-Timeout-Seconds")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--scrape.timeout-offset", web.timeout_offset,
                   "seconds taken from the scraper's timeout to leave time for the answer")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--path.procfs", procfs, "where procfs is mounted")->capture_default_str();
    app.add_option("--discovery.recheck-interval", recheck,
                   "seconds between looks at a process that had not loaded libtav (it may dlopen it later)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--collector.type-series-limit", lim.type_series,
                   "type series per host above which its type families are left out (0: no limit)")
        ->capture_default_str();
    app.add_flag("--collector.type-pools", lim.type_pools,
                 "serve the type-by-pool families (tav_type_pool_*)");
    app.add_option("--collector.groups.include", groups_in,
                   "serve only groups whose whole name matches this regex");
    app.add_option("--collector.groups.exclude", groups_out,
                   "leave out groups whose whole name matches this regex");
    app.add_option("--collector.types.include", types_in,
                   "serve only types whose whole name matches this regex");
    app.add_option("--collector.types.exclude", types_out,
                   "leave out types whose whole name matches this regex");
    CLI11_PARSE(app, argc, argv);

    try {
        const auto regex = [](const std::string &r) {
            return r.empty() ? std::nullopt : std::optional<std::regex>(std::regex(r, std::regex::nosubs));
        };
        lim.groups_include = regex(groups_in);
        lim.groups_exclude = regex(groups_out);
        lim.types_include = regex(types_in);
        lim.types_exclude = regex(types_out);
    } catch (const std::regex_error &e) {
        std::fprintf(stderr, "tav-exporter: a --collector filter is not a regex: %s\n", e.what());
        return 2;
    }

    // Every thread started from here on leaves SIGINT and SIGTERM to this one.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        collector c(discovery(procfs, recheck), std::move(lim));
        server s(web, c);
        std::fprintf(stderr, "tav-exporter: listening on %s, metrics at %s\n", s.address().c_str(),
                     web.telemetry_path.c_str());
        int signal = 0;
        sigwait(&stop, &signal);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tav-exporter: %s\n", e.what());
        return 1;
    }
}
