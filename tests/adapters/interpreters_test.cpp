// Lua, expat, nghttp2 and PCRE2 with their heaps charged to a type: real work
// checked, the charge gone with the last object, budgets that fail the library
// with its own error code while it keeps working.
#include <tav/adapters/expat.h>
#include <tav/adapters/lua.h>
#include <tav/adapters/nghttp2.h>
#include <tav/adapters/pcre2.h>

#include <lauxlib.h>
#include <lualib.h>

#include <map>
#include <string>
#include <string_view>

#include "adapter_host.hpp"

using namespace adapters_test;

namespace {

using Interpreters = Registry;

const char kTableScript[] = "local t, sum = {}, 0\n"
                            "for i = 1, 20000 do t[i] = ('item-' .. i):rep(3); sum = sum + #t[i] end\n"
                            "return sum";

TEST_F(Interpreters, LuaStateChargesWhatLuaCounts)
{
    const tavhandle t = make_type("lua");
    {
        auto L = tav::adapters::lua::new_state(tav::type_handle(t));
        luaL_openlibs(L.get());
        ASSERT_EQ(luaL_dostring(L.get(), kTableScript), LUA_OK) << lua_tostring(L.get(), -1);
        EXPECT_EQ(lua_tointeger(L.get(), -1), 3 * (9 * 1 + 90 * 2 + 900 * 3 + 9000 * 4 + 10001 * 5 + 20000 * 5));
        const int64_t lua_bytes = int64_t{lua_gc(L.get(), LUA_GCCOUNT, 0)} * 1024 + lua_gc(L.get(), LUA_GCCOUNTB, 0);
        EXPECT_GE(charged(t), lua_bytes) << "every block is at least what Lua asked for";
        EXPECT_LE(charged(t), lua_bytes * 5 / 4) << "the ladder's rounding";
    }
    EXPECT_EQ(charged(t), 0);
}

TEST_F(Interpreters, LuaBudgetRaisesErrmemInsidePcallAndTheStateGoesOn)
{
    const tavhandle t = make_type("lua", 4 << 20);
    lua_State *L = tav_lua_newstate(t);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    ASSERT_EQ(luaL_loadstring(L, "local t = {} for i = 1, 1e7 do t[i] = ('x'):rep(64) .. i end"), LUA_OK);
    EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRMEM);
    EXPECT_GT(refusals(t), 0u);
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    ASSERT_EQ(luaL_dostring(L, kTableScript), LUA_OK) << "the state works on after the refusal";
    lua_close(L);
    EXPECT_EQ(charged(t), 0);
}

struct Counts {
    int elements = 0;
    size_t characters = 0;
};

XML_Status parse(XML_Parser p, const std::string &doc, Counts &c)
{
    XML_SetUserData(p, &c);
    XML_SetElementHandler(
        p, [](void *u, const XML_Char *, const XML_Char **) { ++static_cast<Counts *>(u)->elements; }, nullptr);
    XML_SetCharacterDataHandler(p, [](void *u, const XML_Char *, int n) { static_cast<Counts *>(u)->characters += size_t(n); });
    return XML_Parse(p, doc.data(), int(doc.size()), XML_TRUE);
}

TEST_F(Interpreters, ExpatParsersChargeTheirOwnTypes)
{
    const tavhandle a = make_type("expat-a"), b = make_type("expat-b");
    {
        auto pa = tav::adapters::expat::make_parser(tav::type_handle(a));
        XML_Parser pb = tav_expat_parser(b, "UTF-8", nullptr);
        ASSERT_NE(pb, nullptr);
        Counts ca, cb;
        EXPECT_EQ(parse(pa.get(), sample_xml(2000, 40), ca), XML_STATUS_OK);
        EXPECT_EQ(parse(pb, sample_xml(10, 5000), cb), XML_STATUS_OK);
        EXPECT_EQ(ca.elements, 2001);
        EXPECT_EQ(cb.characters, 10u * 5000u);
        EXPECT_GT(charged(a), 0);
        EXPECT_GT(charged(b), 0);
        XML_ParserFree(pb);
        EXPECT_EQ(charged(b), 0);
    }
    EXPECT_EQ(charged(a), 0);
    // The slots run out: a type beyond the sixteenth (with those of earlier tests) has none.
    XML_Memory_Handling_Suite suite;
    int32_t rc = TAV_ADAPTER_OK;
    for (int i = 0; i < TAV_EXPAT_SLOTS + 1 && rc == TAV_ADAPTER_OK; ++i)
        rc = tav_expat_suite(make_type(("expat-" + std::to_string(i)).c_str()), &suite);
    EXPECT_EQ(rc, TAV_ADAPTER_TAKEN);
}

TEST_F(Interpreters, ExpatBudgetGivesNoMemory)
{
    const tavhandle t = make_type("expat", 64 << 10);
    XML_Parser p = tav_expat_parser(t, nullptr, nullptr);
    ASSERT_NE(p, nullptr);
    Counts c;
    EXPECT_EQ(parse(p, "<a v='" + std::string(200 << 10, 'v') + "'/>", c), XML_STATUS_ERROR);
    EXPECT_EQ(XML_GetErrorCode(p), XML_ERROR_NO_MEMORY);
    XML_ParserFree(p);
    EXPECT_EQ(charged(t), 0);
}

// An HTTP/2 client and server in memory: a request with its headers one way,
// a response the other.
struct Peer {
    nghttp2_session *session = nullptr;
    std::map<std::string, std::string> headers;
};

int pump(Peer &from, Peer &to)
{
    const uint8_t *data = nullptr;
    for (ssize_t n; (n = nghttp2_session_mem_send(from.session, &data)) > 0;)
        if (nghttp2_session_mem_recv(to.session, data, size_t(n)) != n) return -1;
    return 0;
}

int open_pair(Peer &client, Peer &server, nghttp2_mem *mem)
{
    nghttp2_session_callbacks *cb = nullptr;
    nghttp2_session_callbacks_new(&cb);
    nghttp2_session_callbacks_set_on_header_callback(
        cb, [](nghttp2_session *, const nghttp2_frame *, const uint8_t *name, size_t namelen, const uint8_t *value,
               size_t valuelen, uint8_t, void *peer) {
            static_cast<Peer *>(peer)->headers[std::string((const char *)name, namelen)] =
                std::string((const char *)value, valuelen);
            return 0;
        });
    int rc = nghttp2_session_client_new3(&client.session, cb, &client, nullptr, mem);
    if (rc == 0) rc = nghttp2_session_server_new3(&server.session, cb, &server, nullptr, mem);
    nghttp2_session_callbacks_del(cb);
    if (rc == 0) rc = nghttp2_submit_settings(client.session, NGHTTP2_FLAG_NONE, nullptr, 0);
    if (rc == 0) rc = nghttp2_submit_settings(server.session, NGHTTP2_FLAG_NONE, nullptr, 0);
    return rc;
}

TEST_F(Interpreters, Nghttp2SessionsExchangeARequestAndBudgetGivesNomem)
{
    const tavhandle t = make_type("nghttp2");
    nghttp2_mem mem = tav::adapters::nghttp2::mem(tav::type_handle(t));
    Peer client, server;
    ASSERT_EQ(open_pair(client, server, &mem), 0);
    std::vector<std::string> extra;
    for (int i = 0; i < 50; ++i) extra.push_back("x-trace-" + std::to_string(i));
    std::vector<nghttp2_nv> nva;
    auto add = [&](std::string_view n, std::string_view v) { // literals and strings that stay
        nva.push_back({(uint8_t *)n.data(), (uint8_t *)v.data(), n.size(), v.size(), NGHTTP2_NV_FLAG_NONE});
    };
    const std::string value(100, 'v');
    add(":method", "GET"), add(":scheme", "https"), add(":authority", "example.test"), add(":path", "/feed");
    for (const std::string &n : extra) add(n, value);
    ASSERT_GT(nghttp2_submit_request(client.session, nullptr, nva.data(), nva.size(), nullptr, nullptr), 0);
    ASSERT_EQ(pump(client, server), 0);
    EXPECT_EQ(server.headers[":path"], "/feed");
    EXPECT_EQ(server.headers["x-trace-49"], value);
    const std::string status = ":status", ok = "200";
    nghttp2_nv reply{(uint8_t *)status.data(), (uint8_t *)ok.data(), status.size(), ok.size(), NGHTTP2_NV_FLAG_NONE};
    ASSERT_EQ(nghttp2_submit_response(server.session, 1, &reply, 1, nullptr), 0);
    ASSERT_EQ(pump(server, client), 0);
    EXPECT_EQ(client.headers[":status"], "200");
    EXPECT_GT(charged(t), 0);
    nghttp2_session_del(client.session);
    nghttp2_session_del(server.session);
    EXPECT_EQ(charged(t), 0);

    nghttp2_mem tight = tav_nghttp2_mem(make_type("nghttp2-small", 2048));
    Peer c2, s2;
    EXPECT_EQ(open_pair(c2, s2, &tight), NGHTTP2_ERR_NOMEM);
    nghttp2_session_del(c2.session);
    nghttp2_session_del(s2.session);
}

TEST_F(Interpreters, Pcre2PatternsMatchAndBudgetFailsCompileAndMatch)
{
    const tavhandle t = make_type("pcre2");
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "user" + std::to_string(i) + "@host" + std::to_string(i % 10) + ".example, ";
    {
        auto g = tav::adapters::pcre2::make_general_context(tav::type_handle(t));
        pcre2_compile_context *cc = pcre2_compile_context_create(g.get());
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code *re = pcre2_compile((PCRE2_SPTR) "(\\w+)@(host[0-9])\\.example", PCRE2_ZERO_TERMINATED, 0, &error,
                                       &offset, cc);
        ASSERT_NE(re, nullptr);
        pcre2_match_data *md = pcre2_match_data_create_from_pattern(re, g.get());
        int matches = 0, host7 = 0;
        for (PCRE2_SIZE at = 0; pcre2_match(re, (PCRE2_SPTR)text.data(), text.size(), at, 0, md, nullptr) == 3;) {
            const PCRE2_SIZE *v = pcre2_get_ovector_pointer(md);
            host7 += text.compare(v[4], v[5] - v[4], "host7") == 0;
            ++matches, at = v[1];
        }
        EXPECT_EQ(matches, 1000);
        EXPECT_EQ(host7, 100);
        EXPECT_GT(charged(t), 0);
        pcre2_match_data_free(md);
        pcre2_code_free(re);
        pcre2_compile_context_free(cc);
    }
    EXPECT_EQ(charged(t), 0);

    const tavhandle small = make_type("pcre2-small", 64 << 10);
    pcre2_general_context *g = tav_pcre2_general_context(small);
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_compile_context *cc = pcre2_compile_context_create(g);
    const std::string huge = "(" + std::string(100 << 10, 'a') + ")";
    EXPECT_EQ(pcre2_compile((PCRE2_SPTR)huge.data(), huge.size(), 0, &error, &offset, cc), nullptr);
    EXPECT_EQ(error, PCRE2_ERROR_HEAP_FAILED);
    pcre2_code *deep = pcre2_compile((PCRE2_SPTR) "(a|b)*c", PCRE2_ZERO_TERMINATED, 0, &error, &offset, cc);
    ASSERT_NE(deep, nullptr);
    pcre2_match_data *md = pcre2_match_data_create_from_pattern(deep, g);
    const std::string ab = std::string(20000, 'a') + 'c'; // a frame per repetition
    EXPECT_EQ(pcre2_match(deep, (PCRE2_SPTR)ab.data(), ab.size(), 0, 0, md, nullptr), PCRE2_ERROR_NOMEMORY);
    pcre2_match_data_free(md);
    pcre2_code_free(deep);
    pcre2_compile_context_free(cc);
    pcre2_general_context_free(g);
    EXPECT_EQ(charged(small), 0);
}

} // namespace
