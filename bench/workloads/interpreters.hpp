// Lua scripts, expat parses, an HTTP/2 exchange and PCRE2 scans (see common.hpp).
#pragma once

#include <tav/adapters/expat.h>
#include <tav/adapters/lua.h>
#include <tav/adapters/nghttp2.h>
#include <tav/adapters/pcre2.h>

#include <lauxlib.h>
#include <lualib.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"

namespace work {

// 20,000 strings in a table; returns the sum of their lengths, 566,682.
inline constexpr char kLuaTableScript[] =
    "local t, sum = {}, 0\n"
    "for i = 1, 20000 do t[i] = ('item-' .. i):rep(3); sum = sum + #t[i] end\n"
    "return sum";

// A state with the standard libraries, or null.
inline lua_State *lua_open(tavhandle t)
{
    lua_State *L = t != 0 ? tav_lua_newstate(t) : luaL_newstate();
    if (L != nullptr) luaL_openlibs(L);
    return L;
}

// The script's integer result, or -1.
inline int64_t lua_run(lua_State *L, const char *script)
{
    const int64_t v = luaL_dostring(L, script) == LUA_OK ? lua_tointeger(L, -1) : -1;
    lua_settop(L, 0);
    return v;
}

struct XmlCounts {
    int elements = 0;
    std::size_t characters = 0;
};

inline XML_Parser expat_parser(tavhandle t)
{
    return t != 0 ? tav_expat_parser(t, nullptr, nullptr) : XML_ParserCreate(nullptr);
}

inline XML_Status expat_parse(XML_Parser p, std::string_view doc, XmlCounts &c)
{
    XML_SetUserData(p, &c);
    XML_SetElementHandler(
        p, [](void *u, const XML_Char *, const XML_Char **) { ++static_cast<XmlCounts *>(u)->elements; },
        nullptr);
    XML_SetCharacterDataHandler(p, [](void *u, const XML_Char *, int n) {
        static_cast<XmlCounts *>(u)->characters += std::size_t(n);
    });
    return XML_Parse(p, doc.data(), int(doc.size()), XML_TRUE);
}

// An HTTP/2 client and server in memory; each keeps the headers it received.
struct H2Peer {
    nghttp2_session *session = nullptr;
    std::map<std::string, std::string> headers;
    ~H2Peer() { nghttp2_session_del(session); }
};

// mem null: nghttp2's own allocator. 0, or nghttp2's error code.
inline int h2_open(H2Peer &client, H2Peer &server, const nghttp2_mem *mem)
{
    nghttp2_session_callbacks *cb = nullptr;
    if (nghttp2_session_callbacks_new(&cb) != 0) return NGHTTP2_ERR_NOMEM;
    nghttp2_session_callbacks_set_on_header_callback(
        cb, [](nghttp2_session *, const nghttp2_frame *, const uint8_t *name, std::size_t namelen,
               const uint8_t *value, std::size_t valuelen, uint8_t, void *peer) {
            static_cast<H2Peer *>(peer)->headers[std::string((const char *)name, namelen)] =
                std::string((const char *)value, valuelen);
            return 0;
        });
    auto *m = const_cast<nghttp2_mem *>(mem);
    int rc = nghttp2_session_client_new3(&client.session, cb, &client, nullptr, m);
    if (rc == 0) rc = nghttp2_session_server_new3(&server.session, cb, &server, nullptr, m);
    nghttp2_session_callbacks_del(cb);
    if (rc == 0) rc = nghttp2_submit_settings(client.session, NGHTTP2_FLAG_NONE, nullptr, 0);
    if (rc == 0) rc = nghttp2_submit_settings(server.session, NGHTTP2_FLAG_NONE, nullptr, 0);
    return rc;
}

inline int h2_pump(H2Peer &from, H2Peer &to)
{
    const uint8_t *data = nullptr;
    for (ssize_t n; (n = nghttp2_session_mem_send(from.session, &data)) != 0;)
        if (n < 0 || nghttp2_session_mem_recv(to.session, data, std::size_t(n)) != n) return -1;
    return 0;
}

// A GET of /feed with `extra` headers x-trace-N of 100 bytes, answered 200; 0 or an error.
inline int h2_exchange(H2Peer &client, H2Peer &server, int extra)
{
    static const std::string value(100, 'v');
    std::vector<std::string> names;
    for (int i = 0; i < extra; ++i) names.push_back("x-trace-" + std::to_string(i));
    std::vector<nghttp2_nv> nva;
    const auto add = [&](std::string_view n, std::string_view v) { // literals and strings that stay
        nva.push_back({(uint8_t *)n.data(), (uint8_t *)v.data(), n.size(), v.size(), NGHTTP2_NV_FLAG_NONE});
    };
    add(":method", "GET"), add(":scheme", "https"), add(":authority", "example.test"), add(":path", "/feed");
    for (const std::string &n : names) add(n, value);
    const int32_t stream =
        nghttp2_submit_request(client.session, nullptr, nva.data(), nva.size(), nullptr, nullptr);
    if (stream < 0 || h2_pump(client, server) != 0) return -1;
    nva.clear();
    add(":status", "200");
    if (nghttp2_submit_response(server.session, stream, nva.data(), 1, nullptr) != 0) return -1;
    return h2_pump(server, client);
}

// Matches of `pattern` in `text` through contexts made from `g` (null: PCRE2's
// own allocator), and how many of them have `want` as capture 2. Matches -1:
// the compile failed (error holds its code); below -1: the match's error code.
struct Scan {
    int matches = 0, wanted = 0, error = 0;
};

inline Scan pcre2_scan(pcre2_general_context *g, std::string_view pattern, std::string_view text,
                       std::string_view want)
{
    Scan r;
    PCRE2_SIZE offset = 0;
    pcre2_compile_context *cc = pcre2_compile_context_create(g);
    pcre2_code *re = pcre2_compile((PCRE2_SPTR)pattern.data(), pattern.size(), 0, &r.error, &offset, cc);
    pcre2_match_data *md = re != nullptr ? pcre2_match_data_create_from_pattern(re, g) : nullptr;
    if (md == nullptr) r.matches = -1;
    for (PCRE2_SIZE at = 0; md != nullptr && at <= text.size();) {
        const int rc = pcre2_match(re, (PCRE2_SPTR)text.data(), text.size(), at, 0, md, nullptr);
        if (rc < 0) {
            if (rc != PCRE2_ERROR_NOMATCH) r.matches = rc;
            break;
        }
        const PCRE2_SIZE *v = pcre2_get_ovector_pointer(md);
        r.wanted += rc > 2 && text.substr(v[4], v[5] - v[4]) == want;
        ++r.matches, at = v[1] > v[0] ? v[1] : v[1] + 1;
    }
    pcre2_match_data_free(md);
    pcre2_code_free(re);
    pcre2_compile_context_free(cc);
    return r;
}

} // namespace work
