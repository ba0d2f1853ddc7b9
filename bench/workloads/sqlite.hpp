// SQLite: a table filled and queried (see common.hpp). Whose heap it charges is
// decided by the hook.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace work {

// Rows (id, a 40-byte name, id % 100) in table t, in one transaction; SQLite's code.
inline int sqlite_fill(sqlite3 *db, int first, int rows)
{
    sqlite3_stmt *st = nullptr;
    int rc =
        sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, name TEXT, v INTEGER); BEGIN",
                     nullptr, nullptr, nullptr);
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

// The first column of the first row, or -1.
inline int64_t sqlite_query(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return v;
}

} // namespace work
