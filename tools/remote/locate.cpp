#include "locate.hpp"

#include "elf_file.hpp"
#include "failure.hpp"

#include <cerrno>
#include <gelf.h>
#include <set>
#include <tav.h>

namespace tav::remote {
namespace {

std::string who(pid_t pid, const std::string &name)
{
    return "process " + std::to_string(pid) + " (" + name + ")";
}

// The target's own program decides its ABI: a 32-bit or foreign program has
// another control block layout, whatever it maps.
void check_abi(pid_t pid, const std::string &name)
{
    elf_file exe("/proc/" + std::to_string(pid) + "/exe");
    if (!exe.ok()) {
        if (errno == EACCES || errno == EPERM) throw failure(not_permitted(pid));
        return; // no readable program file (a kernel thread has none): the symbol search decides
    }
    if (exe.elf_class() != ELFCLASS64)
        throw failure(who(pid, name) + " is a 32-bit program; only 64-bit hosts can be read");
    if (exe.machine() != native_machine())
        throw failure(who(pid, name) + " is built for another machine (ELF machine " +
                      std::to_string(exe.machine()) + "); only hosts of this ABI can be read");
}

} // namespace

target locate(pid_t pid)
{
    target t;
    t.pid = pid;
    t.start = start_ticks(pid).value_or(0);
    t.maps = read_maps(pid);
    t.name = process_name(pid);
    check_abi(pid, t.name);
    std::set<std::string> seen;
    for (const mapping &m : t.maps) {
        if (m.path.empty() || m.path.front() != '/' || !seen.insert(m.path).second) continue;
        // The first mapping of a file is where its offset-0 segment was loaded.
        elf_file f(mapped_file_path(pid, m));
        if (!f.ok() || f.elf_class() != ELFCLASS64 || f.machine() != native_machine()) continue;
        const auto sym = f.object("tavnode");
        if (!sym) continue;
        if (sym->size != 0 && sym->size < sizeof(struct tavnode))
            throw failure(who(pid, t.name) + " defines tavnode in " + m.path + " with " +
                          std::to_string(sym->size) + " bytes, not the " +
                          std::to_string(sizeof(struct tavnode)) + " of this libtav");
        const auto bias = f.load_bias(m.start, m.offset);
        if (!bias) continue;
        t.node = *bias + sym->value;
        t.object = m.path;
        return t;
    }
    throw failure(who(pid, t.name) + " does not define tavnode");
}

} // namespace tav::remote
