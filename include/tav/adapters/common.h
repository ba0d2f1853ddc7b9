/*
 * What every adapter shares: the allocation rules that route a library's heap
 * through tavpoolalloc/tavpoolfree and charge it to one memory type.
 *
 *  - Sizes: a request of 0 bytes gets a block of the smallest class (a unique
 *    pointer, like malloc(0)); one beyond INT32_MAX, the largest charge a block
 *    can carry, is refused here and never reaches the library.
 *  - Every block is zero-filled (calloc underneath), whether asked for or not.
 *  - Frees find the type in the block's header, so they need no context (the
 *    process-wide hooks get none) and a null pointer is nothing to do.
 *  - Reallocation keeps the block when the new size falls in the class it
 *    already has; otherwise it moves the block (allocate, copy, release),
 *    except that a shrink never fails: when no new block can be had, the old
 *    one, large enough, stays. A new size of 0 frees (a null block: nothing)
 *    and answers NULL.
 *
 * A library whose hook is process-wide (OpenSSL, SQLite, libxml2, libcurl)
 * charges one type for the life of the process: its state is one object per
 * process however many objects and shared libraries include these headers,
 * and a second, different type is refused rather than mixing two heaps.
 *
 * The C form is static inline functions; C++20 hosts also get the C++ form
 * (namespace tav::adapters): std::error_code results, exceptions from
 * constructors, owning handles for the libraries' objects.
 */
#ifndef TAV_ADAPTERS_COMMON_H
#define TAV_ADAPTERS_COMMON_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "../../tav.h"

#if defined(__GLIBC__) && !defined(__USE_XOPEN2K) && !defined(__USE_UNIX98)
#error "tav/adapters need POSIX threads: compile with -std=gnu11 or -D_POSIX_C_SOURCE=200809L"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the adapters' install calls; 0 is success. */
enum {
    TAV_ADAPTER_OK = 0,
    TAV_ADAPTER_BADTYPE = -1,  /* the handle names no live type */
    TAV_ADAPTER_TOO_LATE = -2, /* the library allocated before the hook: it keeps its own allocator */
    TAV_ADAPTER_TAKEN = -3,    /* the hook charges another type already */
    TAV_ADAPTER_BUSY = -4,     /* the library still holds blocks charged to the type: the hook stays */
    TAV_ADAPTER_FAILED = -5    /* the library refused the call */
};

static inline const char *tav_adapter_message(int32_t status)
{
    switch (status) {
    case TAV_ADAPTER_OK:
        return "success";
    case TAV_ADAPTER_BADTYPE:
        return "the handle names no live type";
    case TAV_ADAPTER_TOO_LATE:
        return "too late: the library allocated before its hook was installed and keeps its own allocator";
    case TAV_ADAPTER_TAKEN:
        return "the library's hook charges another type already";
    case TAV_ADAPTER_BUSY:
        return "the library still holds blocks charged to the type: its hook stays";
    default:
        return "the library refused the call";
    }
}

/* The largest request passed on: a block's charge is a 32-bit signed value. */
#define TAV_ADAPTER_MAX_REQUEST ((size_t)INT32_MAX)

/* Contexts carry the type handle itself (kind and index fit any pointer). */
#define TAV_ADAPTER_CONTEXT(type) ((void *)(uintptr_t)(type))
#define TAV_ADAPTER_TYPE(context) ((tavhandle)(uintptr_t)(context))

static inline const tavblkhdr *tav_adapter_header(const void *block) { return (const tavblkhdr *)block - 1; }

static inline int tav_adapter_type_live(tavhandle type)
{
    int32_t charged = 0;
    uint32_t refusals = 0;
    return tavtypegetstatistics(type, &charged, &refusals) == TAV_OK;
}

/* A zero-filled block of at least n bytes charged to type, or NULL. */
static inline void *tav_adapter_alloc(tavhandle type, size_t n)
{
    if (n > TAV_ADAPTER_MAX_REQUEST) return NULL;
    return tavpoolalloc(type, n == 0 ? 1 : (int32_t)n);
}

static inline void *tav_adapter_calloc(tavhandle type, size_t count, size_t size)
{
    if (size != 0 && count > TAV_ADAPTER_MAX_REQUEST / size) return NULL;
    return tav_adapter_alloc(type, count * size);
}

/* A block the library refuses (not one of its live blocks) stays where it is. */
static inline void tav_adapter_free(void *block)
{
    if (block != NULL) (void)tavpoolfree(tav_adapter_header(block)->handle, block);
}

/* The bytes a request of n (at most TAV_ADAPTER_MAX_REQUEST) is charged: its
 * covering class, or n itself when no class covers it. -1 when the class list
 * cannot be read because this thread holds the write lock (a host platform
 * function called back from a registration): rdlock then answers EDEADLK and
 * there is nothing to unlock. A reallocation then tries a new block, which the
 * library refuses the same way, and a shrink keeps the old one. */
static inline int64_t tav_adapter_charge_of(size_t n)
{
    if (pthread_rwlock_rdlock((pthread_rwlock_t *)(void *)&tavnode.lock) != 0) return -1;
    int64_t charge = (int64_t)n;
    for (const tavsizenode *s = tavnode.sizelist; s != NULL; s = s->next)
        if ((int64_t)s->bsize >= (int64_t)n) {
            charge = s->bsize;
            break;
        }
    pthread_rwlock_unlock((pthread_rwlock_t *)(void *)&tavnode.lock);
    return charge;
}

/* 1 when a budget, the type's or its group's, can refuse the type's blocks,
 * 0 when none can, -1 when the type is not live or the registry cannot be
 * read (this thread holds the write lock). */
static inline int tav_adapter_budgeted(tavhandle type)
{
    if (pthread_rwlock_rdlock((pthread_rwlock_t *)(void *)&tavnode.lock) != 0) return -1;
    const uint32_t i = (uint32_t)(type & TAV_INDEX_MASK);
    int answer = -1;
    if ((type & 0xFF000000u) == (tavhandle)TAV_KIND_TYPE << TAV_KIND_SHIFT && i < (uint32_t)tavnode.ntypes &&
        tavnode.types[i].inuse != 0) {
        const tavtype *t = &tavnode.types[i];
        answer = t->bmax != 0 || tavnode.groups[t->gindex].bmax != 0;
    }
    pthread_rwlock_unlock((pthread_rwlock_t *)(void *)&tavnode.lock);
    return answer;
}

/* realloc for the adapters: `type` charges a new block (block NULL); a moved
 * block keeps the type of the one it replaces. */
static inline void *tav_adapter_realloc(tavhandle type, void *block, size_t n)
{
    if (n == 0) {
        tav_adapter_free(block);
        return NULL;
    }
    if (block == NULL) return tav_adapter_alloc(type, n);
    if (n > TAV_ADAPTER_MAX_REQUEST) return NULL;
    const tavblkhdr *h = tav_adapter_header(block);
    const size_t old = (size_t)h->size;
    const int64_t charge = tav_adapter_charge_of(n);
    if (charge == (int64_t)old) return block;
    void *moved = tav_adapter_alloc(h->handle, n);
    if (moved == NULL) return n <= old ? block : NULL;
    memcpy(moved, block, n < old ? n : old);
    tav_adapter_free(block);
    return moved;
}

static inline char *tav_adapter_strdup(tavhandle type, const char *s)
{
    const size_t n = strlen(s) + 1;
    char *copy = (char *)tav_adapter_alloc(type, n);
    if (copy != NULL) memcpy(copy, s, n);
    return copy;
}

/* ---- Process-wide hooks ------------------------------------------------ */

/* The state of one library's process-wide hook. Defined in every object that
 * includes the library's header as a weak, default-visibility symbol, so the
 * static and dynamic linkers keep one copy for the whole process. */
typedef struct tav_adapter_hook {
    pthread_mutex_t lock; /* serialises installs */
    tavhandle type;       /* the type charged; 0 while none is installed */
} tav_adapter_hook;

#define TAV_ADAPTER_HOOK_INIT                                                                                \
    {                                                                                                        \
        PTHREAD_MUTEX_INITIALIZER, 0                                                                         \
    }
#define TAV_ADAPTER_SHARED __attribute__((weak, visibility("default")))

static inline tavhandle tav_adapter_hook_type(const tav_adapter_hook *hook)
{
    return __atomic_load_n(&hook->type, __ATOMIC_ACQUIRE);
}

/* Installs a hook once per process. The type is published before install(arg)
 * runs, since a library may allocate while its hook goes in, and withdrawn if
 * install fails. The same type again is success without a second install. */
static inline int32_t tav_adapter_hook_install(tav_adapter_hook *hook, tavhandle type,
                                               int32_t (*install)(void *), void *arg)
{
    if (!tav_adapter_type_live(type)) return TAV_ADAPTER_BADTYPE;
    pthread_mutex_lock(&hook->lock);
    int32_t rc = TAV_ADAPTER_OK;
    if (hook->type == 0) {
        __atomic_store_n(&hook->type, type, __ATOMIC_RELEASE);
        rc = install(arg);
        if (rc != TAV_ADAPTER_OK) __atomic_store_n(&hook->type, (tavhandle)0, __ATOMIC_RELEASE);
    } else if (hook->type != type) {
        rc = TAV_ADAPTER_TAKEN;
    }
    pthread_mutex_unlock(&hook->lock);
    return rc;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- C++ form ------------------------------------------------------------ */
#if defined(__cplusplus) && __cplusplus >= 202002L
#include <memory>
#include <new>
#include <system_error>

#include "../error.hpp"
#include "../handle.hpp"

namespace tav::adapters {

inline std::error_code to_error(int32_t status) noexcept
{
    switch (status) {
    case TAV_ADAPTER_OK:
        return {};
    case TAV_ADAPTER_BADTYPE:
        return errc::not_found;
    case TAV_ADAPTER_TOO_LATE:
        return errc::too_late;
    case TAV_ADAPTER_TAKEN:
        return errc::hook_taken;
    case TAV_ADAPTER_BUSY:
        return errc::library_busy;
    default:
        return errc::library_failed;
    }
}

// std::system_error whose what() names the library, for a failed status.
inline void check(int32_t status, const char *library)
{
    if (const std::error_code e = to_error(status)) throw std::system_error(e, library);
}

// An owning handle for a library object, released with the library's own call.
template <auto Release> struct releaser {
    template <class T> void operator()(T *p) const noexcept { (void)Release(p); }
};
template <class T, auto Release> using owned = std::unique_ptr<T, releaser<Release>>;

// Takes ownership of what a create call made; std::bad_alloc when it made
// nothing (the budget, or the system allocator, refused its memory).
template <auto Release, class T> owned<T, Release> own(T *p)
{
    if (p == nullptr) throw std::bad_alloc();
    return owned<T, Release>(p);
}

} // namespace tav::adapters
#endif

#endif /* TAV_ADAPTERS_COMMON_H */
