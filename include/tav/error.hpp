// What went wrong, for C++ hosts: the library's status codes as one enum,
// tav::errc, in one std::error_category, and the report of a refused release.
//
// A host built of several shared libraries with hidden visibility must still
// see one category, or the same error compares unequal between them: the
// category and the report hook live in default-visibility inline functions,
// which the dynamic linker binds to one copy. A copy that is not bound (a
// library loaded with RTLD_LOCAL) still compares equivalent by name.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "../tav.h"
#include "tav/handle.hpp"

namespace tav {

// Every refusal the library can answer, whatever the operation's own number.
enum class errc : int {
    null_argument = 1,         // a required pointer argument is null
    not_found,                 // no record matches the name, size or handle
    out_of_memory,             // the system allocator refused
    group_exists,              // a group of that name exists
    type_exists,               // a type of that name exists
    bad_group,                 // the group handle names no live group
    budget_below_default_size, // a type's budget is smaller than its default size
    budget_above_group,        // a type's budget is larger than its group's
    bad_pool_size,             // a pool size is not positive or not a multiple of 4
    increment_above_maximum,   // a pool's increment is greater than its maximum
    maximum_not_multiple,      // a pool's maximum is not a multiple of its increment
    bad_header,                // a null address, or no valid block header in front
    mismatch,                  // another type's block, or a size no pool covers
    pool_unused,               // the covering pool is not in use
    dead_block,                // the block's type is gone, or it is released already
    too_late,                  // a library allocated before its adapter's hook went in
    hook_taken,                // a library's process-wide hook charges another type
    library_busy,              // a library still holds blocks charged to the hook's type
    library_failed,            // a library refused its adapter's set-up call
};

namespace detail {
inline constexpr const char *errc_meanings[] = {
    "success",
    "a required pointer argument is null",
    "no record matches the name, size or handle",
    "out of memory",
    "a group of that name exists",
    "a type of that name exists",
    "the group handle names no live group",
    "the type's budget is smaller than its default size",
    "the type's budget is larger than its group's",
    "the pool size is not positive or not a multiple of 4",
    "the pool's increment is greater than its maximum",
    "the pool's maximum is not a multiple of its increment",
    "null address, or no valid block header",
    "another type's block, or a size no pool covers",
    "the covering pool is not in use",
    "the block's type is gone, or the block is already released",
    "too late: the library allocated before its hook was installed and keeps its own allocator",
    "the library's hook charges another type already",
    "the library still holds blocks charged to the type: its hook stays",
    "the library refused the call",
};

inline const char *meaning(int code) noexcept
{
    constexpr int count = sizeof errc_meanings / sizeof errc_meanings[0];
    return code >= 0 && code < count ? errc_meanings[code] : "unknown libtav error";
}

inline constexpr char category_name[] = "tav";

class [[gnu::visibility("default")]] category_impl final : public std::error_category {
public:
    const char *name() const noexcept override { return category_name; }
    std::string message(int code) const override { return meaning(code); }
    // Out of memory and null arguments also match the portable conditions.
    std::error_condition default_error_condition(int code) const noexcept override
    {
        if (code == int(errc::out_of_memory)) return std::errc::not_enough_memory;
        if (code == int(errc::null_argument)) return std::errc::invalid_argument;
        return {code, *this};
    }
    // A code from another copy of this category, by name.
    bool equivalent(const std::error_code &code, int condition) const noexcept override
    {
        return code.value() == condition && std::strcmp(code.category().name(), category_name) == 0;
    }
};
} // namespace detail

[[gnu::visibility("default")]] inline const std::error_category &category() noexcept
{
    static const detail::category_impl instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept { return {int(e), category()}; }

// ---- Refused releases ----------------------------------------------------

// Called when the allocator, the memory resource or a block's destructor
// hands a block back and the library refuses it: the block stays charged (or
// was never this library's), and nobody else would hear of it.
using release_failure_handler = void (*)(type_handle type, void *block, std::error_code why) noexcept;

// The default: one line on standard error in debug builds, silence with NDEBUG.
inline void report_release_failure(type_handle type, void *block, std::error_code why) noexcept
{
#ifndef NDEBUG
    char name[TAV_NAME_BUF] = "?";
    (void)tavtypehandletoname(type.value(), name);
    std::fprintf(stderr, "tav: release of %p as type \"%s\" refused: %s\n", block, name,
                 detail::meaning(why.value()));
#else
    (void)type, (void)block, (void)why;
#endif
}

namespace detail {
[[gnu::visibility("default")]] inline std::atomic<release_failure_handler> &release_failure_slot() noexcept
{
    static std::atomic<release_failure_handler> slot{&report_release_failure};
    return slot;
}
} // namespace detail

// Sets the handler (null: the default) and returns the previous one.
inline release_failure_handler set_release_failure_handler(release_failure_handler h) noexcept
{
    return detail::release_failure_slot().exchange(h != nullptr ? h : &report_release_failure);
}

} // namespace tav

template <> struct std::is_error_code_enum<tav::errc> : std::true_type {};

#endif // TAV_CXX_TOO_OLD
