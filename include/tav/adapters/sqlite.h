/*
 * SQLite: its whole heap charged to one type, through SQLITE_CONFIG_MALLOC.
 * Process-wide, and SQLite takes the methods only before it initialises
 * (sqlite3_initialize, or implicitly the first sqlite3_open): install it at
 * start-up, before any thread uses SQLite (sqlite3_config is not thread-safe).
 * xSize and xRoundup answer from the block header and the size classes, so
 * sqlite3_memory_used() is exactly the type's charge.
 *
 *   tav_sqlite_install(type)   C: TAV_ADAPTER_OK, _BADTYPE, _TOO_LATE, _TAKEN
 *   tav_sqlite_uninstall()     sqlite3_shutdown(), then SQLite's previous
 *                              allocator; _BUSY (nothing changes) while blocks
 *                              remain charged, i.e. a connection is still open
 *   tav::adapters::sqlite::hook   C++: installs, or throws std::system_error;
 *                                 uninstalls when destroyed
 */
#ifndef TAV_ADAPTERS_SQLITE_H
#define TAV_ADAPTERS_SQLITE_H

#include <sqlite3.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

TAV_ADAPTER_SHARED tav_adapter_hook tav_sqlite_hook = TAV_ADAPTER_HOOK_INIT;
TAV_ADAPTER_SHARED sqlite3_mem_methods tav_sqlite_previous; /* put back by the uninstall */

/* SQLite asks only for sizes xRoundup gave, never 0. */
static inline void *tav_sqlite_malloc(int n)
{
    return n <= 0 ? NULL : tav_adapter_alloc(tav_adapter_hook_type(&tav_sqlite_hook), (size_t)n);
}

static inline void *tav_sqlite_realloc(void *p, int n)
{
    return n <= 0 ? NULL : tav_adapter_realloc(tav_adapter_hook_type(&tav_sqlite_hook), p, (size_t)n);
}

static inline void tav_sqlite_free(void *p) { tav_adapter_free(p); }

static inline int tav_sqlite_size(void *p) { return p == NULL ? 0 : tav_adapter_header(p)->size; }

static inline int tav_sqlite_roundup(int n)
{
    const int64_t charge = n <= 0 ? n : tav_adapter_charge_of((size_t)n);
    return charge < n ? n : (int)charge;
}

static inline int tav_sqlite_init(void *unused)
{
    (void)unused;
    return SQLITE_OK;
}

static inline void tav_sqlite_shutdown(void *unused) { (void)unused; }

static inline int32_t tav_sqlite_set(void *unused)
{
    (void)unused;
    static const sqlite3_mem_methods methods = {
        tav_sqlite_malloc,  tav_sqlite_free, tav_sqlite_realloc,  tav_sqlite_size,
        tav_sqlite_roundup, tav_sqlite_init, tav_sqlite_shutdown, NULL};
    /* Both answer SQLITE_MISUSE once SQLite has initialised. */
    if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &tav_sqlite_previous) != SQLITE_OK ||
        sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) != SQLITE_OK)
        return TAV_ADAPTER_TOO_LATE;
    return TAV_ADAPTER_OK;
}

static inline int32_t tav_sqlite_install(tavhandle type)
{
    return tav_adapter_hook_install(&tav_sqlite_hook, type, tav_sqlite_set, NULL);
}

static inline int32_t tav_sqlite_uninstall(void)
{
    tav_adapter_hook *hook = &tav_sqlite_hook;
    pthread_mutex_lock(&hook->lock);
    int32_t rc = TAV_ADAPTER_OK;
    if (hook->type != 0) {
        int32_t charged = 0;
        uint32_t refusals = 0;
        /* A connection still open holds blocks: SQLite must not shut down under it. */
        if (tavtypegetstatistics(hook->type, &charged, &refusals) != TAV_OK || charged != 0)
            rc = TAV_ADAPTER_BUSY;
        else if (sqlite3_shutdown() != SQLITE_OK ||
                 sqlite3_config(SQLITE_CONFIG_MALLOC, &tav_sqlite_previous) != SQLITE_OK)
            rc = TAV_ADAPTER_FAILED;
        else
            __atomic_store_n(&hook->type, (tavhandle)0, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&hook->lock);
    return rc;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::sqlite {
[[nodiscard]] inline std::error_code install(type_handle type) noexcept
{
    return to_error(tav_sqlite_install(type.value()));
}
[[nodiscard]] inline std::error_code uninstall() noexcept { return to_error(tav_sqlite_uninstall()); }

// SQLite's heap charged to `type` while the hook lives. Close every connection
// before it ends: with blocks still charged the hook stays in place.
class hook {
public:
    explicit hook(type_handle type) { check(tav_sqlite_install(type.value()), "SQLite"); }
    ~hook() { (void)tav_sqlite_uninstall(); }
    hook(const hook &) = delete;
    hook &operator=(const hook &) = delete;
};
} // namespace tav::adapters::sqlite
#endif

#endif /* TAV_ADAPTERS_SQLITE_H */
