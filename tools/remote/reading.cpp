#include "reading.hpp"

#include "background.hpp"
#include "process_source.hpp"

#include <cerrno>
#include <thread>

namespace tav::remote {
namespace {

std::string who(const target &t) { return "process " + std::to_string(t.pid) + " (" + t.name + ")"; }

reading failed(read_status status, std::string message, int attempts)
{
    reading r;
    r.status = status;
    r.message = std::move(message);
    r.attempts = attempts;
    return r;
}

bool same_process(const target &t) { return t.start == 0 || start_ticks(t.pid) == t.start; }

} // namespace

reading timed_out(const target &t)
{
    return failed(read_status::timed_out,
                  who(t) + ": no reading before the deadline (its memory does not answer)", 1);
}

reading read_now(const target &t, clock::time_point deadline, const read_options &opt)
{
    auto backoff = opt.first_backoff;
    for (int attempt = 1;; ++attempt) {
        process_source src(t.pid, deadline);
        tav::snapshot s;
        const tav::snapshot_error e = tav::read_snapshot(src, t.node, s, opt.limits);
        if (!same_process(t)) return failed(read_status::gone, who(t) + " exited", attempt);
        if (e == tav::snapshot_error::none) {
            reading r;
            r.report = tav::report_of(s);
            r.attempts = attempt;
            return r;
        }
        const int err = src.last_errno();
        if (e == tav::snapshot_error::unreadable && err == ESRCH)
            return failed(read_status::gone, who(t) + " exited", attempt);
        if (e == tav::snapshot_error::unreadable && (err == EPERM || err == EACCES))
            return failed(read_status::not_permitted, not_permitted(t.pid), attempt);
        if (e == tav::snapshot_error::unreadable && err == ETIMEDOUT)
            return failed(read_status::timed_out, src.explain(who(t)), attempt);
        reading r =
            e == tav::snapshot_error::unreadable
                ? failed(read_status::unreadable, src.explain(who(t)), attempt)
                : failed(read_status::implausible,
                         who(t) +
                             ": its control block holds implausible counts, lengths, pointers or records",
                         attempt);
        if (attempt >= opt.attempts || clock::now() + backoff >= deadline) return r;
        std::this_thread::sleep_for(backoff);
        backoff *= 2;
    }
}

reading read_report(const target &t, clock::time_point deadline, const read_options &opt)
{
    background<reading> work;
    work.start([t, deadline, opt] { return read_now(t, deadline, opt); });
    // Reads stop at the deadline; making the report of the last one may take a moment more.
    const auto result = work.wait_until(deadline + std::chrono::milliseconds(500));
    return result ? *result : timed_out(t);
}

} // namespace tav::remote
