// A long scenario runs once per system allocation it makes, with that one failing.
#include <cstdio>

#include "host/books.hpp"
#include "host/fixture.hpp"

namespace {

// Registers, allocates, releases and prints, interleaved; returns with every block released.
void scenario()
{
    std::vector<tavhandle> groups, types;
    std::vector<host::Held> held;
    tavhandle h = 0;
    const auto step = [&held] { ASSERT_EQ(host::books_problem(held), ""); };
    size_t typed = 0; // each type in the next group
    const std::tuple<char, const char *, int32_t> registrations[] = {
        {'g', "net", 8192},   {'g', "storage", 0}, {'g', "ui", 0},      {'p', "", 256}, {'p', "", 64},
        {'t', "rx", 200},     {'t', "tx", 0},      {'t', "page", 4096}, {'p', "", 16},  {'t', "glyph", 20},
        {'t', "journal", 48}, {'p', "", 1024},     {'t', "socket", 128}};
    for (const auto &[kind, name, n] : registrations) {
        if (kind == 'g' && tavgroupregister(name, n, &h) == 0) groups.push_back(h);
        if (kind == 'p') tavpoolregister(n, 0, 0, &h);
        if (kind == 't' && !groups.empty() &&
            tavtyperegister(groups[typed++ % groups.size()], name, n, 0, &h) == 0)
            types.push_back(h);
        step();
    }
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < types.size(); ++i)
            for (int32_t size : {0, 12, 100, 900, 5000}) {
                if (void *p = tavpoolalloc(types[i], size)) held.push_back({types[i], p});
                step();
            }
        for (size_t i = round % 2; i < held.size(); ++i) { // every other block
            ASSERT_EQ(tavpoolfree(held[i].type, held[i].ptr), 0);
            held.erase(held.begin() + static_cast<long>(i));
            step();
        }
        tavpooldumpblockstats(0), tavpooldumpblockstatsdetailed(100, nullptr), tavtypedumpinfo(nullptr);
        step();
    }
    for (; !held.empty(); held.pop_back(), step())
        ASSERT_EQ(tavpoolfree(held.back().type, held.back().ptr), 0);
    for (const tavsizenode *s = tavnode.sizelist; s != nullptr; s = s->next)
        EXPECT_GT(tavnode.pools[s->pindex].apeak, 0u);
}

} // namespace

using FaultInjection = Registry;

TEST_F(FaultInjection, EveryAllocationFailingInTurnLeavesAConsistentRegistry)
{
    host::StdoutCapture quiet; // the tables: shown only when something failed
    [] {
        scenario(); // once first: the process-wide block record is made by the first allocation
        tavshutdown();
        const long before = host::calloc_calls();
        scenario();
        const long total = host::calloc_calls() - before;
        ASSERT_GT(total, 40) << "the scenario should make many system allocations";
        tavshutdown();
        for (long nth = 1; nth <= total; ++nth) {
            SCOPED_TRACE(testing::Message() << "allocation " << nth << " of " << total << " fails");
            const long start = host::calloc_calls();
            host::fail_calloc(static_cast<int>(nth));
            scenario();
            host::fail_calloc_never();
            ASSERT_GE(host::calloc_calls() - start, nth) << "the failure was never reached";
            ASSERT_EQ(tavshutdown(), 0);
            ASSERT_EQ(host::books_problem({}), "");
            ASSERT_EQ(tavnode.ngroups + tavnode.ntypes + tavnode.npools, 0);
            if (HasFatalFailure()) return;
        }
    }();
    if (const std::string out = quiet.take(); HasFailure()) std::fputs(out.c_str(), stderr);
}
