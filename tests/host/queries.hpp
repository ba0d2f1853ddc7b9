// The nine queries by handle as one table, so that the unit tests and the
// fuzzer call them alike: each with its record kind, its pointer count, its
// success code, and a call that passes the n-th pointer as null.
#pragma once

#include "tav.h"

namespace host {

// Out values start as markers; a refusal must leave them.
struct Out {
    char s1[TAV_NAME_BUF] = "?", s2[TAV_NAME_BUF] = "?";
    int32_t v[3] = {7, 7, 7};
    uint32_t u[6] = {7, 7, 7, 7, 7, 7};
    bool untouched() const { return s1[0] == '?' && s2[0] == '?' && v[0] == 7 && u[0] == 7; }
};

struct Query {
    uint32_t kind;
    int pointers;
    int32_t found; // its success code
    const char *name;
    int32_t (*call)(tavhandle, Out &, int null); // null: the pointer passed as null, or -1
};

template <class T> T *P(int null, int k, T *p) { return null == k ? nullptr : p; }

#define TAV_QUERY(fn, ...) #fn, [](tavhandle h, Out & o, int n) { return tav##fn(h, __VA_ARGS__); }
inline const Query kQueries[] = {
    {TAV_KIND_GROUP, 1, TAV_OK, TAV_QUERY(grouphandletoname, P(n, 0, o.s1))},
    {TAV_KIND_GROUP, 2, TAV_OK, TAV_QUERY(groupgetconfig, P(n, 0, o.s1), P(n, 1, o.v))},
    {TAV_KIND_GROUP, 2, TAV_OK, TAV_QUERY(groupgetstatistics, P(n, 0, o.v), P(n, 1, o.u))},
    {TAV_KIND_TYPE, 1, TAV_OK, TAV_QUERY(typehandletoname, P(n, 0, o.s1))},
    {TAV_KIND_TYPE, 4, TAV_OK,
     TAV_QUERY(typegetconfig, P(n, 0, o.s1), P(n, 1, o.v), P(n, 2, o.v + 1), P(n, 3, o.s2))},
    {TAV_KIND_TYPE, 2, TAV_OK, TAV_QUERY(typegetstatistics, P(n, 0, o.v), P(n, 1, o.u))},
    {TAV_KIND_POOL, 1, TAV_POOL_FOUND, TAV_QUERY(poolhandletosize, P(n, 0, o.v))},
    {TAV_KIND_POOL, 3, TAV_POOL_FOUND,
     TAV_QUERY(poolgetconfig, P(n, 0, o.v), P(n, 1, o.v + 1), P(n, 2, o.v + 2))},
    {TAV_KIND_POOL, 7, TAV_POOL_FOUND,
     TAV_QUERY(poolgetstatistics, P(n, 0, o.v), P(n, 1, o.u), P(n, 2, o.u + 1), P(n, 3, o.u + 2),
               P(n, 4, o.u + 3), P(n, 5, o.u + 4), P(n, 6, o.u + 5))},
};
#undef TAV_QUERY

} // namespace host
