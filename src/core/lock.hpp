// The one lock: every operation that touches the registry holds tavnode.lock
// through one of these guards, so every return path releases it.
//
// A guard that could not take the lock tests false, and its operation fails
// with its first failure code, having changed nothing. The one exception is a
// reader on a thread that already holds the write lock (EDEADLK): a host that
// queries from inside zunoNamespaceAdd, or under its own write hold. That
// reader goes on under the writer's hold and must not release it.
#pragma once

#include <pthread.h>

#include <cerrno>

#include "tav.h"

namespace tav {

template <bool Write> class Lock {
public:
    Lock() : rc_(Write ? pthread_rwlock_wrlock(&tavnode.lock) : pthread_rwlock_rdlock(&tavnode.lock)) {}
    ~Lock()
    {
        if (rc_ == 0) pthread_rwlock_unlock(&tavnode.lock);
    }
    explicit operator bool() const { return rc_ == 0 || (!Write && rc_ == EDEADLK); }
    // What the lock function returned: 0, or the error it reported.
    int status() const { return rc_; }

    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    Lock(Lock &&) = delete;
    Lock &operator=(Lock &&) = delete;

private:
    int rc_;
};

using ReadLock = Lock<false>;
using WriteLock = Lock<true>;

} // namespace tav
