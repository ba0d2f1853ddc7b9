// What the adapter tests share: the workloads the benchmark times, a type of
// its own group per library, budgets squeezed, the books audited with nothing held.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "bench/workloads/common.hpp"
#include "host/books.hpp"

namespace adapters_test {

using namespace work;

inline tavhandle make_type(const char *name, int32_t budget = 0)
{
    const tavhandle t = register_type(name, budget);
    EXPECT_NE(t, 0u) << name;
    return t;
}

inline int32_t charged(tavhandle t)
{
    int32_t bytes = -1;
    uint32_t refusals = 0;
    EXPECT_EQ(tavtypegetstatistics(t, &bytes, &refusals), 0);
    return bytes;
}

inline uint32_t refusals(tavhandle t)
{
    int32_t bytes = 0;
    uint32_t n = 0;
    EXPECT_EQ(tavtypegetstatistics(t, &bytes, &n), 0);
    return n;
}

// Pooled blocks the type was ever given: what went through it, after all is released.
inline uint64_t allocations(tavhandle t)
{
    uint64_t n = 0;
    for (int32_t p = 0; p < tavnode.npools; ++p) n += tavnode.pools[p].typestats.asucc[t & TAV_INDEX_MASK];
    return n;
}

// One oversize block that leaves `left` bytes of the type's budget, so that a
// process-wide hook's one type can be squeezed and let go again.
class Squeeze {
public:
    Squeeze(tavhandle t, int32_t budget, int32_t left)
        : type_(t), block_(tavpoolalloc(t, budget - charged(t) - left))
    {
        EXPECT_NE(block_, nullptr);
    }
    ~Squeeze() { EXPECT_EQ(tavpoolfree(type_, block_), 0); }

private:
    tavhandle type_;
    void *block_;
};

// A fresh registry per test, audited when it ends (the process-wide hooks'
// tests keep theirs for the life of the process instead).
class Registry : public ::testing::Test {
protected:
    void SetUp() override { tavshutdown(); }
    void TearDown() override
    {
        EXPECT_EQ(host::books_problem({}), "");
        tavshutdown();
    }
};

} // namespace adapters_test
