#include "caller_names.hpp"

#include "elf_file.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>

namespace tav::remote {
namespace {
std::string plus(const std::string &base, std::uintptr_t off)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "+0x%lx", static_cast<unsigned long>(off));
    return base + buf;
}
} // namespace

std::string demangled(const std::string &name)
{
    // Each back-reference can double the output: 200 bytes of name give some
    // megabytes, 250 bytes fifty.
    constexpr std::size_t longest = 192;
    if (name.size() > longest || name.rfind("_Z", 0) != 0) return name;
    int status = 0;
    char *plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 && plain != nullptr ? plain : name;
    std::free(plain);
    return out;
}

caller_names::caller_names(pid_t pid, std::vector<mapping> maps) : pid_(pid), maps_(std::move(maps))
{
    std::sort(maps_.begin(), maps_.end(),
              [](const mapping &a, const mapping &b) { return a.start < b.start; });
    // A file's first mapping (offset 0) gives the load bias of all of them.
    for (std::size_t i = 0; i < maps_.size(); ++i)
        if (maps_[i].offset == 0) first_.emplace(maps_[i].path, i);
}

const caller_names::object &caller_names::load(std::size_t mapping_index)
{
    const mapping &m = maps_[mapping_index];
    auto &slot = objects_[m.path];
    if (slot) return *slot;
    slot = std::make_shared<object>();
    const auto first = first_.find(m.path);
    const mapping &base = first == first_.end() ? m : maps_[first->second];
    // Each object's tables are bounded; all of them together too, whatever the target maps.
    if (symbols_read_ > (16u << 20)) return *slot;
    elf_file f(mapped_file_path(pid_, base));
    const auto bias = f.ok() ? f.load_bias(base.start, base.offset) : std::nullopt;
    if (!bias) return *slot;
    slot->ok = true;
    slot->bias = *bias;
    slot->functions = f.functions();
    symbols_read_ += f.symbols_read();
    return *slot;
}

std::string caller_names::name_of(std::uintptr_t address)
{
    auto m = std::upper_bound(maps_.begin(), maps_.end(), address,
                              [](std::uintptr_t a, const mapping &x) { return a < x.start; });
    if (m == maps_.begin() || address >= (--m)->end || m->path.empty() || m->path.front() != '/')
        return plus("", address).substr(1);
    const std::string base = m->path.substr(m->path.rfind('/') + 1);
    const object &o = load(static_cast<std::size_t>(m - maps_.begin()));
    if (!o.ok) return plus(base, address - m->start + m->offset);
    const std::uintptr_t at = address - o.bias;
    auto it = std::upper_bound(o.functions.begin(), o.functions.end(), at,
                               [](std::uintptr_t a, const elf_symbol &s) { return a < s.value; });
    if (it != o.functions.begin()) {
        --it;
        if (at - it->value >= std::max<std::uint64_t>(it->size, 1)) return plus(base, at);
        // Demangling is bounded per name, and all of it by what it has written so far.
        if (demangled_bytes_ > (16u << 20)) return plus(it->name, at - it->value);
        const std::string name = demangled(it->name);
        demangled_bytes_ += name.size();
        return plus(name, at - it->value);
    }
    return plus(base, at);
}

std::string caller_names::operator()(std::uintptr_t address)
{
    // A ring holds the same few callers many times over.
    if (const auto it = named_.find(address); it != named_.end()) return it->second;
    if (named_.size() >= (1u << 16)) named_.clear();
    return named_[address] = name_of(address);
}

} // namespace tav::remote
