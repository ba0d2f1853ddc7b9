// Reading another process's memory with process_vm_readv: the target is never
// attached, stopped, signalled or written to.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

#include <tav/snapshot.hpp>

struct iovec;

namespace tav::remote {
class process_source {
public:
    using clock = std::chrono::steady_clock;
    // Reads fail with ETIMEDOUT from the deadline on: a reading of many parts
    // stops there. One read that blocks in the kernel (a target can stall its
    // own page faults) is only escaped on another thread: see background.hpp.
    explicit process_source(pid_t pid, clock::time_point deadline = clock::time_point::max())
        : pid_(pid), deadline_(deadline)
    {
    }
    // Copies `bytes` bytes at `address` of the target; false if not all of them could be read.
    bool read(std::uintptr_t address, void *into, std::size_t bytes);
    // All of them, as few calls as the kernel allows (IOV_MAX ranges a call).
    bool read_all(std::span<const tav::read_request> reads);
    int last_errno() const { return errno_; } // of the last failed read
    std::uint64_t reads() const { return reads_; }
    std::uint64_t bytes() const { return bytes_; }
    // The user's line for the last failure: exited, not permitted, timed out, or unreadable memory.
    std::string explain(const std::string &target) const;

private:
    bool vectored(const iovec *local, const iovec *remote, std::size_t count, std::size_t bytes);
    pid_t pid_;
    clock::time_point deadline_;
    int errno_ = 0;
    std::uint64_t reads_ = 0, bytes_ = 0;
};
} // namespace tav::remote
