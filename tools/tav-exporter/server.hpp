// The HTTP side (libmicrohttpd): the metrics on the telemetry path, in the
// format and encoding the scraper asks for, and a small page on "/".
#pragma once
#include <string>

#include "collector.hpp"

struct MHD_Daemon;

namespace tav::exporter {

struct server_options {
    std::string listen_address = "127.0.0.1:9733"; // HOST:PORT, [IPv6]:PORT, or :PORT for every IPv4 address
    std::string telemetry_path = "/metrics";
    unsigned max_requests = 40; // connections served at once
    double default_timeout =
        10; // seconds, when the scraper does not say (X-Prometheus-Scrape-Timeout-Seconds)
    double timeout_offset = 0.5; // seconds kept from the scraper's timeout for answering
};

class server {
public:
    // Listens at once; throws std::runtime_error when it cannot.
    server(server_options o, collector &c);
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;
    // Where it listens, with the port the system chose for port 0.
    const std::string &address() const { return address_; }

private:
    friend struct handler;
    server_options options_;
    collector &collector_;
    MHD_Daemon *daemon_ = nullptr;
    std::string address_;
};

} // namespace tav::exporter
