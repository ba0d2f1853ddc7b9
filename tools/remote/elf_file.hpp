// One ELF object of the target, opened with libelf: its class, machine,
// load segments and symbols. The file is the target's and may lie about
// itself: headers are checked against the file's real size before libelf
// sees them, and symbol and string tables are read through fixed windows, so
// the memory used does not depend on what the tables claim.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Elf;

namespace tav::remote {
struct elf_symbol {
    std::uint64_t value = 0, size = 0;
    std::string name;
};

// What reading one object may cost, whatever its tables claim.
struct elf_limits {
    std::size_t sections = 1u << 16;        // section headers
    std::size_t symbols = 1u << 20;         // symbols read per table
    std::size_t name_bytes = 1024;          // one name, longer ones cut
    std::size_t all_name_bytes = 32u << 20; // the names functions() keeps, all together
};

class elf_file {
public:
    explicit elf_file(const std::string &path,
                      const elf_limits &limits = {}); // ok() is false if it is not an ELF file
    ~elf_file();
    elf_file(const elf_file &) = delete;
    elf_file &operator=(const elf_file &) = delete;

    bool ok() const { return class_ != 0; }
    int elf_class() const { return class_; } // ELFCLASS32 / ELFCLASS64
    int machine() const { return machine_; } // EM_*
    bool position_independent() const { return dyn_; }
    // The bias added to the file's addresses, given a mapping of it at `start` from file `offset`.
    std::optional<std::uintptr_t> load_bias(std::uintptr_t start, std::uintptr_t offset) const;
    // A defined data object of that name, from .dynsym or else .symtab.
    std::optional<elf_symbol> object(const std::string &name) const;
    // Defined functions, sorted by address, names cut at limits.name_bytes,
    // as many as limits.all_name_bytes of names allow.
    std::vector<elf_symbol> functions() const;
    // How many symbol entries the look-ups so far have read (at most limits.symbols a table).
    std::uint64_t symbols_read() const { return symbols_read_; }

private:
    struct table; // a symbol table and its string table, checked
    std::optional<table> table_of(unsigned type) const;
    template <class F>
    void each_symbol(std::initializer_list<unsigned> types, std::size_t name_bytes, F &&f) const;
    int fd_ = -1;
    Elf *elf_ = nullptr; // 64-bit objects of this machine only: the only ones whose symbols are read
    std::uint64_t size_ = 0;
    elf_limits limits_;
    int class_ = 0, machine_ = 0;
    bool dyn_ = false;
    mutable std::uint64_t symbols_read_ = 0;
};

// The ELF machine this program runs as: the only one whose layout it knows.
int native_machine();
} // namespace tav::remote
