#include "server.hpp"

#include "gzip.hpp"
#include "negotiate.hpp"
#include "render.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>
#include <netdb.h>
#include <stdexcept>

namespace tav::exporter {
namespace {

constexpr const char *landing = "<html><head><title>tav-exporter</title></head><body><h1>tav-exporter</h1>"
                                "<p>The memory accounting of every libtav host on this machine.</p>"
                                "<p><a href=\"%s\">Metrics</a></p></body></html>\n";

// HOST:PORT, [HOST]:PORT or :PORT, resolved to the first address it names.
struct listen_at {
    sockaddr_storage address{};
    bool ipv6 = false;
    std::string host;
};

listen_at resolve(const std::string &text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("listen address " + text + " has no :PORT");
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) throw std::runtime_error("listen address " + text + ": " + ::gai_strerror(rc));
    listen_at l;
    std::memcpy(&l.address, found->ai_addr, found->ai_addrlen);
    l.ipv6 = found->ai_family == AF_INET6;
    ::freeaddrinfo(found);
    l.host = host.empty() ? "0.0.0.0" : l.ipv6 ? "[" + host + "]" : host;
    return l;
}

MHD_Result send(MHD_Connection *c, unsigned status, const std::string &body, const char *type,
                const char *encoding = nullptr)
{
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (encoding != nullptr) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_ENCODING, encoding);
    MHD_add_response_header(r, MHD_HTTP_HEADER_VARY, "Accept, Accept-Encoding");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result rc = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return rc;
}

} // namespace

struct handler {
    static MHD_Result answer(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                             const char *, size_t *, void **request)
    {
        static int seen;
        if (*request == nullptr) { // the headers; answered on the next call
            *request = &seen;
            return MHD_YES;
        }
        const auto &s = *static_cast<server *>(cls);
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return send(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", "text/plain; charset=utf-8");
        if (s.options_.telemetry_path == url) {
            try { // nothing may unwind through libmicrohttpd
                return metrics(s, c);
            } catch (const std::exception &e) {
                return send(c, MHD_HTTP_INTERNAL_SERVER_ERROR, std::string(e.what()) + "\n",
                            "text/plain; charset=utf-8");
            }
        }
        if (std::strcmp(url, "/") == 0) {
            char page[1024];
            std::snprintf(page, sizeof page, landing, s.options_.telemetry_path.c_str());
            return send(c, MHD_HTTP_OK, page, "text/html; charset=utf-8");
        }
        return send(c, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
    }

    static MHD_Result metrics(const server &s, MHD_Connection *c)
    {
        const auto header = [c](const char *name) {
            const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
            return v != nullptr ? v : "";
        };
        // Answer within the scraper's timeout, less a margin for sending the answer.
        double seconds = std::strtod(header("X-Prometheus-Scrape-Timeout-Seconds"), nullptr);
        seconds =
            seconds > 0 ? std::max(seconds - s.options_.timeout_offset, 0.1) : s.options_.default_timeout;
        const auto deadline = steady::now() + std::chrono::duration_cast<steady::duration>(
                                                  std::chrono::duration<double>(std::min(seconds, 3600.0)));
        const text_format f = format_for(header(MHD_HTTP_HEADER_ACCEPT));
        const std::string text = render(*s.collector_.collect(deadline), f);
        const std::string type(content_type(f));
        if (wants_gzip(header(MHD_HTTP_HEADER_ACCEPT_ENCODING)))
            return send(c, MHD_HTTP_OK, gzip(text), type.c_str(), "gzip");
        return send(c, MHD_HTTP_OK, text, type.c_str());
    }
};

server::server(server_options o, collector &c) : options_(std::move(o)), collector_(c)
{
    const listen_at at = resolve(options_.listen_address);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
    if (at.ipv6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &handler::answer, this, MHD_OPTION_SOCK_ADDR,
                               &at.address, MHD_OPTION_CONNECTION_LIMIT, options_.max_requests,
                               MHD_OPTION_CONNECTION_TIMEOUT, 120u, MHD_OPTION_END);
    if (daemon_ == nullptr) throw std::runtime_error("cannot listen on " + options_.listen_address);
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    address_ = at.host + ":" + std::to_string(info != nullptr ? info->port : 0);
}

server::~server()
{
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

} // namespace tav::exporter
