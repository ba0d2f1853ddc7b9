// The rules every adapter shares (tav/adapters/common.h), without a library.
#include <tav/adapters/common.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "adapter_host.hpp"
#include "host/host.hpp"

using namespace adapters_test;

namespace {

using Rules = Registry;

int32_t size_of(const void *p) { return host::block_size(p); }

TEST_F(Rules, SizesZeroAndBeyondThe32BitCharge)
{
    const tavhandle t = make_type("rules");
    void *zero = tav_adapter_alloc(t, 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(size_of(zero), 16); // a unique pointer of the smallest class
    const uint64_t oversize_before = tavnode.groups[0].bigcount;
    EXPECT_EQ(tav_adapter_alloc(t, size_t{INT32_MAX} + 1), nullptr);
    EXPECT_EQ(tav_adapter_calloc(t, SIZE_MAX / 2 + 2, 2), nullptr) << "a count that wraps to 2 bytes";
    EXPECT_EQ(tav_adapter_realloc(t, zero, size_t{1} << 32), nullptr);
    EXPECT_EQ(tavnode.groups[0].bigcount, oversize_before) << "a refused size reached the library";
    EXPECT_EQ(charged(t), 16);
    EXPECT_EQ(host::captured([&] { tav_adapter_free(nullptr); }), "") << "a null free is nothing to report";
    EXPECT_EQ(tav_adapter_realloc(t, nullptr, 0), nullptr);
    EXPECT_EQ(tav_adapter_realloc(t, zero, 0), nullptr); // frees
}

TEST_F(Rules, ReallocKeepsTheClassMovesAcrossAndNeverFailsAShrink)
{
    const tavhandle t = make_type("rules", 4096);
    auto *p = static_cast<char *>(tav_adapter_calloc(t, 10, 5));
    ASSERT_NE(p, nullptr);
    std::memset(p, 'a', 50);
    EXPECT_EQ(tav_adapter_realloc(t, p, 64), p) << "64 bytes fit the 64-byte class it has";
    EXPECT_EQ(tav_adapter_realloc(t, p, 49), p);
    auto *grown = static_cast<char *>(tav_adapter_realloc(t, p, 1000));
    ASSERT_NE(grown, p);
    EXPECT_EQ(size_of(grown), 1024);
    EXPECT_EQ(std::string(grown, 50), std::string(50, 'a'));
    EXPECT_EQ(grown[50], '\0');
    EXPECT_EQ(charged(t), 1024);
    auto *shrunk = static_cast<char *>(tav_adapter_realloc(t, grown, 100));
    EXPECT_EQ(size_of(shrunk), 128) << "a shrink to another class gives memory back";
    EXPECT_EQ(std::string(shrunk, 50), std::string(50, 'a'));
    auto *big = tav_adapter_realloc(t, shrunk, 3000);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(charged(t), 3072);
    EXPECT_EQ(tav_adapter_realloc(t, big, 2000), big) << "no room for the smaller block: the old one stays";
    EXPECT_EQ(tav_adapter_realloc(t, big, 5000), nullptr) << "beyond the budget";
    EXPECT_EQ(charged(t), 3072);
    tav_adapter_free(big);
}

// A host platform function called back while the library holds the write
// lock: the class list cannot be read, yet nothing deadlocks or unlocks it.
TEST_F(Rules, UnderTheWriteLockASizeKeepsItsBlock)
{
    const tavhandle t = make_type("rules");
    void *p = tav_adapter_alloc(t, 1000);
    int64_t charge = 0;
    void *kept = nullptr;
    host::on_announce() = [&] {
        charge = tav_adapter_charge_of(10);
        kept = tav_adapter_realloc(t, p, 10);
    };
    make_type("other");
    host::on_announce() = nullptr;
    EXPECT_EQ(charge, -1);
    EXPECT_EQ(kept, p);
    EXPECT_EQ(tav_adapter_charge_of(10), 16);
    EXPECT_EQ(tav_adapter_charge_of(70000), 70000) << "no class covers it: charged as asked";
    tav_adapter_free(p);
}

int32_t installs = 0;
int32_t install_answering(void *rc)
{
    ++installs;
    return *static_cast<int32_t *>(rc);
}

TEST_F(Rules, AProcessWideHookTakesOneTypeOnce)
{
    tav_adapter_hook hook = TAV_ADAPTER_HOOK_INIT;
    const tavhandle a = make_type("a"), b = make_type("b");
    int32_t answer = TAV_ADAPTER_TOO_LATE;
    installs = 0;
    EXPECT_EQ(tav_adapter_hook_install(&hook, a, install_answering, &answer), TAV_ADAPTER_TOO_LATE);
    EXPECT_EQ(tav_adapter_hook_type(&hook), 0u) << "a failed install leaves no type behind";
    answer = TAV_ADAPTER_OK;
    EXPECT_EQ(tav_adapter_hook_install(&hook, a + 100, install_answering, &answer), TAV_ADAPTER_BADTYPE);
    EXPECT_EQ(tav_adapter_hook_install(&hook, a, install_answering, &answer), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_adapter_hook_install(&hook, a, install_answering, &answer), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_adapter_hook_install(&hook, b, install_answering, &answer), TAV_ADAPTER_TAKEN);
    EXPECT_EQ(installs, 2) << "installed once, after one refusal";
    EXPECT_EQ(tav_adapter_hook_type(&hook), a);
}

TEST_F(Rules, RacingInstallsInstallOnce)
{
    tav_adapter_hook hook = TAV_ADAPTER_HOOK_INIT;
    const tavhandle a = make_type("a"), b = make_type("b");
    int32_t answer = TAV_ADAPTER_OK, results[8] = {};
    installs = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            results[i] = tav_adapter_hook_install(&hook, i % 2 ? a : b, install_answering, &answer);
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(installs, 1);
    const tavhandle won = tav_adapter_hook_type(&hook);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(results[i], (i % 2 ? a : b) == won ? TAV_ADAPTER_OK : TAV_ADAPTER_TAKEN) << i;
}

TEST_F(Rules, CxxErrorsNameTheLibraryAndTheCause)
{
    EXPECT_EQ(tav::adapters::to_error(TAV_ADAPTER_OK), std::error_code());
    EXPECT_EQ(tav::adapters::to_error(TAV_ADAPTER_BUSY), tav::errc::library_busy);
    try {
        tav::adapters::check(TAV_ADAPTER_TOO_LATE, "OpenSSL");
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), tav::errc::too_late);
        EXPECT_EQ(std::string(e.what()).rfind("OpenSSL: too late: the library allocated before", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(std::string(tav_adapter_message(TAV_ADAPTER_TOO_LATE)),
              tav::make_error_code(tav::errc::too_late).message());
}

} // namespace
