// libcurl: HTTP GETs from a server on 127.0.0.1 (see common.hpp). Whose heap it
// charges is decided once per process, by the hook.
#pragma once

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>

namespace work {

// Answers connections on 127.0.0.1 with `body`, one response each, until it
// is destroyed. url() is "" when it could not listen.
class Server {
public:
    explicit Server(std::string body) : body_(std::move(body)), fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, (sockaddr *)&a, len) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, (sockaddr *)&a, &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                                     "\r\nConnection: close\r\n\r\n";
            for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, -1) == 1;) {
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                char request[4096];
                (void)recv(c, request, sizeof request, 0);
                const std::string reply = head + body_;
                for (std::size_t at = 0; at < reply.size();) {
                    const ssize_t n = send(c, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    at += std::size_t(n);
                }
                close(c);
            }
        });
    }
    ~Server()
    {
        shutdown(fd_, SHUT_RDWR); // wakes the thread
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    std::string url() const
    {
        return port_ == 0 ? "" : "http://127.0.0.1:" + std::to_string(port_) + "/feed";
    }

private:
    std::string body_;
    int fd_ = -1, port_ = 0;
    std::thread thread_;
};

// The body of one GET, or "error " and libcurl's code.
inline std::string curl_get(CURL *e, const std::string &url)
{
    std::string body;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(
        e, CURLOPT_WRITEFUNCTION, +[](char *p, std::size_t, std::size_t n, void *out) {
            static_cast<std::string *>(out)->append(p, n);
            return n;
        });
    const CURLcode rc = curl_easy_perform(e);
    return rc == CURLE_OK ? body : "error " + std::to_string(rc);
}

} // namespace work
