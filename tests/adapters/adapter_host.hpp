// What the adapter tests share: a daemon's ladder of size classes, a type of
// its own group per library, budgets, and the books audited with nothing held.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "host/books.hpp"
#include "tav.h"

namespace adapters_test {

inline constexpr int32_t kLadder[] = {16,   32,   48,   64,   96,   128,  192,   256,   384,   512,
                                      768,  1024, 1536, 2048, 3072, 4096, 8192, 16384, 32768, 65536};

// A type in a group of the same name, budget 0 for none; the ladder comes first.
inline tavhandle make_type(const char *name, int32_t budget = 0)
{
    tavhandle g = 0, t = 0, p = 0;
    for (size_t i = size_t(tavnode.npools); i < std::size(kLadder); ++i) {
        EXPECT_EQ(tavpoolregister(kLadder[i], 0, 0, &p), 0);
    }
    EXPECT_EQ(tavgroupregister(name, 0, &g), 0);
    EXPECT_EQ(tavtyperegister(g, name, 0, budget, &t), 0) << name;
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

// One oversize block that leaves `left` bytes of the type's budget, so that a
// process-wide hook's one type can be squeezed and let go again.
class Squeeze {
public:
    Squeeze(tavhandle t, int32_t budget, int32_t left)
        : type_(t), block_(tavpoolalloc(t, budget - charged(t) - left))
    {
        EXPECT_NE(block_, nullptr);
    }
    ~Squeeze() { release(); }
    void release()
    {
        if (block_ != nullptr) {
            EXPECT_EQ(tavpoolfree(type_, block_), 0);
        }
        block_ = nullptr;
    }

private:
    tavhandle type_;
    void *block_;
};

// Text that compresses like logs do, the same on every run.
inline std::string sample_text(size_t bytes)
{
    std::string s;
    for (uint32_t i = 0, x = 1; s.size() < bytes; ++i, x = x * 1103515245u + 12345u)
        s += "event " + std::to_string(i) + " host-" + std::to_string(x >> 28) + " took " +
             std::to_string((x >> 8) % 5000) + " us\n";
    s.resize(bytes);
    return s;
}

// A feed of `items` elements with two attributes and `text` characters each.
inline std::string sample_xml(int items, size_t text)
{
    std::string doc = "<?xml version='1.0'?><feed>";
    for (int i = 0; i < items; ++i)
        doc += "<item id='" + std::to_string(i) + "' kind='k" + std::to_string(i % 7) + "'>" +
               std::string(text, char('a' + i % 26)) + "</item>";
    return doc + "</feed>";
}

// Every adapter test of one process-wide hook runs on a registry that stays.
// For the others: a fresh registry per test, audited when it ends.
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
