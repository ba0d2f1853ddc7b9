// libcurl with its whole heap charged to one type: HTTP transfers from a
// server on 127.0.0.1 checked byte for byte; a squeezed budget gives
// CURLE_OUT_OF_MEMORY; curl_global_cleanup() takes the charge back to 0.
// CurlTooLate runs alone.
#include <tav/adapters/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "adapter_host.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 64 << 20;

tavhandle the_type()
{
    static const tavhandle t = make_type("curl", kBudget);
    return t;
}

// Answers up to `connections` connections on 127.0.0.1 with one response each,
// until it is destroyed or a second passes without one.
class Server {
public:
    Server(std::string body, int connections) : body_(std::move(body))
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd_, (sockaddr *)&a, len), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        getsockname(fd_, (sockaddr *)&a, &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 1000) != 1) return;
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                std::string request(4096, '\0');
                (void)recv(c, request.data(), request.size(), 0);
                const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                                          "\r\nConnection: close\r\n\r\n" + body_;
                for (size_t at = 0; at < reply.size();) {
                    const ssize_t n = send(c, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    at += size_t(n);
                }
                close(c);
            }
        });
    }
    ~Server()
    {
        shutdown(fd_, SHUT_RDWR); // wakes the thread if fewer clients came
        thread_.join();
        close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/feed"; }

private:
    std::string body_;
    int fd_ = -1, port_ = 0;
    std::thread thread_;
};

// The body of one GET, or the error as "error N".
std::string get(CURL *e, const std::string &url)
{
    std::string body;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, +[](char *p, size_t, size_t n, void *out) {
        static_cast<std::string *>(out)->append(p, n);
        return n;
    });
    const CURLcode rc = curl_easy_perform(e);
    return rc == CURLE_OK ? body : "error " + std::to_string(rc);
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
        const Server server(body, 10);
        CURL *e = curl_easy_init();
        curl_slist *headers = curl_slist_append(nullptr, "X-Trace: tav");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(get(e, server.url()) == body) << "transfer " << i;
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
    const tav::adapters::curl::global curl{tav::type_handle(the_type())};
    const Server server("hello", 2);
    CURL *e = curl_easy_init();
    ASSERT_NE(e, nullptr);
    {
        const Squeeze squeeze(the_type(), kBudget, 1024);
        EXPECT_EQ(get(e, server.url()), "error " + std::to_string(CURLE_OUT_OF_MEMORY));
    }
    EXPECT_EQ(get(e, server.url()), "hello");
    curl_easy_cleanup(e);
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
