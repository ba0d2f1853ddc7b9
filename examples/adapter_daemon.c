/*
 * A small daemon whose libraries' heaps are charged to types of their own:
 * Lua handlers turn events into records, zlib compresses them and SQLite
 * keeps them in a journal. Each library has a budget, so a runaway handler
 * script ends in a Lua memory error instead of taking the process down.
 *
 *   tav-adapter-daemon              20 rounds, then the type table, and exit
 *   tav-adapter-daemon --seconds N  a round a second for N seconds: watch it
 *                                   with `tavtop PID` meanwhile
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <lauxlib.h>
#include <lualib.h>

#include <tav/adapters/lua.h>
#include <tav/adapters/sqlite.h>
#include <tav/adapters/zlib.h>
#include <tav/platform/zuno.h>

struct tavnode tavnode; /* zero-filled: the empty registry */

/* One group and one type per library; a budget of 0 is none. */
static tavhandle library_type(const char *name, int32_t budget)
{
    tavhandle group = 0, type = 0;
    if (tavgroupregister(name, 0, &group) != TAV_OK ||
        tavtyperegister(group, name, 0, budget, &type) != TAV_OK) {
        fprintf(stderr, "cannot register %s\n", name);
        exit(1);
    }
    return type;
}

static int32_t charged(tavhandle type)
{
    int32_t bytes = 0;
    uint32_t refusals = 0;
    tavtypegetstatistics(type, &bytes, &refusals);
    return bytes;
}

/* The handler: an event's record, built by Lua. */
static const char handler[] = "local n = ... local parts = {}\n"
                              "for i = 1, 200 do parts[i] = string.format('%d:%d', n, i * n % 97) end\n"
                              "return table.concat(parts, ',')";
/* A handler gone wrong: it keeps everything it makes. */
static const char runaway[] = "local t = {} for i = 1, 1e8 do t[i] = string.rep('x', 100) .. i end";

/* The record compressed by the daemon's one zlib stream; its size, or -1. */
static long compress_record(z_stream *s, const char *record, unsigned char *out, size_t room)
{
    s->next_in = (Bytef *)(uintptr_t)record;
    s->avail_in = (uInt)strlen(record);
    s->next_out = out;
    s->avail_out = (uInt)room;
    const int rc = deflate(s, Z_FINISH);
    const long n = (long)s->total_out;
    deflateReset(s);
    return rc == Z_STREAM_END ? n : -1;
}

int main(int argc, char **argv)
{
    const int seconds = argc == 3 && strcmp(argv[1], "--seconds") == 0 ? atoi(argv[2]) : 0;
    const int rounds = seconds > 0 ? seconds : 20;

    /* The size classes, then a type per library. */
    static const int32_t classes[] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 65536};
    tavhandle pool = 0;
    for (size_t i = 0; i < sizeof classes / sizeof classes[0]; ++i) tavpoolregister(classes[i], 0, 0, &pool);
    const tavhandle sqlite = library_type("sqlite", 32 << 20);
    const tavhandle zlib = library_type("zlib", 1 << 20);
    const tavhandle lua = library_type("lua-handlers", 8 << 20);

    /* SQLite's hook is process-wide: before SQLite's first allocation. */
    int32_t rc = tav_sqlite_install(sqlite);
    if (rc != TAV_ADAPTER_OK) {
        fprintf(stderr, "SQLite: %s\n", tav_adapter_message(rc));
        return 1;
    }
    sqlite3 *db = NULL;
    lua_State *L = tav_lua_newstate(lua);
    z_stream deflater;
    memset(&deflater, 0, sizeof deflater);
    tav_zlib_use(&deflater, zlib); /* per stream: before deflateInit */
    if (sqlite3_open(":memory:", &db) != SQLITE_OK || L == NULL ||
        deflateInit(&deflater, Z_BEST_COMPRESSION) != Z_OK ||
        sqlite3_exec(db, "CREATE TABLE journal(id INTEGER PRIMARY KEY, record BLOB)", NULL, NULL, NULL) !=
            SQLITE_OK) {
        fprintf(stderr, "start-up failed\n");
        return 1;
    }
    luaL_openlibs(L);
    sqlite3_stmt *insert = NULL;
    sqlite3_prepare_v2(db, "INSERT INTO journal(record) VALUES(?)", -1, &insert, NULL);
    printf("adapter daemon, pid %d\n", (int)getpid());

    for (int round = 1; round <= rounds; ++round) {
        for (int event = 0; event < 500; ++event) {
            unsigned char packed[8192];
            if (luaL_loadstring(L, handler) != LUA_OK) return 1;
            lua_pushinteger(L, round * 1000 + event);
            if (lua_pcall(L, 1, 1, 0) != LUA_OK) return 1;
            const long n = compress_record(&deflater, lua_tostring(L, -1), packed, sizeof packed);
            lua_pop(L, 1);
            if (n < 0) continue;
            sqlite3_bind_blob(insert, 1, packed, (int)n, SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE) printf("  journal: %s\n", sqlite3_errmsg(db));
            sqlite3_reset(insert);
        }
        if (round % 5 == 0) { /* a runaway handler meets the Lua budget */
            luaL_loadstring(L, runaway);
            const int status = lua_pcall(L, 0, 0, 0);
            printf("  runaway handler stopped: %s (%s)\n",
                   status == LUA_ERRMEM ? "LUA_ERRMEM" : "other error", lua_tostring(L, -1));
            lua_pop(L, 1);
            lua_gc(L, LUA_GCCOLLECT, 0);
        }
        printf("round %2d: %lld records; charged sqlite %d, zlib %d, lua-handlers %d bytes\n", round,
               (long long)sqlite3_last_insert_rowid(db), charged(sqlite), charged(zlib), charged(lua));
        fflush(stdout);
        if (seconds > 0) sleep(1);
    }

    tavtypedumpinfo(NULL);
    deflateEnd(&deflater);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    lua_close(L);
    rc = tav_sqlite_uninstall();
    printf("after closing: sqlite %d, zlib %d, lua-handlers %d bytes charged; SQLite hook off: %s\n",
           charged(sqlite), charged(zlib), charged(lua), tav_adapter_message(rc));
    return 0;
}
