// One ELF object of the target, opened with libelf: its class, machine,
// load segments and symbols.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Elf;

namespace tav::remote {
struct elf_symbol {
    std::uint64_t value = 0, size = 0;
    std::string name;
};

class elf_file {
public:
    explicit elf_file(const std::string &path); // ok() is false if it is not an ELF file
    ~elf_file();
    elf_file(const elf_file &) = delete;
    elf_file &operator=(const elf_file &) = delete;

    bool ok() const { return elf_ != nullptr; }
    int elf_class() const { return class_; }  // ELFCLASS32 / ELFCLASS64
    int machine() const { return machine_; }  // EM_*
    bool position_independent() const { return dyn_; }
    // The bias added to the file's addresses, given a mapping of it at `start` from file `offset`.
    std::optional<std::uintptr_t> load_bias(std::uintptr_t start, std::uintptr_t offset) const;
    // A defined data object of that name, from .symtab or else .dynsym.
    std::optional<elf_symbol> object(const std::string &name) const;
    // Defined functions, sorted by address.
    std::vector<elf_symbol> functions() const;

private:
    template <class F> void each_symbol(F &&f) const;
    int fd_ = -1;
    Elf *elf_ = nullptr;
    int class_ = 0, machine_ = 0;
    bool dyn_ = false;
};

// The ELF machine this program runs as: the only one whose layout it knows.
int native_machine();
} // namespace tav::remote
