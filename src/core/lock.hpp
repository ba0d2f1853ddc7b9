// The one lock: every operation that touches the registry holds tavnode.lock
// through one of these guards, so every return path releases it.
#pragma once

#include <pthread.h>

#include "tav.h"

namespace tav {

class ReadLock {
public:
    ReadLock() { pthread_rwlock_rdlock(&tavnode.lock); }
    ~ReadLock() { pthread_rwlock_unlock(&tavnode.lock); }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;
    ReadLock(ReadLock &&) = delete;
    ReadLock &operator=(ReadLock &&) = delete;
};

class WriteLock {
public:
    WriteLock() { pthread_rwlock_wrlock(&tavnode.lock); }
    ~WriteLock() { pthread_rwlock_unlock(&tavnode.lock); }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
    WriteLock(WriteLock &&) = delete;
    WriteLock &operator=(WriteLock &&) = delete;
};

} // namespace tav
