// Finding the target's control block: which of its loaded objects defines
// `tavnode`, and where that object was loaded.
#pragma once
#include "proc_maps.hpp"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tav::remote {
struct target {
    pid_t pid = 0;
    std::string name;
    std::uintptr_t node = 0; // address of tavnode in the target
    std::string object;      // the file that defines it
    std::uint64_t start = 0; // when it started (start_ticks); 0: unknown
    std::vector<mapping> maps;
};

// Throws failure: no such process, not permitted, 32-bit or foreign ABI, no tavnode.
// Its messages hold raw text from the target (its name, its paths).
target locate(pid_t pid);
} // namespace tav::remote
