#include "elf_file.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

namespace tav::remote {

int native_machine()
{
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#else
#error "the tools know the control block layout of 64-bit hosts only"
#endif
}

elf_file::elf_file(const std::string &path)
{
    static const bool initialised = elf_version(EV_CURRENT) != EV_NONE;
    if (!initialised) return;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    elf_ = elf_begin(fd_, ELF_C_READ, nullptr);
    GElf_Ehdr eh;
    if (elf_ == nullptr || elf_kind(elf_) != ELF_K_ELF || gelf_getehdr(elf_, &eh) == nullptr) {
        if (elf_ != nullptr) elf_end(elf_);
        elf_ = nullptr;
        return;
    }
    class_ = gelf_getclass(elf_);
    machine_ = eh.e_machine;
    dyn_ = eh.e_type == ET_DYN;
}

elf_file::~elf_file()
{
    if (elf_ != nullptr) elf_end(elf_);
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::uintptr_t> elf_file::load_bias(std::uintptr_t start, std::uintptr_t offset) const
{
    if (!dyn_) return 0;
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    size_t n = 0;
    if (elf_getphdrnum(elf_, &n) != 0) return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
        GElf_Phdr ph;
        if (gelf_getphdr(elf_, static_cast<int>(i), &ph) == nullptr || ph.p_type != PT_LOAD) continue;
        if ((ph.p_offset & ~(page - 1)) == offset) return start - (ph.p_vaddr & ~(page - 1));
    }
    return std::nullopt;
}

template <class F> void elf_file::each_symbol(F &&f) const
{
    // .symtab first: it has the static symbols a stripped-down .dynsym leaves out.
    for (const unsigned want : {SHT_SYMTAB, SHT_DYNSYM}) {
        Elf_Scn *scn = nullptr;
        while ((scn = elf_nextscn(elf_, scn)) != nullptr) {
            GElf_Shdr sh;
            if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type != want || sh.sh_entsize == 0) continue;
            Elf_Data *data = elf_getdata(scn, nullptr);
            if (data == nullptr) continue;
            const size_t count = sh.sh_size / sh.sh_entsize;
            for (size_t i = 0; i < count; ++i) {
                GElf_Sym sym;
                if (gelf_getsym(data, static_cast<int>(i), &sym) == nullptr || sym.st_shndx == SHN_UNDEF) continue;
                const char *name = elf_strptr(elf_, sh.sh_link, sym.st_name);
                if (name != nullptr && *name != '\0' && !f(sym, name)) return;
            }
        }
    }
}

std::optional<elf_symbol> elf_file::object(const std::string &name) const
{
    std::optional<elf_symbol> found;
    each_symbol([&](const GElf_Sym &sym, const char *n) {
        if (GELF_ST_TYPE(sym.st_info) != STT_OBJECT || name != n) return true;
        found = elf_symbol{sym.st_value, sym.st_size, n};
        return false;
    });
    return found;
}

std::vector<elf_symbol> elf_file::functions() const
{
    std::vector<elf_symbol> out;
    each_symbol([&](const GElf_Sym &sym, const char *n) {
        if (GELF_ST_TYPE(sym.st_info) == STT_FUNC) out.push_back({sym.st_value, sym.st_size, n});
        return true;
    });
    std::sort(out.begin(), out.end(), [](const elf_symbol &a, const elf_symbol &b) { return a.value < b.value; });
    // The same function often sits in both tables: keep one.
    out.erase(std::unique(out.begin(), out.end(),
                          [](const elf_symbol &a, const elf_symbol &b) { return a.value == b.value; }),
              out.end());
    return out;
}

} // namespace tav::remote
