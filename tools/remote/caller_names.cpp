#include "caller_names.hpp"

#include "elf_file.hpp"

#include <algorithm>
#include <cstdio>

namespace tav::remote {
namespace {
std::string plus(const std::string &base, std::uintptr_t off)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "+0x%lx", static_cast<unsigned long>(off));
    return base + buf;
}
} // namespace

const caller_names::object &caller_names::load(const mapping &m)
{
    auto &slot = objects_[m.path];
    if (slot) return *slot;
    slot = std::make_shared<object>();
    // The file's first mapping (offset 0) gives the load bias of all of them.
    const mapping *first = &m;
    for (const mapping &o : maps_)
        if (o.path == m.path) {
            first = &o;
            break;
        }
    elf_file f(mapped_file_path(pid_, *first));
    if (!f.ok()) return *slot;
    const auto bias = f.load_bias(first->start, first->offset);
    if (!bias) return *slot;
    slot->ok = true;
    slot->bias = *bias;
    slot->functions = f.functions();
    return *slot;
}

std::string caller_names::operator()(std::uintptr_t address)
{
    const auto m = std::find_if(maps_.begin(), maps_.end(),
                                [&](const mapping &x) { return address >= x.start && address < x.end; });
    if (m == maps_.end() || m->path.empty() || m->path.front() != '/') return plus("", address).substr(1);
    const std::string base = m->path.substr(m->path.rfind('/') + 1);
    const object &o = load(*m);
    if (!o.ok) return plus(base, address - m->start + m->offset);
    const std::uintptr_t at = address - o.bias;
    auto it = std::upper_bound(o.functions.begin(), o.functions.end(), at,
                               [](std::uintptr_t a, const elf_symbol &s) { return a < s.value; });
    if (it != o.functions.begin()) {
        --it;
        if (at < it->value + std::max<std::uint64_t>(it->size, 1)) return plus(it->name, at - it->value);
    }
    return plus(base, at);
}

} // namespace tav::remote
