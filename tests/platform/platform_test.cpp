#include <gtest/gtest.h>

#include <cstring>

#include "platform/zuno.h"

TEST(Platform, ProcessNameIsTheProgramsName)
{
    EXPECT_STREQ(zunoGetProcessName(), "tav_platform_test");
}

TEST(Platform, NamespaceRegistryKeepsMembersPerNamespace)
{
    zunoNamespaceClear();
    EXPECT_EQ(zunoNamespaceAdd("netTavMemType", "rx-buffers", 0), 0);
    EXPECT_EQ(zunoNamespaceAdd("netTavMemType", "tx-buffers", 0), 0);
    EXPECT_EQ(zunoNamespaceAdd("netTavMemType", "rx-buffers", 0), 1);
    EXPECT_EQ(zunoNamespaceAdd("diskTavMemType", "rx-buffers", 0), 0);
    EXPECT_TRUE(zunoNamespaceHas("netTavMemType", "tx-buffers"));
    EXPECT_FALSE(zunoNamespaceHas("diskTavMemType", "tx-buffers"));
    EXPECT_EQ(zunoNamespaceCount("netTavMemType"), 2);
    EXPECT_EQ(zunoNamespaceCount("diskTavMemType"), 1);
    EXPECT_EQ(zunoNamespaceCount("none"), 0);
    zunoNamespaceClear();
    EXPECT_EQ(zunoNamespaceCount("netTavMemType"), 0);
}

TEST(Platform, StrlcpyTruncatesAndAlwaysTerminates)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(strlcpy(buf, "abcdefghij", sizeof buf), 10u);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(strlcpy(buf, "ab", sizeof buf), 2u);
    EXPECT_STREQ(buf, "ab");
    buf[0] = 'q';
    EXPECT_EQ(strlcpy(buf, "abc", 0), 3u);
    EXPECT_EQ(buf[0], 'q');
}
