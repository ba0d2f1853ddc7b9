// Names for code addresses of the target, for its trace ring: function+0xoff
// where a symbol covers the address, else object+0xoff, else the address.
#pragma once
#include "proc_maps.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tav::remote {
class caller_names {
public:
    caller_names(pid_t pid, std::vector<mapping> maps) : pid_(pid), maps_(std::move(maps)) {}
    std::string operator()(std::uintptr_t address);

private:
    struct object {
        bool ok = false;
        std::uintptr_t bias = 0;
        std::vector<struct elf_symbol> functions;
    };
    const object &load(const mapping &m);
    pid_t pid_;
    std::vector<mapping> maps_;
    std::map<std::string, std::shared_ptr<object>> objects_;
};
} // namespace tav::remote
