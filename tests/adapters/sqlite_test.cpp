// SQLite with its whole heap charged to one type: sqlite3_memory_used() is the
// type's charge; a squeezed budget gives SQLITE_NOMEM while reads go on; the
// uninstall waits for the last connection. SQLiteTooLate runs alone.
#include <tav/adapters/sqlite.h>

#include <string>

#include "adapter_host.hpp"

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

int64_t query(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return v;
}

// rows rows of (id, a 40-byte name, id % 100) in one transaction; SQLite's code.
int fill(sqlite3 *db, int first, int rows)
{
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, name TEXT, v INTEGER);"
                              "BEGIN", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?, ?)", -1, &st, nullptr);
    for (int i = first; rc == SQLITE_OK && i < first + rows; ++i) {
        const std::string name = ("name-" + std::to_string(i) + std::string(40, 'n')).substr(0, 40);
        sqlite3_bind_int(st, 1, i);
        sqlite3_bind_text(st, 2, name.c_str(), 40, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, i % 100);
        rc = sqlite3_step(st) == SQLITE_DONE ? sqlite3_reset(st) : sqlite3_errcode(db);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, rc == SQLITE_OK ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
}

TEST(SQLiteHook, MemoryUsedIsTheChargeAndQueriesAreRight)
{
    const tavhandle t = hooked();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(fill(db, 0, 20000), SQLITE_OK);
    EXPECT_EQ(query(db, "SELECT count(*) FROM t"), 20000);
    EXPECT_EQ(query(db, "SELECT sum(v) FROM t"), 200 * 4950);
    ASSERT_EQ(sqlite3_exec(db, "CREATE INDEX tv ON t(v); UPDATE t SET v = v + 1 WHERE v < 50", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    EXPECT_EQ(query(db, "SELECT sum(v) FROM t WHERE v <= 50"), 200 * (50 * 51 / 2 + 50));
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
    ASSERT_EQ(fill(db, 0, 5000), SQLITE_OK);
    {
        const Squeeze squeeze(t, kBudget, 1 << 20);
        EXPECT_EQ(fill(db, 5000, 40000), SQLITE_NOMEM);
        EXPECT_EQ(query(db, "SELECT count(*) FROM t"), 5000) << "the failed transaction is rolled back";
    }
    EXPECT_EQ(fill(db, 5000, 40000), SQLITE_OK);
    EXPECT_EQ(query(db, "SELECT count(*) FROM t"), 45000);
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
    EXPECT_EQ(fill(db, 0, 1000), SQLITE_OK) << "the connection still works";
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    EXPECT_EQ(tav_sqlite_uninstall(), TAV_ADAPTER_OK);
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_EQ(fill(db, 0, 1000), SQLITE_OK);
    EXPECT_EQ(charged(t), 0) << "SQLite's own allocator";
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    sqlite3_shutdown();
    {
        const tav::adapters::sqlite::hook hook{tav::type_handle(t)};
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        EXPECT_EQ(fill(db, 0, 1000), SQLITE_OK);
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
    EXPECT_EQ(fill(db, 0, 100), SQLITE_OK);
    EXPECT_EQ(charged(the_type()), 0);
    sqlite3_close(db);
}

} // namespace
