#include <cstring>

#include "host/fixture.hpp"

using GroupRegistry = Registry;

TEST_F(GroupRegistry, RegistersInOrderWithHandlesOfKindOne)
{
    EXPECT_EQ(group("net"), 0x01000000u);
    EXPECT_EQ(group("disk", 4096), 0x01000001u);
    ASSERT_EQ(tavnode.ngroups, 2);
    EXPECT_EQ(tavnode.groups[1].inuse, 1u);
    EXPECT_EQ(tavnode.groups[1].index, 1u);
    EXPECT_STREQ(tavnode.groups[1].name, "disk");
    EXPECT_EQ(tavnode.groups[1].bmax, 4096);
}
