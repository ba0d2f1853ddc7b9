// One collection of every host on the machine: found, read, filtered and
// capped. Scrapes that arrive while a collection runs wait for it and share
// its result instead of starting another.
#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery.hpp"
#include "read_host.hpp"

namespace tav::exporter {

// What of a host is served. Filters match whole names (groups' and types');
// a type is also left out with its group.
struct limits {
    std::optional<std::regex> groups_include, groups_exclude, types_include, types_exclude;
    std::uint64_t type_series = 10000; // per host; over it the host's type families are left out. 0: no cap
    bool type_pools = false;           // the type-by-pool families
};

struct host_state {
    host process;
    read_error error = read_error::none;
    report rows;                   // when read
    bool types = true;             // its type families are served
    bool type_pools = false;       // and its type-by-pool families
    std::uint64_t type_series = 0; // what its type families hold after the filters
};

// Drops the rows the filters leave out and decides which type families fit the cap.
void apply(const limits &l, host_state &h);

struct collection {
    std::vector<host_state> hosts; // read or not; those that exited meanwhile are left out
    double seconds = 0;            // finding and reading them
    discovery_counts found;
    std::array<std::uint64_t, read_error_names.size()> errors{}; // since the exporter started
};

class collector {
public:
    collector(discovery d, limits l) : discovery_(std::move(d)), limits_(std::move(l)) {}
    // The collection under way if there is one, else a new one that reads until `deadline`.
    std::shared_ptr<const collection> collect(steady::time_point deadline);

private:
    struct reading;
    std::shared_ptr<const collection> run(steady::time_point deadline);
    read_error read_apart(const host &h, steady::time_point until, report &out);

    discovery discovery_;
    limits limits_;
    std::array<std::uint64_t, read_error_names.size()> errors_{};
    std::unordered_map<pid_t, steady::duration> read_cost_;           // each host's last reading
    std::unordered_map<pid_t, std::shared_ptr<reading>> left_behind_; // readings still blocked in their host
    std::mutex mutex_;
    std::condition_variable finished_;
    bool running_ = false;
    std::uint64_t round_ = 0; // collections finished
    std::shared_ptr<const collection> last_;
};

} // namespace tav::exporter
