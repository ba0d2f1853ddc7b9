#include "render.hpp"

namespace tav::exporter {

std::string render(const collection &c, text_format f)
{
    struct labelled {
        std::string pid, uid;
        const host_state *state;
    };
    std::vector<labelled> all;
    std::vector<host_report> read;
    for (const host_state &h : c.hosts) {
        all.push_back({std::to_string(h.process.pid), std::to_string(h.process.uid), &h});
        if (h.error == read_error::none)
            read.push_back(
                {&h.rows, {{"pid", all.back().pid}, {"comm", h.process.comm}}, h.types, h.type_pools});
    }
    exposition out(f);
    write_report(out, read);

    out.family(
        "tav_up", metric_kind::gauge,
        "1 when the host's control block was read; 0 when it could not be read or held implausible values.");
    for (const labelled &h : all)
        out.sample({{"pid", h.pid}, {"comm", h.state->process.comm}},
                   int64_t{h.state->error == read_error::none});
    out.family("tav_process", metric_kind::info, "The process of each libtav host.");
    for (const labelled &h : all)
        out.sample(
            {{"pid", h.pid}, {"comm", h.state->process.comm}, {"exe", h.state->process.exe}, {"uid", h.uid}},
            int64_t{1});
    out.family("tav_exporter_type_series_dropped", metric_kind::gauge,
               "Type series of the host left out because they are more than --collector.type-series-limit.");
    for (const labelled &h : all)
        if (h.state->error == read_error::none)
            out.sample({{"pid", h.pid}, {"comm", h.state->process.comm}},
                       uint64_t{h.state->types ? 0 : h.state->type_series});

    out.family("tav_exporter_scrape_duration_seconds", metric_kind::gauge,
               "Seconds the collection took: finding the hosts and reading them.");
    out.sample({}, c.seconds);
    out.family("tav_exporter_hosts", metric_kind::gauge, "libtav hosts found on the machine.");
    out.sample({}, uint64_t{c.hosts.size()});
    out.family("tav_exporter_processes", metric_kind::gauge, "Processes looked at to find them.");
    out.sample({}, c.found.processes);
    out.family(
        "tav_exporter_processes_not_permitted", metric_kind::gauge,
        "Processes the exporter may not inspect (it needs CAP_SYS_PTRACE for other users' processes).");
    out.sample({}, c.found.not_permitted);
    out.family("tav_exporter_read_errors", metric_kind::counter,
               "Hosts that could not be read, by reason, since the exporter started.");
    for (std::size_t r = 1; r < read_error_names.size(); ++r)
        out.sample({{"reason", read_error_names[r]}}, c.errors[r]);
    return out.finish();
}

} // namespace tav::exporter
