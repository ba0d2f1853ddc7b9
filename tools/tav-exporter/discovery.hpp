// Finding every libtav host on the machine, scrape after scrape, cheaply.
//
// A process is known by its PID, its start time (a reused PID is another
// process) and its program file's device and inode (an exec makes another
// program of it). A known process is not looked at again, except a process
// that was no host: it is looked at again every `recheck` seconds, since it
// may load libtav later with dlopen. Looking at a process means reading its
// mappings and asking of each mapped file whether it defines tavnode; the
// answer is kept by the file's device and inode, so each file is opened once
// however many processes map it. Known hosts cost two small reads a scan.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "remote/proc_maps.hpp"

namespace tav::exporter {

struct host {
    pid_t pid = 0;
    std::uint64_t start_time = 0; // clock ticks after boot
    std::string comm, exe;        // as procfs tells them: the host's own words, not yet printable
    uid_t uid = 0;                // real user
    std::uintptr_t node = 0;      // tavnode's address in the host
    bool layout_ok = true;        // false: its tavnode is smaller than this libtav's
};

struct discovery_counts {
    std::uint64_t processes = 0;     // looked at by the last scan
    std::uint64_t not_permitted = 0; // skipped by it: not ours to inspect
    std::uint64_t maps_read = 0;     // mappings read, over all scans
    std::uint64_t files_opened = 0;  // mapped files classified, over all scans
};

class discovery {
public:
    // `proc`: where procfs is; `recheck`: seconds between looks at a process that was no host.
    explicit discovery(std::string proc = "/proc", double recheck = 60);
    // The hosts running now, by PID. `now` is in seconds on a clock that never goes back.
    // Processes not yet known are left for a later scan once `deadline` has passed.
    std::vector<host> scan(double now, std::chrono::steady_clock::time_point deadline = {});
    // The next scan looks at this process afresh (its control block moved or went away).
    void forget(pid_t pid) { processes_.erase(pid); }
    const discovery_counts &counts() const { return counts_; }

private:
    struct identity {
        std::uint64_t start_time = 0, exe_device = 0, exe_inode = 0;
        bool operator==(const identity &) const = default;
    };
    struct known {
        identity id;
        std::optional<host> found;
        double looked_at = 0;
        std::uint64_t scan = 0; // the last scan that saw it
    };
    enum class kind : std::uint8_t { plain, defines_node, other_layout };

    std::optional<host> look_at(pid_t pid, const std::string &dir);
    kind classify(pid_t pid, const remote::mapping &m);

    std::string proc_;
    double recheck_;
    std::uint64_t scan_ = 0;
    std::unordered_map<pid_t, known> processes_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, kind> files_; // by (device, inode)
    discovery_counts counts_;
};

} // namespace tav::exporter
