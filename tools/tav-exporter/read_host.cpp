#include "read_host.hpp"

#include "remote/reading.hpp"

namespace tav::exporter {

read_error read_host(const host &h, steady::time_point deadline, report &out)
{
    if (!h.layout_ok) return read_error::layout;
    remote::target t;
    t.pid = h.pid;
    t.name = h.comm;
    t.node = h.node;
    t.start = h.start_time;
    // Retried while the host is caught mid-change, bounded by the deadline. The
    // collector gives each reading a thread of its own, so this one reads here.
    remote::reading r = remote::read_now(t, deadline);
    switch (r.status) {
    case remote::read_status::ok:
        out = std::move(r.report);
        out.trace.reset(); // never served
        return read_error::none;
    case remote::read_status::gone: return read_error::exited;
    case remote::read_status::not_permitted: return read_error::not_permitted;
    case remote::read_status::unreadable: return read_error::unreadable;
    case remote::read_status::implausible: return read_error::implausible;
    case remote::read_status::timed_out: return read_error::deadline;
    }
    return read_error::unreadable;
}

} // namespace tav::exporter
