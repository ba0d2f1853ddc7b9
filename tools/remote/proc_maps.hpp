// What /proc tells about a target: its name and its mappings.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tav::remote {
struct mapping {
    std::uintptr_t start = 0, end = 0, offset = 0;
    std::string perms, path;             // path empty for anonymous memory
    std::uint64_t device = 0, inode = 0; // the mapped file's (makedev(major, minor)); 0 for anonymous memory
};

// The target's command name ("?" once it is gone).
std::string process_name(pid_t pid);
// Its mappings; throws failure for a missing process or one we may not inspect.
// `proc` is where procfs is mounted (the tests give a made-up one).
std::vector<mapping> read_maps(pid_t pid, const std::string &proc = "/proc");
// The one-line advice for a target we are not permitted to read.
std::string not_permitted(pid_t pid);
// A path that opens the mapped file even if it was replaced or deleted on disk.
std::string mapped_file_path(pid_t pid, const mapping &m, const std::string &proc = "/proc");
} // namespace tav::remote
