// SQLite with its whole heap charged to one type: sqlite3_memory_used() is the
// type's charge; a squeezed budget gives SQLITE_NOMEM while reads go on; the
// uninstall waits for the last connection. SQLiteTooLate runs alone.
#include <tav/adapters/sqlite.h>

#include "adapter_host.hpp"
#include "bench/workloads/sqlite.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 256 << 20;

tavhandle the_type()
{
    static const tavhandle t = make_type("sqlite", kBudget);
    return t;
}

tavhandle hooked()
{
    EXPECT_EQ(tav_sqlite_install(the_type()), TAV_ADAPTER_OK);
    return the_type();
}

TEST(SQLiteHook, MemoryUsedIsTheChargeAndQueriesAreRight)
{
    const tavhandle t = hooked();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(sqlite_fill(db, 0, 20000), SQLITE_OK);
    EXPECT_EQ(sqlite_query(db, "SELECT count(*) FROM t"), 20000);
    EXPECT_EQ(sqlite_query(db, "SELECT sum(v) FROM t"), 200 * 4950);
    ASSERT_EQ(sqlite3_exec(db, "CREATE INDEX tv ON t(v); UPDATE t SET v = v + 1 WHERE v < 50", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite_query(db, "SELECT sum(v) FROM t WHERE v <= 50"), 200 * (50 * 51 / 2 + 50));
    EXPECT_GT(charged(t), 1 << 20);
    EXPECT_EQ(sqlite3_memory_used(), charged(t)) << "xSize and xRoundup from the header and the classes";
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    EXPECT_EQ(charged(t), 0);
}

TEST(SQLiteHook, ASqueezedBudgetGivesNomemAndReadsGoOn)
{
    const tavhandle t = hooked();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(sqlite_fill(db, 0, 5000), SQLITE_OK);
    {
        const Squeeze squeeze(t, kBudget, 1 << 20);
        EXPECT_EQ(sqlite_fill(db, 5000, 40000), SQLITE_NOMEM);
        EXPECT_EQ(sqlite_query(db, "SELECT count(*) FROM t"), 5000)
            << "the failed transaction is rolled back";
    }
    EXPECT_EQ(sqlite_fill(db, 5000, 40000), SQLITE_OK);
    EXPECT_EQ(sqlite_query(db, "SELECT count(*) FROM t"), 45000);
    EXPECT_EQ(sqlite3_memory_used(), charged(t));
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
}

// Last: the hook goes, SQLite's own allocator comes back, and the C++ hook
// puts ours in again.
TEST(SQLiteHook, TheUninstallWaitsForTheLastConnection)
{
    const tavhandle t = hooked();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_EQ(tav::adapters::sqlite::uninstall(), tav::errc::library_busy);
    EXPECT_EQ(sqlite_fill(db, 0, 1000), SQLITE_OK) << "the connection still works";
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    EXPECT_EQ(tav_sqlite_uninstall(), TAV_ADAPTER_OK);
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_EQ(sqlite_fill(db, 0, 1000), SQLITE_OK);
    EXPECT_EQ(charged(t), 0) << "SQLite's own allocator";
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    sqlite3_shutdown();
    {
        const tav::adapters::sqlite::hook hook{tav::type_handle(t)};
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        EXPECT_EQ(sqlite_fill(db, 0, 1000), SQLITE_OK);
        EXPECT_EQ(sqlite3_memory_used(), charged(t));
        EXPECT_GT(charged(t), 0);
        EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    }
    EXPECT_EQ(tav_adapter_hook_type(&tav_sqlite_hook), 0u);
    EXPECT_EQ(charged(t), 0);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST(SQLiteTooLate, AnInstallAfterSQLiteInitialisedIsRefused)
{
    ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
    EXPECT_EQ(tav_sqlite_install(the_type()), TAV_ADAPTER_TOO_LATE);
    EXPECT_THROW(tav::adapters::sqlite::hook{tav::type_handle(the_type())}, std::system_error);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_EQ(sqlite_fill(db, 0, 100), SQLITE_OK);
    EXPECT_EQ(charged(the_type()), 0);
    sqlite3_close(db);
}

} // namespace
