// tavtop: watch a running libtav host's accounting from outside.
#include "remote/background.hpp"
#include "remote/failure.hpp"
#include "remote/locate.hpp"
#include "remote/proc_maps.hpp"
#include "terminal_text.hpp"
#include "usage.hpp"
#include "views.hpp"

#include <CLI/CLI.hpp>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

using tavtop::doc;
using tavtop::flag;

// A number of seconds within a range, or the message that says what is wanted.
std::optional<std::string> seconds_error(const char *what, double v, double least, double most)
{
    if (v >= least && v <= most) return std::nullopt;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s takes seconds from %g to %g", what, least, most);
    return std::string(buf);
}

// The flags that contradict each other or would be ignored, as one message; nothing when they agree.
std::optional<std::string> contradiction(const std::map<flag, CLI::Option *> &options,
                                         const tavtop::options &opt)
{
    const auto given = [&options](flag f) { return options.at(f)->count() > 0; };
    const bool batch = given(flag::iterations);
    if (batch && given(flag::once)) return "--once reads once; -n N reads N times: give one of them";
    if (batch && opt.how == tavtop::mode::metrics)
        return "a metrics text holds one reading: run tavtop once per scrape, without -n";
    if (given(flag::trace) && opt.how != tavtop::mode::live && opt.how != tavtop::mode::json)
        return "--trace goes with the live view or --json; the other modes do not show the trace ring";
    if (given(flag::delay) && opt.how != tavtop::mode::live && !batch)
        return "-d sets the time between readings of the live view or of -n; this mode reads once";
    if (const auto e = seconds_error("-d", opt.delay, 0.1, 86400)) return e;
    if (const auto e = seconds_error("--timeout", opt.timeout, 0.1, 3600)) return e;
    if (batch && (opt.iterations < 1 || opt.iterations > 1000000000))
        return "-n takes a number of readings from 1 to 1000000000";
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_CTYPE, ""); // the terminal's character set; numbers stay in the C locale
    CLI::App app{tavtop::summary, "tavtop"};
    app.footer(tavtop::help_footer());
    tavtop::options opt;
    std::string pid_text;
    bool once = false, json = false, openmetrics = false, prometheus = false;
    app.add_option("PID", pid_text, "the process to read")->required();
    std::map<flag, CLI::Option *> given;
    const auto option = [&](flag f, auto &into) {
        return given[f] = app.add_option(doc(f).names, into, doc(f).text)->type_name(doc(f).value);
    };
    const auto option_flag = [&](flag f, bool &into) {
        return given[f] = app.add_flag(doc(f).names, into, doc(f).text);
    };
    option(flag::delay, opt.delay);
    option(flag::iterations, opt.iterations);
    option(flag::timeout, opt.timeout);
    const std::initializer_list<CLI::Option *> modes = {
        option_flag(flag::once, once), option_flag(flag::json, json),
        option_flag(flag::openmetrics, openmetrics), option_flag(flag::prometheus, prometheus)};
    for (CLI::Option *a : modes)
        for (CLI::Option *b : modes)
            if (a != b) a->excludes(b);
    option_flag(flag::trace, opt.trace);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        tavtop::complain(e.what() + std::string("; see tavtop --help"));
        return 2;
    }
    const bool batch = given[flag::iterations]->count() > 0;
    opt.how = json                        ? tavtop::mode::json
              : openmetrics || prometheus ? tavtop::mode::metrics
              : once || batch             ? tavtop::mode::text
                                          : tavtop::mode::live;
    if (prometheus) opt.format = tav::text_format::prometheus;
    if (const auto e = contradiction(given, opt)) {
        tavtop::complain(*e);
        return 2;
    }
    const auto pid = tav::remote::parse_pid(pid_text);
    if (!pid) {
        tavtop::complain("PID takes a process ID from 1 to " + std::to_string(tav::remote::max_pid()) +
                         ", not " + pid_text);
        return 2;
    }
    try {
        // Locating reads the target's files and /proc entries: bounded by the same deadline as a reading.
        const auto deadline = std::chrono::steady_clock::now() + opt.timeout_span();
        const auto t = tav::remote::call_until(deadline, [p = *pid] { return tav::remote::locate(p); });
        if (!t) {
            tavtop::complain("process " + std::to_string(*pid) + " (" + tav::remote::process_name(*pid) +
                             "): its control block was not found before the deadline");
            std::fflush(nullptr);
            std::_Exit(1); // the search may be blocked in the kernel: it ends with the process
        }
        const int status = tavtop::run(*t, opt);
        if (tav::remote::threads_left_behind()) {
            std::fflush(nullptr);
            std::_Exit(status); // a reading blocked in the kernel ends with the process
        }
        return status;
    } catch (const tav::remote::failure &e) {
        tavtop::complain(e.what());
        return 1;
    } catch (const std::exception &e) {
        tavtop::complain(e.what());
        return 2;
    }
}
