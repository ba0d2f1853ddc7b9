/*
 * Lua 5.4 (5.1 to 5.4): a state's whole heap charged to a type, through the
 * lua_Alloc the state is made with. Lua counts on shrinks never failing; they
 * never do here. A refused block raises LUA_ERRMEM in the running code, which
 * lua_pcall catches, and the state keeps running.
 *
 *   lua_State *L = tav_lua_newstate(type);     NULL when refused
 *   C++: tav::adapters::lua::new_state(type): owning (lua_close), or std::bad_alloc
 *
 * Not charged: luaL_newstate()'s states (the default allocator), and LuaJIT's
 * machine code, which it maps itself (LuaJIT's 64-bit builds may ignore a
 * custom allocator altogether).
 */
#ifndef TAV_ADAPTERS_LUA_H
#define TAV_ADAPTERS_LUA_H

/* Debian keeps lua.h under lua5.4/, off the default search path. */
#if defined(__has_include) && !__has_include(<lua.h>) && __has_include(<lua5.4/lua.h>)
#include <lua5.4/lua.h>
#else
#include <lua.h>
#endif

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lua's old size is not needed: the block header has it. */
static inline void *tav_lua_alloc(void *type, void *p, size_t osize, size_t nsize)
{
    (void)osize;
    return tav_adapter_realloc(TAV_ADAPTER_TYPE(type), p, nsize);
}

static inline lua_State *tav_lua_newstate(tavhandle type)
{
    return lua_newstate(tav_lua_alloc, TAV_ADAPTER_CONTEXT(type));
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && __cplusplus >= 202002L
namespace tav::adapters::lua {
using state = owned<lua_State, lua_close>;
inline state new_state(type_handle type) { return own<lua_close>(tav_lua_newstate(type.value())); }
} // namespace tav::adapters::lua
#endif

#endif /* TAV_ADAPTERS_LUA_H */
