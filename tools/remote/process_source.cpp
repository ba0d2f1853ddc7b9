#include "process_source.hpp"

#include "proc_maps.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/uio.h>

namespace tav::remote {

bool process_source::vectored(const iovec *local, const iovec *remote, std::size_t count, std::size_t bytes)
{
    ++reads_;
    if (clock::now() >= deadline_) {
        errno_ = ETIMEDOUT;
        return false;
    }
    const ssize_t got = ::process_vm_readv(pid_, local, count, remote, count, 0);
    if (got < 0) {
        errno_ = errno;
        return false;
    }
    bytes_ += static_cast<std::uint64_t>(got);
    if (static_cast<std::size_t>(got) != bytes) {
        errno_ = EFAULT; // a range ran into unmapped memory
        return false;
    }
    return true;
}

bool process_source::read(std::uintptr_t address, void *into, std::size_t bytes)
{
    if (bytes == 0) return true;
    const iovec local{into, bytes}, remote{reinterpret_cast<void *>(address), bytes};
    return vectored(&local, &remote, 1, bytes);
}

bool process_source::read_all(std::span<const tav::read_request> reads)
{
    constexpr std::size_t most = IOV_MAX;
    iovec local[most], remote[most];
    while (!reads.empty()) {
        const std::size_t n = std::min(reads.size(), most);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < n; ++i) {
            local[i] = {reads[i].into, reads[i].bytes};
            remote[i] = {reinterpret_cast<void *>(reads[i].from), reads[i].bytes};
            bytes += reads[i].bytes;
        }
        if (!vectored(local, remote, n, bytes)) return false;
        reads = reads.subspan(n);
    }
    return true;
}

std::string process_source::explain(const std::string &target) const
{
    switch (errno_) {
    case ESRCH:
        return target + " exited";
    case ETIMEDOUT:
        return target + ": no complete reading before the deadline";
    case EPERM:
    case EACCES:
        return not_permitted(pid_);
    default:
        return target + ": its control block points at memory that cannot be read (garbage in tavnode?)";
    }
}

} // namespace tav::remote
