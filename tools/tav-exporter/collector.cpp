#include "collector.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace tav::exporter {
namespace {

bool passes(const std::string &name, const std::optional<std::regex> &include,
            const std::optional<std::regex> &exclude)
{
    return (!include || std::regex_match(name, *include)) && (!exclude || !std::regex_match(name, *exclude));
}

} // namespace

void apply(const limits &l, host_state &h)
{
    report &r = h.rows;
    std::erase_if(r.groups,
                  [&](const group_row &g) { return !passes(g.name, l.groups_include, l.groups_exclude); });
    std::erase_if(r.types, [&](const type_row &t) {
        return !passes(t.name, l.types_include, l.types_exclude) ||
               !passes(t.group, l.groups_include, l.groups_exclude);
    });
    h.type_pools = l.type_pools;
    h.type_series = 0;
    for (const type_row &t : r.types)
        h.type_series += 2 + (t.budget_bytes != 0 ? 1 : 0) + (l.type_pools ? 4 * t.pools.size() : 0);
    h.types = l.type_series == 0 || h.type_series <= l.type_series;
}

std::shared_ptr<const collection> collector::collect(steady::time_point deadline)
{
    std::unique_lock lock(mutex_);
    if (running_) {
        // The running collection started before this scrape arrived, but is as
        // fresh as any this one could make: share it.
        const std::uint64_t round = round_;
        finished_.wait(lock, [&] { return round_ != round; });
        if (!last_) throw std::runtime_error("the collection failed");
        return last_;
    }
    running_ = true;
    lock.unlock();
    std::shared_ptr<const collection> c;
    const auto finish = [&] { // whatever happened, the next scrape may collect again
        lock.lock();
        last_ = c;
        ++round_;
        running_ = false;
        finished_.notify_all();
    };
    try {
        c = run(deadline);
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return c;
}

// A host can stall process_vm_readv in the kernel (its own page faults held by
// userfaultfd, say), and no deadline checked between reads ends a read that
// never returns. So each reading runs on a thread of its own and is waited for
// until the deadline, with a little grace for its last read; one still blocked
// then is left to finish alone, and its host is not read again until it has.
struct collector::reading {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    read_error error = read_error::none;
    report rows;
};

read_error collector::read_apart(const host &h, steady::time_point until, report &out)
{
    if (const auto it = left_behind_.find(h.pid); it != left_behind_.end()) {
        const std::lock_guard hold(it->second->mutex);
        if (!it->second->done) return read_error::deadline;
    }
    left_behind_.erase(h.pid);
    if (steady::now() >= until) return read_error::deadline;
    auto r = std::make_shared<reading>();
    std::thread([r, h, until] {
        report rows;
        const read_error e = read_host(h, until, rows);
        const std::lock_guard hold(r->mutex);
        r->error = e;
        r->rows = std::move(rows);
        r->done = true;
        r->finished.notify_all();
    }).detach();
    std::unique_lock hold(r->mutex);
    if (!r->finished.wait_until(hold, until + std::chrono::milliseconds(50), [&] { return r->done; })) {
        left_behind_[h.pid] = std::move(r);
        return read_error::deadline;
    }
    out = std::move(r->rows);
    return r->error;
}

std::shared_ptr<const collection> collector::run(steady::time_point deadline)
{
    const steady::time_point start = steady::now();
    auto c = std::make_shared<collection>();
    const double now = std::chrono::duration<double>(start.time_since_epoch()).count();
    std::vector<host> found = discovery_.scan(now, deadline);
    // Quickest first by their last reading (new hosts count as quick), each with
    // an equal share of the time left: a slow host cannot starve the others, and
    // the slowest gets whatever they left.
    const auto cost = [this](const host &h) {
        const auto it = read_cost_.find(h.pid);
        return it != read_cost_.end() ? it->second : steady::duration{};
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](const host &a, const host &b) { return cost(a) < cost(b); });
    std::unordered_map<pid_t, steady::duration> costs;
    for (std::size_t i = 0; i < found.size(); ++i) {
        host_state s;
        s.process = std::move(found[i]);
        const steady::time_point began = steady::now();
        const steady::time_point share = began + (deadline - began) / static_cast<long>(found.size() - i);
        s.error = read_apart(s.process, std::min(share, deadline), s.rows);
        costs[s.process.pid] = steady::now() - began;
        ++errors_[static_cast<std::size_t>(s.error)];
        if (s.error == read_error::exited || s.error == read_error::unreadable)
            discovery_.forget(s.process.pid);
        if (s.error == read_error::exited) continue;
        apply(limits_, s);
        c->hosts.push_back(std::move(s));
    }
    read_cost_ = std::move(costs);
    std::sort(c->hosts.begin(), c->hosts.end(),
              [](const host_state &a, const host_state &b) { return a.process.pid < b.process.pid; });
    c->found = discovery_.counts();
    c->errors = errors_;
    c->seconds = std::chrono::duration<double>(steady::now() - start).count();
    return c;
}

} // namespace tav::exporter
