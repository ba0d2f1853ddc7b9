// The real work each adapter is timed with (bench/adapters_bench.cpp) and
// checked with (tests/adapters/), written once. A `tavhandle t` names the type
// to charge, or is 0 for the library's own allocator; failures come back as
// plain values (an empty string, -1, null) for the caller to judge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "tav.h"

namespace work {

// A daemon's ladder of size classes: 16 bytes to 64 KiB, oversize beyond.
inline constexpr int32_t kLadder[] = {16,  32,   48,   64,   96,   128,  192,  256,   384,   512,
                                      768, 1024, 1536, 2048, 3072, 4096, 8192, 16384, 32768, 65536};

// A type in a group of the same name (budget 0: none), the ladder first; 0 when refused.
inline tavhandle register_type(const char *name, int32_t budget = 0)
{
    tavhandle g = 0, t = 0, p = 0;
    for (auto i = std::size_t(tavnode.npools); i < std::size(kLadder); ++i)
        if (tavpoolregister(kLadder[i], 0, 0, &p) != TAV_OK) return 0;
    if (tavgroupregister(name, 0, &g) != TAV_OK || tavtyperegister(g, name, 0, budget, &t) != TAV_OK)
        return 0;
    return t;
}

// Text that compresses like logs do, the same on every run.
inline std::string sample_text(std::size_t bytes)
{
    std::string s;
    for (uint32_t i = 0, x = 1; s.size() < bytes; ++i, x = x * 1103515245u + 12345u)
        s += "event " + std::to_string(i) + " host-" + std::to_string(x >> 28) + " took " +
             std::to_string((x >> 8) % 5000) + " us\n";
    s.resize(bytes);
    return s;
}

// A feed of `items` elements with two attributes (id, kind k0..k6) and `text` characters each.
inline std::string sample_xml(int items, std::size_t text)
{
    std::string doc = "<?xml version='1.0'?><feed>";
    for (int i = 0; i < items; ++i)
        doc += "<item id='" + std::to_string(i) + "' kind='k" + std::to_string(i % 7) + "'>" +
               std::string(text, char('a' + i % 26)) + "</item>";
    return doc + "</feed>";
}

} // namespace work
