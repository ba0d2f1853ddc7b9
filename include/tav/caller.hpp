// Names a code address (a trace entry's caller) through dladdr. Apart from the
// rest of the layer because it needs <dlfcn.h>, the C++ ABI's demangler and, on
// glibc before 2.34, -ldl (${CMAKE_DL_LIBS}; tav::cxx links it).
#pragma once

#include "tav/config.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>
#include <string>
#include <string_view>

namespace tav {

// A code address as "function+0xoffset" (demangled), "library+0xoffset" when
// the nearest symbol is not exported, or "0xaddress". Functions of the main
// program are named only when it exports them (-rdynamic, ENABLE_EXPORTS).
inline std::string describe_caller(std::uintptr_t at)
{
    const auto *addr = reinterpret_cast<const char *>(at);
    char hex[2 + 2 * sizeof(void *) + 1];
    const auto fmt = [&hex](std::uintptr_t v) {
        std::snprintf(hex, sizeof hex, "0x%zx", static_cast<std::size_t>(v));
        return std::string(hex);
    };
    Dl_info info{};
    // A return address can lie just past its function's end: look up the call itself.
    if (addr == nullptr || dladdr(addr - 1, &info) == 0) return fmt(at);
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        int status = 0;
        char *plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && plain != nullptr ? plain : info.dli_sname;
        std::free(plain);
        return name + "+" + fmt(at - reinterpret_cast<std::uintptr_t>(info.dli_saddr));
    }
    if (info.dli_fname != nullptr) {
        const std::string_view file(info.dli_fname);
        const std::string base(file.substr(file.rfind('/') + 1));
        return base + "+" + fmt(at - reinterpret_cast<std::uintptr_t>(info.dli_fbase));
    }
    return fmt(at);
}

} // namespace tav
