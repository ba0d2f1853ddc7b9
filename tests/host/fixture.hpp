// The fixture every library test derives from: each test starts and ends
// with an empty registry and no calloc failure armed.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include "host/host.hpp"

class Registry : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override
    {
        // Every path that takes the lock must release it: a held lock fails here, not in a hang later.
        ASSERT_EQ(pthread_rwlock_trywrlock(&tavnode.lock), 0) << "the test left tavnode.lock held";
        pthread_rwlock_unlock(&tavnode.lock);
        reset();
    }

    static void reset()
    {
        host::fail_calloc_never();
        tavshutdown();
        host::announcements().clear();
        host::on_announce() = nullptr;
    }

    static tavhandle group(const char *name, int32_t bmax = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavgroupregister(name, bmax, &h), 0) << name;
        return h;
    }
    static tavhandle type(tavhandle g, const char *name, int32_t defsize = 0, int32_t bmax = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavtyperegister(g, name, defsize, bmax, &h), 0) << name;
        return h;
    }
    static tavhandle pool(int32_t size, int32_t inc = 0, int32_t max = 0)
    {
        tavhandle h = 0;
        EXPECT_EQ(tavpoolregister(size, inc, max, &h), 0) << size;
        return h;
    }
};
