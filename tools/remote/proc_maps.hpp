// What /proc tells about a target: its name, age and mappings, and whether a
// process ID names a process at all.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tav::remote {
struct mapping {
    std::uintptr_t start = 0, end = 0, offset = 0;
    std::string perms, path;             // path empty for anonymous memory
    std::uint64_t device = 0, inode = 0; // the mapped file's (makedev(major, minor)); 0 for anonymous memory
};

// A process ID as the user wrote it: decimal digits only, 1 to the kernel's
// pid_max. No wrapping: 4294967297 is not process 1.
std::optional<pid_t> parse_pid(std::string_view text);
// The largest process ID the kernel hands out.
pid_t max_pid();
// The target's command name ("?" once it is gone).
std::string process_name(pid_t pid);
// When it started, in clock ticks after boot: with the PID, it names one
// process for good (a PID is reused). Nothing once it is gone.
std::optional<std::uint64_t> start_ticks(pid_t pid);
// Seconds since a process that started at `start` ticks after boot.
double seconds_since(std::uint64_t start);
// Its mappings; throws failure for a missing process or one we may not inspect.
// `proc` is where procfs is mounted (the tests give a made-up one).
std::vector<mapping> read_maps(pid_t pid, const std::string &proc = "/proc");
// The one-line advice for a target we are not permitted to read.
std::string not_permitted(pid_t pid);
// A path that opens the mapped file even if it was replaced or deleted on disk.
std::string mapped_file_path(pid_t pid, const mapping &m, const std::string &proc = "/proc");
} // namespace tav::remote
