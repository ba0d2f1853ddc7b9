#include "gzip.hpp"

#include <stdexcept>
#include <zlib.h>

namespace tav::exporter {

std::string gzip(std::string_view text)
{
    z_stream z{};
    // 15 window bits plus 16: a gzip header and trailer instead of zlib's. The
    // fastest level: a scrape's text repeats itself so much that it gains little from more.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: cannot start zlib");
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("gzip: zlib did not finish");
    return out;
}

} // namespace tav::exporter
