// Names for code addresses of the target, for its trace ring: function+0xoff
// (demangled) where a symbol covers the address, else object+0xoff, else the
// address. An object's symbols are read the first time an address falls in
// it; names are raw bytes of the target's files, for the caller to make
// printable.
#pragma once
#include "proc_maps.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tav::remote {

// A C++ symbol demangled, or the name as it is. Long names stay mangled: a
// few hundred bytes can demangle into gigabytes.
std::string demangled(const std::string &name);

class caller_names {
public:
    caller_names(pid_t pid, std::vector<mapping> maps);
    std::string operator()(std::uintptr_t address);

private:
    struct object {
        bool ok = false;
        std::uintptr_t bias = 0;
        std::vector<struct elf_symbol> functions;
    };
    const object &load(std::size_t mapping_index);
    std::string name_of(std::uintptr_t address);
    pid_t pid_;
    std::vector<mapping> maps_;                          // by start address
    std::unordered_map<std::string, std::size_t> first_; // path -> its first mapping
    std::unordered_map<std::string, std::shared_ptr<object>> objects_;
    std::unordered_map<std::uintptr_t, std::string> named_;
    std::size_t demangled_bytes_ = 0;
    std::uint64_t symbols_read_ = 0;
};
} // namespace tav::remote
