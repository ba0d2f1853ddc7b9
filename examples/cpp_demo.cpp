// A C++ host: standard containers and a polymorphic memory resource charged
// to memory types, a budget refusal that arrives as std::bad_alloc, the
// statistics by type, and the last trace entries with their callers' names.
#include <cstdio>
#include <list>
#include <memory_resource>
#include <string>
#include <vector>

#include <tav/platform/zuno.h>
#include "tav/caller.hpp"
#include "tav/monitor.hpp"
#include "tav/tav.hpp"

struct tavnode tavnode; // zero-filled: the empty registry

struct entry {
    long key;
    double value[3];
};

// The allocating functions have external linkage so that the executable
// exports them (ENABLE_EXPORTS) and the trace can name them.
tav::type_handle cache_type, token_type, node_type;

void setup()
{
    const tav::group_handle cache = tav::register_group("cache", 8192).value();
    const tav::group_handle parser = tav::register_group("parser").value();
    for (int32_t size : {16, 32, 64, 128, 256, 512, 1024, 2048})
        (void)tav::register_pool(size, 8, 64).value();
    cache_type = tav::register_type(cache, "cache-entry", sizeof(entry), 4096).value();
    token_type = tav::register_type(parser, "token", 32).value();
    node_type = tav::register_type(parser, "ast-node", 48).value();

    // Refusals carry their status as a std::error_code that names it.
    const auto again = tav::register_type(parser, "token", 32);
    std::printf("registering \"token\" twice: %s\n", again.error().message().c_str());
}

// The cache grows until its type's budget says no.
void fill_cache(std::vector<entry, tav::allocator<entry>> &cache)
{
    try {
        for (long k = 0;; ++k) cache.push_back(entry{k, {0.5 * double(k), 0, 0}});
    } catch (const std::bad_alloc &e) {
        const tav::usage u = tav::statistics(cache_type).value();
        std::printf("cache: %zu entries held, growth refused (%s), %d bytes charged, %u refusals\n",
                    cache.size(), e.what(), u.balloc, u.failcount);
    }
}

// Tokens as pmr strings in a pmr vector: the vector and every string longer
// than the small-string buffer come from the token type's resource.
void tokenize(std::pmr::vector<std::pmr::string> &tokens, const char *text)
{
    std::string word;
    for (const char *c = text;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) tokens.emplace_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    std::printf("parser: %zu tokens, \"token\" holds %d bytes\n", tokens.size(),
                tav::statistics(token_type).value().balloc);
}

// One owned block: it goes back with its own type when the handle ends.
tav::block scratch_node() { return tav::block(node_type, 200); }

// A caller's name with template and parameter lists folded, for one line each.
std::string brief(const std::string &name)
{
    std::string out;
    int depth = 0;
    for (char c : name) {
        if (c == '<' || c == '(') {
            if (depth++ == 0) out += c == '<' ? "<>" : "()";
        } else if (c == '>' || c == ')') {
            --depth;
        } else if (depth == 0) {
            out += c;
        }
    }
    return out;
}

int main(int argc, char **argv)
{
    setup();
    std::vector<entry, tav::allocator<entry>> cache(tav::allocator<entry>{cache_type});
    fill_cache(cache);

    tav::memory_resource token_memory(token_type);
    std::pmr::vector<std::pmr::string> tokens(&token_memory);
    tokenize(tokens, "accounted memory by group type and size class with budgets refusals and a trace of "
                     "every allocation together with the caller that asked for it");

    std::list<int, tav::allocator<int>> nodes({1, 2, 3, 4}, tav::allocator<int>{node_type});
    tav::block scratch = scratch_node();
    std::printf("ast-node: %d bytes in %zu list nodes and a %d-byte block\n",
                tav::statistics(node_type).value().balloc, nodes.size(), scratch.size());

    const tav::snapshot s = tav::take_snapshot();
    const tav::report r = tav::report_of(s);
    // --metrics FILE: also the Prometheus text of this populated host (CI checks it with promtool).
    if (argc > 2 && std::string(argv[1]) == "--metrics") {
        std::FILE *f = std::fopen(argv[2], "w");
        const std::string text = tav::render_exposition(r, tav::text_format::prometheus);
        if (f == nullptr || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0) return 1;
    }
    std::printf("\n%-12s %-8s %8s %8s %7s %9s\n", "TYPE", "GROUP", "BYTES", "BUDGET", "BLOCKS", "REFUSALS");
    for (const tav::type_row &t : r.types)
        std::printf("%-12s %-8s %8d %8d %7llu %9llu\n", t.name.c_str(), t.group.c_str(), t.charged_bytes,
                    t.budget_bytes, static_cast<unsigned long long>(t.blocks),
                    static_cast<unsigned long long>(t.refusals));
    std::printf("\nlast trace entries (%zu recorded, oldest first):\n", s.trace.size());
    for (std::size_t i = s.trace.size() > 6 ? s.trace.size() - 6 : 0; i < s.trace.size(); ++i) {
        const tav::trace_entry &e = s.trace[i];
        std::printf("  %-5s %5u bytes at %#jx from %s\n", tav::trace_event_name(e.op), e.size,
                    static_cast<std::uintmax_t>(e.address), brief(tav::describe_caller(e.caller)).c_str());
    }
    std::printf("names announced under parserTavMemType: %d\n", zunoNamespaceCount("parserTavMemType"));
    return 0;
}
