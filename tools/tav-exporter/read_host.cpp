#include "read_host.hpp"

#include "remote/process_source.hpp"

#include <cerrno>
#include <tav/snapshot.hpp>

namespace tav::exporter {
namespace {

// The host's memory until the deadline; every read after it fails.
struct bounded_source {
    remote::process_source memory;
    steady::time_point deadline;
    bool late = false;
    bool read(std::uintptr_t address, void *into, std::size_t bytes)
    {
        late = late || steady::now() >= deadline;
        return !late && memory.read(address, into, bytes);
    }
};

} // namespace

read_error read_host(const host &h, steady::time_point deadline, report &out)
{
    if (!h.layout_ok) return read_error::layout;
    bounded_source src{remote::process_source(h.pid), deadline};
    snapshot s;
    switch (read_snapshot(src, h.node, s)) {
    case snapshot_error::none:
        s.trace.clear(); // never served
        s.trace_capacity = 0;
        out = report_of(s);
        return read_error::none;
    case snapshot_error::implausible:
        return read_error::implausible;
    case snapshot_error::unreadable:
        break;
    }
    if (src.late) return read_error::deadline;
    switch (src.memory.last_errno()) {
    case ESRCH:
        return read_error::exited;
    case EPERM:
    case EACCES:
        return read_error::not_permitted;
    default:
        return read_error::unreadable;
    }
}

} // namespace tav::exporter
