#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/fixture.hpp"

namespace {

std::string double_free(const void *p, const char *type)
{
    char line[128];
    std::snprintf(line, sizeof line, "tavtest: Double memory free %p type \"%s\"!!!\n", p, type);
    return line;
}

// Releases with standard output captured; returns what was printed.
std::string release(tavhandle h, void *p, int32_t expect)
{
    return host::captured([&] { EXPECT_EQ(tavpoolfree(h, p), expect); });
}

void craft(void *at, uint8_t flags, int32_t size, tavhandle h)
{
    const tavblkhdr hd{flags, {}, TAV_BLK_MAGIC, size, 0, h, 0};
    std::memcpy(at, &hd, sizeof hd);
}

} // namespace

using ReleaseCodes = Registry;

TEST_F(ReleaseCodes, ForeignMemoryIsNeverReleased)
{
    const tavhandle a = type(group("net"), "a");
    pool(64);
    EXPECT_EQ(release(a, nullptr, -1), "tavtest: NULL pointer free!!!\n");
    struct Case {
        uint8_t flags;
        int32_t size;
        tavhandle handle;
        int32_t rc;
        bool reported;
        uint32_t ffail;
    };
    const Case cases[] = {
        {0, 64, a, -1, false, 0}, // every check passes, yet the block is not ours
        {0, 20, a, -1, false, 0},      {2, 100, a, -1, false, 0},
        {0, 0, a, -2, false, 0},       {0, 100, a, -2, false, 0}, // no pool covers it
        {1, 64, a, -4, true, 0},       {3, 100, a, -4, true, 0},
        {0, 64, a + 5, -4, false, 1}, // no such type: the pool counts it
        {2, 100, a + 5, -4, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << int{c.flags} << " size " << c.size);
        alignas(16) unsigned char buf[32 + 64] = {}, copy[sizeof buf];
        craft(buf, c.flags, c.size, c.handle);
        std::memcpy(copy, buf, sizeof buf);
        const Row before = counters();
        const uint32_t ffail = tavnode.pools[0].ffail;
        EXPECT_EQ(release(c.handle, buf + 32, c.rc), c.reported ? double_free(buf + 32, "a") : "");
        EXPECT_EQ(std::memcmp(buf, copy, sizeof buf), 0);
        EXPECT_EQ(tavnode.pools[0].ffail - ffail, c.ffail);
        tavnode.pools[0].ffail = ffail; // the one counter a release of no known type moves
        EXPECT_EQ(counters(), before);
    }
    // A valid-looking header inside a live block does not make its interior releasable.
    auto *p = static_cast<unsigned char *>(tavpoolalloc(a, 64));
    ASSERT_NE(p, nullptr);
    craft(p, 0, 64, a);
    const Row before = counters();
    EXPECT_EQ(release(a, p + 32, -1), "");
    EXPECT_EQ(counters(), before);
    EXPECT_EQ(tavpoolfree(a, p), 0);
}

using ReleaseCharge = Registry;
