// Lua, expat, nghttp2 and PCRE2 with their heaps charged to a type: real work
// checked, the charge gone with the last object, budgets that fail the library
// with its own error code while it keeps working.
#include "adapter_host.hpp"
#include "bench/workloads/interpreters.hpp"

using namespace adapters_test;

namespace {

using Interpreters = Registry;

TEST_F(Interpreters, LuaStateChargesWhatLuaCounts)
{
    const tavhandle t = make_type("lua");
    {
        auto L = tav::adapters::lua::new_state(tav::type_handle(t));
        luaL_openlibs(L.get());
        EXPECT_EQ(lua_run(L.get(), kLuaTableScript), 566682);
        const int64_t lua_bytes =
            int64_t{lua_gc(L.get(), LUA_GCCOUNT, 0)} * 1024 + lua_gc(L.get(), LUA_GCCOUNTB, 0);
        EXPECT_GE(charged(t), lua_bytes) << "every block is at least what Lua asked for";
        EXPECT_LE(charged(t), lua_bytes * 5 / 4) << "the ladder's rounding";
    }
    EXPECT_EQ(charged(t), 0);
}

TEST_F(Interpreters, LuaBudgetRaisesErrmemInsidePcallAndTheStateGoesOn)
{
    const tavhandle t = make_type("lua", 4 << 20);
    lua_State *L = lua_open(t);
    ASSERT_NE(L, nullptr);
    ASSERT_EQ(luaL_loadstring(L, "local t = {} for i = 1, 1e7 do t[i] = ('x'):rep(64) .. i end"), LUA_OK);
    EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRMEM);
    EXPECT_GT(refusals(t), 0u);
    lua_settop(L, 0);
    EXPECT_EQ(lua_run(L, kLuaTableScript), 566682) << "the state works on after the refusal";
    lua_close(L);
}

TEST_F(Interpreters, ExpatParsersChargeTheirOwnTypes)
{
    const tavhandle a = make_type("expat-a"), b = make_type("expat-b");
    {
        auto pa = tav::adapters::expat::make_parser(tav::type_handle(a));
        XML_Parser pb = tav_expat_parser(b, "UTF-8", nullptr);
        ASSERT_NE(pb, nullptr);
        XmlCounts ca, cb;
        EXPECT_EQ(expat_parse(pa.get(), sample_xml(2000, 40), ca), XML_STATUS_OK);
        EXPECT_EQ(expat_parse(pb, sample_xml(10, 5000), cb), XML_STATUS_OK);
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
    XML_Parser p = expat_parser(t);
    ASSERT_NE(p, nullptr);
    XmlCounts c;
    EXPECT_EQ(expat_parse(p, "<a v='" + std::string(200 << 10, 'v') + "'/>", c), XML_STATUS_ERROR);
    EXPECT_EQ(XML_GetErrorCode(p), XML_ERROR_NO_MEMORY);
    XML_ParserFree(p);
}

TEST_F(Interpreters, Nghttp2SessionsExchangeARequestAndBudgetGivesNomem)
{
    const tavhandle t = make_type("nghttp2");
    const nghttp2_mem mem = tav::adapters::nghttp2::mem(tav::type_handle(t));
    {
        H2Peer client, server;
        ASSERT_EQ(h2_open(client, server, &mem), 0);
        ASSERT_EQ(h2_exchange(client, server, 50), 0);
        EXPECT_EQ(server.headers[":path"], "/feed");
        EXPECT_EQ(server.headers["x-trace-49"], std::string(100, 'v'));
        EXPECT_EQ(client.headers[":status"], "200");
        EXPECT_GT(charged(t), 0);
    }
    EXPECT_EQ(charged(t), 0);
    const nghttp2_mem tight = tav_nghttp2_mem(make_type("nghttp2-small", 2048));
    H2Peer client, server;
    EXPECT_EQ(h2_open(client, server, &tight), NGHTTP2_ERR_NOMEM);
}

TEST_F(Interpreters, Pcre2PatternsMatchAndBudgetFailsCompileAndMatch)
{
    const tavhandle t = make_type("pcre2");
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "user" + std::to_string(i) + "@host" + std::to_string(i % 10) + ".example, ";
    const char *pattern = "(\\w+)@(host[0-9])\\.example";
    {
        auto g = tav::adapters::pcre2::make_general_context(tav::type_handle(t));
        const Scan s = pcre2_scan(g.get(), pattern, text, "host7");
        EXPECT_EQ(s.matches, 1000);
        EXPECT_EQ(s.wanted, 100);
        EXPECT_GT(allocations(t), 3u) << "contexts, pattern and match data";
    }
    EXPECT_EQ(charged(t), 0);

    pcre2_general_context *g = tav_pcre2_general_context(make_type("pcre2-small", 64 << 10));
    const std::string huge = "(" + std::string(100 << 10, 'a') + ")";
    const Scan s = pcre2_scan(g, huge, text, "");
    EXPECT_EQ(s.matches, -1);
    EXPECT_EQ(s.error, PCRE2_ERROR_HEAP_FAILED);
    // A heap frame per repetition of the group: 20,000 of them do not fit.
    EXPECT_EQ(pcre2_scan(g, "(a|b)*c", std::string(20000, 'a') + 'c', "").matches, PCRE2_ERROR_NOMEMORY);
    pcre2_general_context_free(g);
}

} // namespace
