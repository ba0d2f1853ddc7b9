#include "usage.hpp"

#include <algorithm>
#include <cstring>

namespace tavtop {
namespace {

constexpr flag_doc flags[] = {
    {flag::delay, "-d,--delay", "SECONDS",
     "seconds between readings of the live view and of -n, from 0.1 to 86400 (default 2)"},
    {flag::iterations, "-n,--iterations", "N",
     "batch mode: N readings -d apart, each printed as --once prints one (or as one line of JSON with "
     "--json), "
     "then exit"},
    {flag::once, "--once", "", "print the type rows of one reading as plain text and exit"},
    {flag::json, "--json", "", "print one reading as JSON and exit"},
    {flag::openmetrics, "--openmetrics", "",
     "print one reading as OpenMetrics 1.0 text, every series labelled with "
     "pid and comm, and exit"},
    {flag::prometheus, "--prometheus", "",
     "the same in the Prometheus text format 0.0.4, as node_exporter's textfile collector reads it"},
    {flag::trace, "--trace", "", "add the trace ring, callers named, to --json; open the live view on it"},
    {flag::timeout, "--timeout", "SECONDS",
     "give up a reading (locating the control block included) after SECONDS, from 0.1 to 3600 (default 10)"},
};

constexpr key_doc keys[] = {
    {"t g p", "show types, groups or pools"},
    {"x", "show the trace ring, newest first, callers named (x again: back)"},
    {"b n r s", "sort by bytes, name, refusals or rate of change"},
    {"/", "filter rows by a part of their name (Enter keeps it, Esc drops it)"},
    {"Up Down", "scroll a row"},
    {"PgUp PgDn", "scroll a page"},
    {"Home End", "go to the first or the last row"},
    {"? h", "this help"},
    {"q", "quit"},
};

constexpr const char *status_text = "0: done; 1: the target could not be read (no such process, not "
                                    "permitted, no control block, unreadable or "
                                    "implausible memory, timed out); 2: a wrong command line.";

constexpr const char *textfile_loop =
    "while sleep 15; do\n"
    "  tavtop --prometheus $PID > /var/lib/node_exporter/tav_$PID.prom.$$ &&\n"
    "    mv /var/lib/node_exporter/tav_$PID.prom.$$ "
    "/var/lib/node_exporter/tav_$PID.prom\n"
    "done";

// Text as roff takes it: a leading dot or quote would start a request, a backslash an escape.
std::string roff(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

} // namespace

const char *const summary = "tavtop: a live view of a running libtav host's groups, types and pools";
const char *const synopsis =
    "tavtop [-d SECONDS] [--timeout SECONDS] [--trace] PID\n"
    "tavtop --once | --json [--trace] | --openmetrics | --prometheus [--timeout SECONDS] PID\n"
    "tavtop -n N [--json [--trace]] [-d SECONDS] [--timeout SECONDS] PID";

std::span<const flag_doc> flag_docs() { return flags; }
std::span<const key_doc> key_docs() { return keys; }

const flag_doc &doc(flag f)
{
    return *std::find_if(std::begin(flags), std::end(flags), [f](const flag_doc &d) { return d.id == f; });
}

std::string help_footer()
{
    std::string out = "Keys in the live view:\n";
    for (const key_doc &k : keys)
        out += "  " + std::string(k.keys) + std::string(12 - std::strlen(k.keys), ' ') + k.text + "\n";
    out += "\nExit status: " + std::string(status_text) + "\n";
    out += "\nFor node_exporter's textfile collector, write to a file in its directory and rename it:\n" +
           std::string(textfile_loop) + "\n";
    return out;
}

std::string man_page()
{
    std::string out = ".TH TAVTOP 1 \"\" \"libtav\" \"User Commands\"\n.SH NAME\ntavtop \\- " +
                      roff(std::string(summary).substr(8)) + "\n.SH SYNOPSIS\n.nf\n" + roff(synopsis) +
                      "\n.fi\n";
    out +=
        ".SH DESCRIPTION\n"
        "tavtop reads the control block \\fBtavnode\\fR of a running libtav host from outside: it finds the "
        "symbol in the objects the process has loaded, reads the process's memory with "
        "\\fBprocess_vm_readv\\fR(2) (never attaching, stopping, signalling or writing to it, never taking "
        "its "
        "lock), reads again until two readings agree, and checks every count, pointer and record before "
        "using "
        "it. Without a mode flag it shows a live view, refreshed every \\fB\\-d\\fR seconds; a reading that "
        "fails keeps the last good screen, marked stale, and is tried again. Names from the target are shown "
        "with control bytes and invalid UTF\\-8 escaped as \\ex\\fINN\\fR.\n"
        ".SH OPTIONS\n";
    for (const flag_doc &f : flags) {
        std::string names = f.names;
        std::replace(names.begin(), names.end(), ',', ' ');
        out += ".TP\n.B " + roff(names) + (*f.value != 0 ? " \\fI" + std::string(f.value) + "\\fR" : "") +
               "\n" + roff(f.text) + "\n";
    }
    out += ".TP\n.B \\-h \\-\\-help\nprint the options and keys and exit\n.SH KEYS\n";
    for (const key_doc &k : keys) out += ".TP\n.B " + roff(k.keys) + "\n" + roff(k.text) + "\n";
    out += ".SH EXIT STATUS\n" + roff(status_text) + "\n";
    out += ".SH EXAMPLES\nThe textfile collector of node_exporter reads every *.prom file of its directory; "
           "write "
           "to a temporary file there and rename it, so that it never reads half a file:\n.PP\n.nf\n" +
           roff(textfile_loop) + "\n.fi\n";
    out +=
        ".SH PERMISSIONS\nReading another process's memory needs the permission to trace it: the same user "
        "with /proc/sys/kernel/yama/ptrace_scope at 0 where Yama is present, or CAP_SYS_PTRACE.\n";
    return out;
}

} // namespace tavtop
