#include "elf_file.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
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

namespace {

constexpr unsigned char native_data = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;

// Whether [offset, offset + bytes) lies within a file of `size` bytes.
bool within(std::uint64_t offset, std::uint64_t bytes, std::uint64_t size)
{
    return offset <= size && bytes <= size - offset;
}

// A region of the file read through a buffer of fixed size: what the file
// claims about the region's size costs nothing until it is read.
class window {
public:
    window(int fd, std::uint64_t base, std::uint64_t size, std::size_t capacity)
        : fd_(fd), base_(base), size_(size), buf_(std::max<std::size_t>(capacity, 64u << 10))
    {
    }
    // Up to `len` bytes of the region from `at`: fewer at its end or where the file is short.
    std::string_view view(std::uint64_t at, std::size_t len)
    {
        if (at >= size_) return {};
        len = static_cast<std::size_t>(std::min<std::uint64_t>(len, size_ - at));
        if (at < from_ || at + len > from_ + held_) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buf_.size(), size_ - at));
            const ssize_t got = ::pread(fd_, buf_.data(), want, static_cast<off_t>(base_ + at));
            from_ = at;
            held_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        }
        return {buf_.data() + (at - from_), std::min<std::uint64_t>(len, from_ + held_ - at)};
    }

private:
    int fd_;
    std::uint64_t base_, size_, from_ = 0;
    std::size_t held_ = 0;
    std::vector<char> buf_;
};

// The header's section count and string-table index, extended numbering included.
bool section_count(int fd, const Elf64_Ehdr &eh, std::uint64_t &count)
{
    count = eh.e_shoff == 0 ? 0 : eh.e_shnum;
    if (eh.e_shoff == 0 || count != 0) return true;
    Elf64_Shdr first{};
    if (::pread(fd, &first, sizeof first, static_cast<off_t>(eh.e_shoff)) != sizeof first) return false;
    count = first.sh_size;
    return true;
}

} // namespace

struct elf_file::table {
    std::uint64_t symbols_at = 0, count = 0, names_at = 0, names_size = 0;
};

elf_file::elf_file(const std::string &path, const elf_limits &limits) : limits_(limits)
{
    static const bool initialised = elf_version(EV_CURRENT) != EV_NONE;
    // Non-blocking: a path the target controls may name a FIFO.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (!initialised || fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    size_ = static_cast<std::uint64_t>(st.st_size);
    Elf64_Ehdr eh{};
    if (::pread(fd_, &eh, sizeof eh, 0) < EI_NIDENT + 4 || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
        return;
    if (eh.e_ident[EI_CLASS] != ELFCLASS32 && eh.e_ident[EI_CLASS] != ELFCLASS64) return;
    class_ = eh.e_ident[EI_CLASS];
    // e_type and e_machine sit at the same place in both classes.
    const bool native = eh.e_ident[EI_DATA] == native_data;
    machine_ = native ? eh.e_machine : __builtin_bswap16(eh.e_machine);
    dyn_ = (native ? eh.e_type : __builtin_bswap16(eh.e_type)) == ET_DYN;
    if (class_ != ELFCLASS64 || !native || machine_ != native_machine()) return;
    // Only headers that fit the file and the limits reach libelf.
    std::uint64_t sections = 0;
    if (!section_count(fd_, eh, sections) || sections > limits_.sections ||
        (sections != 0 && eh.e_shentsize != sizeof(Elf64_Shdr)) ||
        !within(eh.e_shoff, sections * sizeof(Elf64_Shdr), size_) || eh.e_phnum == PN_XNUM ||
        (eh.e_phnum != 0 && eh.e_phentsize != sizeof(Elf64_Phdr)) ||
        !within(eh.e_phoff, std::uint64_t{eh.e_phnum} * sizeof(Elf64_Phdr), size_))
        return;
    elf_ = elf_begin(fd_, ELF_C_READ, nullptr);
    if (elf_ != nullptr && elf_kind(elf_) != ELF_K_ELF) {
        elf_end(elf_);
        elf_ = nullptr;
    }
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
    if (elf_ == nullptr || elf_getphdrnum(elf_, &n) != 0) return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
        GElf_Phdr ph;
        if (gelf_getphdr(elf_, static_cast<int>(i), &ph) == nullptr || ph.p_type != PT_LOAD) continue;
        if ((ph.p_offset & ~(page - 1)) == offset) return start - (ph.p_vaddr & ~(page - 1));
    }
    return std::nullopt;
}

// The symbol table of one type (an object has one of each at most) if its
// entries and its string table lie within the file.
std::optional<elf_file::table> elf_file::table_of(unsigned type) const
{
    size_t sections = 0;
    if (elf_ == nullptr || elf_getshdrnum(elf_, &sections) != 0) return std::nullopt;
    for (Elf_Scn *scn = nullptr; (scn = elf_nextscn(elf_, scn)) != nullptr;) {
        GElf_Shdr sh, names;
        if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type != type || sh.sh_entsize != sizeof(Elf64_Sym) ||
            !within(sh.sh_offset, sh.sh_size, size_) || sh.sh_link == 0 || sh.sh_link >= sections)
            continue;
        Elf_Scn *strings = elf_getscn(elf_, sh.sh_link);
        if (strings == nullptr || gelf_getshdr(strings, &names) == nullptr || names.sh_type != SHT_STRTAB ||
            !within(names.sh_offset, names.sh_size, size_))
            continue;
        return table{sh.sh_offset, std::min<std::uint64_t>(sh.sh_size / sizeof(Elf64_Sym), limits_.symbols),
                     names.sh_offset, names.sh_size};
    }
    return std::nullopt;
}

// Calls f(symbol, name) for each defined, named symbol of the tables of these
// types, names cut at name_bytes, until f returns false.
template <class F>
void elf_file::each_symbol(std::initializer_list<unsigned> types, std::size_t name_bytes, F &&f) const
{
    for (const unsigned type : types)
        if (const std::optional<table> t = table_of(type)) {
            symbols_read_ += t->count;
            window symbols(fd_, t->symbols_at, t->count * sizeof(Elf64_Sym), 0);
            window names(fd_, t->names_at, t->names_size, name_bytes + 1);
            for (std::uint64_t i = 0; i < t->count; ++i) {
                Elf64_Sym sym{};
                const std::string_view raw = symbols.view(i * sizeof sym, sizeof sym);
                if (raw.size() != sizeof sym) break; // the file is shorter than it said
                std::memcpy(&sym, raw.data(), sizeof sym);
                if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0) continue;
                std::string_view name = names.view(sym.st_name, name_bytes + 1);
                name = name.substr(0, std::min(name.find('\0'), name_bytes));
                if (!name.empty() && !f(sym, name)) return;
            }
        }
}

std::optional<elf_symbol> elf_file::object(const std::string &name) const
{
    std::optional<elf_symbol> found;
    // .dynsym first: it is small, and a host's tavnode is there for the library to bind to.
    each_symbol({SHT_DYNSYM, SHT_SYMTAB}, name.size() + 1, [&](const Elf64_Sym &sym, std::string_view n) {
        if (ELF64_ST_TYPE(sym.st_info) != STT_OBJECT || n != name) return true;
        found = elf_symbol{sym.st_value, sym.st_size, name};
        return false;
    });
    return found;
}

std::vector<elf_symbol> elf_file::functions() const
{
    std::vector<elf_symbol> out;
    std::size_t names = 0;
    // .symtab first: it has the static symbols a stripped-down .dynsym leaves out.
    each_symbol({SHT_SYMTAB, SHT_DYNSYM}, limits_.name_bytes, [&](const Elf64_Sym &sym, std::string_view n) {
        if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC) return true;
        names += n.size();
        if (names > limits_.all_name_bytes || out.size() >= limits_.symbols) return false;
        out.push_back({sym.st_value, sym.st_size, std::string(n)});
        return true;
    });
    std::sort(out.begin(), out.end(),
              [](const elf_symbol &a, const elf_symbol &b) { return a.value < b.value; });
    // The same function often sits in both tables: keep one.
    out.erase(std::unique(out.begin(), out.end(),
                          [](const elf_symbol &a, const elf_symbol &b) { return a.value == b.value; }),
              out.end());
    return out;
}

} // namespace tav::remote
