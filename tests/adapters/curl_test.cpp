// libcurl with its whole heap charged to one type: HTTP transfers from a
// server on 127.0.0.1 checked byte for byte; a squeezed budget gives
// CURLE_OUT_OF_MEMORY; curl_global_cleanup() takes the charge back to 0.
// CurlTooLate runs alone.
#include <tav/adapters/curl.h>

#include "adapter_host.hpp"
#include "bench/workloads/curl.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 64 << 20;

tavhandle the_type()
{
    static const tavhandle t = make_type("curl", kBudget);
    return t;
}

TEST(CurlHook, ASecondTypeIsRefusedAndEachInstallCountsAUser)
{
    EXPECT_EQ(tav_curl_install(the_type(), CURL_GLOBAL_DEFAULT), TAV_ADAPTER_OK);
    EXPECT_EQ(tav_curl_install(make_type("other"), CURL_GLOBAL_DEFAULT), TAV_ADAPTER_TAKEN);
    EXPECT_EQ(tav_curl_install(the_type(), CURL_GLOBAL_DEFAULT), TAV_ADAPTER_OK);
    curl_global_cleanup();
    CURL *e = curl_easy_init(); // libcurl is still initialised, with our functions
    ASSERT_NE(e, nullptr);
    EXPECT_GT(charged(the_type()), 0);
    curl_easy_cleanup(e);
    curl_global_cleanup();
    EXPECT_EQ(charged(the_type()), 0);
}

TEST(CurlHook, TransfersAreRightAndTheCleanupTakesTheChargeBackToZero)
{
    const std::string body = sample_text(256 << 10);
    {
        const tav::adapters::curl::global curl{tav::type_handle(the_type())};
        const Server server(body);
        CURL *e = curl_easy_init();
        curl_slist *headers = curl_slist_append(nullptr, "X-Trace: tav");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(curl_get(e, server.url()) == body) << "transfer " << i;
        long code = 0;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code);
        EXPECT_EQ(code, 200);
        EXPECT_GT(charged(the_type()), 16 << 10);
        curl_easy_cleanup(e);
        curl_slist_free_all(headers);
    }
    EXPECT_EQ(charged(the_type()), 0);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST(CurlHook, ASqueezedBudgetGivesOutOfMemoryAndCurlWorksOn)
{
    {
        const tav::adapters::curl::global curl{tav::type_handle(the_type())};
        const Server server("hello");
        CURL *e = curl_easy_init();
        ASSERT_NE(e, nullptr);
        {
            const Squeeze squeeze(the_type(), kBudget, 1024);
            EXPECT_EQ(curl_get(e, server.url()), "error " + std::to_string(CURLE_OUT_OF_MEMORY));
        }
        EXPECT_EQ(curl_get(e, server.url()), "hello");
        curl_easy_cleanup(e);
    }
    EXPECT_EQ(charged(the_type()), 0) << "the refused transfer left nothing behind";
    EXPECT_EQ(host::books_problem({}), "");
}

TEST(CurlTooLate, AnInstallAfterCurlInitialisedIsRefused)
{
    ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    EXPECT_EQ(tav_curl_install(the_type(), CURL_GLOBAL_DEFAULT), TAV_ADAPTER_TOO_LATE);
    EXPECT_THROW(tav::adapters::curl::global{tav::type_handle(the_type())}, std::system_error);
    CURL *e = curl_easy_init();
    EXPECT_NE(e, nullptr) << "libcurl works on with its own allocator";
    curl_easy_cleanup(e);
    EXPECT_EQ(charged(the_type()), 0);
    curl_global_cleanup();
}

} // namespace
