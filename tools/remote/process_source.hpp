// Reading another process's memory with process_vm_readv: the target is never
// attached, stopped, signalled or written to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace tav::remote {
class process_source {
public:
    explicit process_source(pid_t pid) : pid_(pid) {}
    // Copies `bytes` bytes at `address` of the target; false if not all of them could be read.
    bool read(std::uintptr_t address, void *into, std::size_t bytes);
    int last_errno() const { return errno_; } // of the last failed read
    std::uint64_t reads() const { return reads_; }
    std::uint64_t bytes() const { return bytes_; }
    // The user's line for the last failure: exited, not permitted, or unreadable memory.
    std::string explain(const std::string &target) const;

private:
    pid_t pid_;
    int errno_ = 0;
    std::uint64_t reads_ = 0, bytes_ = 0;
};
} // namespace tav::remote
