#include "process_source.hpp"

#include "proc_maps.hpp"

#include <cerrno>
#include <sys/uio.h>

namespace tav::remote {

bool process_source::read(std::uintptr_t address, void *into, std::size_t bytes)
{
    ++reads_;
    if (bytes == 0) return true;
    if (clock::now() >= deadline_) {
        errno_ = ETIMEDOUT;
        return false;
    }
    iovec local{into, bytes};
    iovec remote{reinterpret_cast<void *>(address), bytes};
    const ssize_t got = ::process_vm_readv(pid_, &local, 1, &remote, 1, 0);
    if (got < 0) {
        errno_ = errno;
        return false;
    }
    bytes_ += static_cast<std::uint64_t>(got);
    if (static_cast<std::size_t>(got) != bytes) {
        errno_ = EFAULT; // the range ran into unmapped memory
        return false;
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
