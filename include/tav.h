/*
 * libtav: accounted heap memory by group, type and size class.
 *
 * The whole state lives in one control block, `tavnode`, that the host
 * program defines zero-filled (`struct tavnode tavnode;`) and the library only
 * refers to. Hosts may read the records, counters and trace ring through it;
 * its layout is part of the ABI and is asserted at the end of this header.
 */
#ifndef TAV_H
#define TAV_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TAV_API __attribute__((visibility("default")))
#else
#define TAV_API
#endif

/* A handle names a record: kind in bits 24-31, index in bits 0-23. 0 is none. */
typedef uint64_t tavhandle;

enum {
    TAV_KIND_GROUP = 1,
    TAV_KIND_TYPE = 2,
    TAV_KIND_POOL = 3,
    TAV_KIND_SHIFT = 24,
    TAV_INDEX_MASK = 0xFFFFFF,
    TAV_NAME_MAX = 32, /* characters compared and stored */
    TAV_NAME_BUF = 32, /* size of a caller's name buffer (31 characters come out) */
    TAV_TRACE_ENTRIES = 1024,
    TAV_TRACE_ALLOC = 10,
    TAV_TRACE_FREE = 15,
    TAV_BLK_FREED = 0x1,
    TAV_BLK_OVERSIZE = 0x2,
    TAV_HDR_SIZE = 32
};

#define TAV_BLK_MAGIC 0xAAAAAAAAu

/* Status codes. 0 is success everywhere; the negative codes mean different
 * things per operation, so each family has its own names. */
enum {
    TAV_OK = 0,

    /* look-ups and queries */
    TAV_E_NULL = -1,     /* a required pointer argument is null */
    TAV_E_NOTFOUND = -2, /* no record matches the name, size or handle */
    TAV_POOL_FOUND = -3, /* success of the three pool queries */

    /* tavgroupregister */
    TAV_GROUP_EXISTS = -1,
    TAV_GROUP_NOMEM = -2,

    /* tavtyperegister */
    TAV_TYPE_BADGROUP = -1,
    TAV_TYPE_EXISTS = -2,
    TAV_TYPE_BUDGET_BELOW_DEFSIZE = -3,
    TAV_TYPE_BUDGET_ABOVE_GROUP = -4,
    TAV_TYPE_NOMEM = -5,

    /* tavpoolregister */
    TAV_POOL_BADSIZE = -1,
    TAV_POOL_INC_ABOVE_MAX = -2,
    TAV_POOL_MAX_NOT_MULTIPLE = -3,
    TAV_POOL_NOMEM = -5,
    TAV_POOL_NOMEM_COUNTERS = -6,

    /* tavpoolfree */
    TAV_FREE_BADHEADER = -1, /* null address or no valid header */
    TAV_FREE_MISMATCH = -2,  /* other handle, or size covered by no pool */
    TAV_FREE_POOL_UNUSED = -3,
    TAV_FREE_DEAD = -4, /* type not live, or block already freed */

    /* tavpooldumpblockstatsdetailed / tavpooldumpblockstatsfortype */
    TAV_DUMP_NOTYPE = -1,
    TAV_DUMP_NOCLASS = -3
};

/* Indices into tavpool.chunkstats, in the order of tavcounters. */
enum {
    TAV_STAT_ALLOCED,
    TAV_STAT_APEAK,
    TAV_STAT_ASUCC,
    TAV_STAT_FSUCC,
    TAV_STAT_AFAIL,
    TAV_STAT_FFAIL,
    TAV_STAT_COUNT
};

typedef struct tavgroup {
    uint32_t inuse;
    uint32_t index;
    char name[33];
    uint32_t ntypes;
    int32_t bmax;
    int32_t balloc;
    uint64_t failcount;
    uint64_t bigcount;
} tavgroup;

typedef struct tavtype {
    uint32_t inuse;
    uint32_t index;
    char name[33];
    uint32_t gindex;
    int32_t defsize;
    int32_t bmax;
    int32_t pidx;
    int32_t balloc;
    uint64_t failcount;
} tavtype;

/* A pool's per-type counters: each array has one entry per registered type.
 * After a failed resize an array can be shorter than ntypes, or null, so each
 * array carries its real length in the TAV_COUNTERS_PREFIX bytes in front of
 * it (the first 32-bit word); read it with TAV_COUNTERS_LENGTH, under the lock. */
#define TAV_COUNTERS_PREFIX 8
#define TAV_COUNTERS_LENGTH(a) ((a) == NULL ? 0u : ((const uint32_t *)(const void *)(a))[-2])
typedef struct tavcounters {
    uint32_t *alloced;
    uint32_t *apeak;
    uint32_t *asucc;
    uint32_t *fsucc;
    uint32_t *afail;
    uint32_t *ffail;
} tavcounters;

typedef struct tavpool {
    uint32_t inuse;
    uint32_t index;
    int32_t size;
    uint32_t csize;
    int32_t incblks;
    int32_t maxblks;
    uint32_t alloced;
    uint32_t apeak;
    int32_t free;
    uint32_t asucc;
    uint32_t fsucc;
    uint32_t afail;
    uint32_t ffail;
    tavcounters typestats;
    uint32_t chunkstats[TAV_STAT_COUNT];
} tavpool;

typedef struct tavsizenode {
    struct tavsizenode *next;
    int32_t bsize;
    uint32_t pindex;
} tavsizenode;

typedef struct tavtrace {
    uint32_t op;
    uint32_t size;
    void *ptr;
    void *caller;
} tavtrace;

/* The 32 bytes in front of every block handed out. */
typedef struct tavblkhdr {
    uint8_t flags;
    uint8_t reserved1[3];
    uint32_t magic;
    int32_t size;
    uint32_t reserved2;
    tavhandle handle;
    uint64_t reserved3;
} tavblkhdr;

/* The control-block lock is a pthread_rwlock_t. Strict ISO C (-std=c11 without
 * POSIX feature macros) hides that type in glibc; such a host sees a stand-in
 * of the same size and alignment, so every host sees the same bytes. */
#if defined(__GLIBC__) && !defined(__USE_XOPEN2K) && !defined(__USE_UNIX98)
typedef union {
    char size[__SIZEOF_PTHREAD_RWLOCK_T];
    long int align;
} tavrwlock;
#else
typedef pthread_rwlock_t tavrwlock;
#endif

struct tavnode {
    tavrwlock lock;
    int32_t ngroups;
    tavgroup *groups;
    int32_t ntypes;
    tavtype *types;
    int32_t npools;
    tavpool *pools;
    tavsizenode *sizelist;
    tavtrace *trace;
    uint32_t tracenext;
    uint32_t tracesize;
    uint64_t tracewraps;
};

/* Defined by the host program, zero-filled. */
extern struct tavnode tavnode;

/* Groups */
TAV_API int32_t tavgroupregister(const char *name, int32_t bmax, tavhandle *group);
TAV_API int32_t tavgroupnametohandle(const char *name, tavhandle *group);
TAV_API int32_t tavgrouphandletoname(tavhandle group, char *name);
TAV_API int32_t tavgroupgetconfig(tavhandle group, char *name, int32_t *bmax);
TAV_API int32_t tavgroupgetstatistics(tavhandle group, int32_t *balloc, uint32_t *failcount);

/* Types */
TAV_API int32_t tavtyperegister(tavhandle group, const char *name, int32_t defsize, int32_t bmax,
                                tavhandle *type);
TAV_API int32_t tavtypenametoindex(const char *name, uint32_t *index);
TAV_API int32_t tavtypenametohandle(const char *name, tavhandle *type);
TAV_API int32_t tavtypehandletoname(tavhandle type, char *name);
TAV_API int32_t tavtypegetconfig(tavhandle type, char *name, int32_t *defsize, int32_t *bmax,
                                 char *groupname);
TAV_API int32_t tavtypegetstatistics(tavhandle type, int32_t *balloc, uint32_t *failcount);

/* Pools */
TAV_API int32_t tavpoolregister(int32_t size, int32_t incblks, int32_t maxblks, tavhandle *pool);
TAV_API int32_t tavpoolsizetohandle(int32_t size, tavhandle *pool);
TAV_API int32_t tavpoolhandletosize(tavhandle pool, int32_t *size);
TAV_API int32_t tavpoolgetconfig(tavhandle pool, int32_t *size, int32_t *incblks, int32_t *maxblks);
TAV_API int32_t tavpoolgetstatistics(tavhandle pool, int32_t *free, uint32_t *alloced, uint32_t *apeak,
                                     uint32_t *asucc, uint32_t *fsucc, uint32_t *afail, uint32_t *ffail);

/* Blocks */
TAV_API void *tavpoolalloc(tavhandle type, int32_t size);
TAV_API int32_t tavpoolfree(tavhandle type, void *ptr);

/* Teardown */
TAV_API int32_t tavshutdown(void);

/* Registry tables */
TAV_API int32_t tavgroupdumpinfo(const char *name);
TAV_API int32_t tavtypedumpinfo(const char *name);
TAV_API int32_t tavpooldumpinfo(int32_t size);
TAV_API int32_t tavpooldumplistinfo(int32_t size);

/* Statistics tables */
TAV_API int32_t tavpooldumpblockstats(int32_t size);
TAV_API int32_t tavpooldumpchunkstats(int32_t size);
TAV_API int32_t tavpooldumpblockstatsdetailed(int32_t size, const char *type);
TAV_API int32_t tavpooldumpblockstatsfortype(const char *type, int32_t size);
TAV_API int32_t tavpooldumpchunkinfo(void);

#ifdef __cplusplus
}
#endif

/* The layout hosts rely on (x86-64 / LP64). */
#if defined(__x86_64__) || defined(__LP64__)
#ifdef __cplusplus
#define TAV_ASSERT_LAYOUT(c, m) static_assert(c, m)
#else
#define TAV_ASSERT_LAYOUT(c, m) _Static_assert(c, m)
#endif
TAV_ASSERT_LAYOUT(sizeof(tavgroup) == 72, "tavgroup is 72 bytes");
TAV_ASSERT_LAYOUT(sizeof(tavtype) == 72, "tavtype is 72 bytes");
TAV_ASSERT_LAYOUT(sizeof(tavpool) == 128, "tavpool is 128 bytes");
TAV_ASSERT_LAYOUT(offsetof(tavpool, typestats) == 56, "tavpool.typestats at 56");
TAV_ASSERT_LAYOUT(offsetof(tavpool, chunkstats) == 104, "tavpool.chunkstats at 104");
TAV_ASSERT_LAYOUT(sizeof(tavcounters) == 48, "tavcounters is six pointers");
TAV_ASSERT_LAYOUT(sizeof(tavsizenode) == 16, "tavsizenode is 16 bytes");
TAV_ASSERT_LAYOUT(sizeof(tavtrace) == 24, "tavtrace is 24 bytes");
TAV_ASSERT_LAYOUT(sizeof(tavblkhdr) == 32, "tavblkhdr is 32 bytes");
TAV_ASSERT_LAYOUT(offsetof(tavblkhdr, magic) == 4, "tavblkhdr.magic at 4");
TAV_ASSERT_LAYOUT(offsetof(tavblkhdr, size) == 8, "tavblkhdr.size at 8");
TAV_ASSERT_LAYOUT(offsetof(tavblkhdr, handle) == 16, "tavblkhdr.handle at 16");
TAV_ASSERT_LAYOUT(sizeof(struct tavnode) == 136, "tavnode is 136 bytes");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, ngroups) == 56, "tavnode.ngroups at 56");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, groups) == 64, "tavnode.groups at 64");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, ntypes) == 72, "tavnode.ntypes at 72");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, types) == 80, "tavnode.types at 80");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, npools) == 88, "tavnode.npools at 88");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, pools) == 96, "tavnode.pools at 96");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, sizelist) == 104, "tavnode.sizelist at 104");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, trace) == 112, "tavnode.trace at 112");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, tracenext) == 120, "tavnode.tracenext at 120");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, tracesize) == 124, "tavnode.tracesize at 124");
TAV_ASSERT_LAYOUT(offsetof(struct tavnode, tracewraps) == 128, "tavnode.tracewraps at 128");
#undef TAV_ASSERT_LAYOUT
#endif

#endif /* TAV_H */
