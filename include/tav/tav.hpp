// The C++ layer over libtav, for hosts: typed handles, results that carry
// refusals as std::error_code (tav::errc), a standard allocator and a
// polymorphic memory resource charged to a memory type, refusals that name the
// budget, an owning block handle, and a snapshot of the whole registry.
//
// Header-only: libtav.so. stays the C library. Needs C++20. Caller naming
// (dladdr) is apart, in tav/caller.hpp.
#pragma once

#include "tav/config.hpp"
#ifndef TAV_CXX_TOO_OLD

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <new>
#include <pthread.h>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "../tav.h"
#include "tav/error.hpp"
#include "tav/handle.hpp"
#include "tav/snapshot.hpp"

namespace tav {

// ---- Status codes as tav::errc -------------------------------------------

namespace detail {
// A status code means different things per operation: each family maps its
// own numbers to the one enum.
struct status_meaning {
    int32_t status;
    errc code;
};
inline constexpr status_meaning lookup_codes[] = {{TAV_E_NULL, errc::null_argument},
                                                  {TAV_E_NOTFOUND, errc::not_found}};
inline constexpr status_meaning group_codes[] = {{TAV_GROUP_EXISTS, errc::group_exists},
                                                 {TAV_GROUP_NOMEM, errc::out_of_memory}};
inline constexpr status_meaning type_codes[] = {{TAV_TYPE_BADGROUP, errc::bad_group},
                                                {TAV_TYPE_EXISTS, errc::type_exists},
                                                {TAV_TYPE_BUDGET_BELOW_DEFSIZE, errc::budget_below_default_size},
                                                {TAV_TYPE_BUDGET_ABOVE_GROUP, errc::budget_above_group},
                                                {TAV_TYPE_NOMEM, errc::out_of_memory}};
inline constexpr status_meaning pool_codes[] = {{TAV_POOL_BADSIZE, errc::bad_pool_size},
                                                {TAV_POOL_INC_ABOVE_MAX, errc::increment_above_maximum},
                                                {TAV_POOL_MAX_NOT_MULTIPLE, errc::maximum_not_multiple},
                                                {TAV_POOL_NOMEM, errc::out_of_memory},
                                                {TAV_POOL_NOMEM_COUNTERS, errc::out_of_memory}};
inline constexpr status_meaning release_codes[] = {{TAV_FREE_BADHEADER, errc::bad_header},
                                                   {TAV_FREE_MISMATCH, errc::mismatch},
                                                   {TAV_FREE_POOL_UNUSED, errc::pool_unused},
                                                   {TAV_FREE_DEAD, errc::dead_block}};

inline std::error_code to_error(int32_t status, std::span<const status_meaning> codes) noexcept
{
    for (const status_meaning &m : codes)
        if (m.status == status) return m.code;
    return {int(status), category()}; // a status this layer does not know: kept as it is
}
} // namespace detail

// A value or the error_code of the status that refused it. [[nodiscard]]:
// dropping a registration's or look-up's result is a compile-time warning.
template <class T> class [[nodiscard]] result {
public:
    result(T value) : value_(std::move(value)) {}
    result(std::error_code error) : error_(error) {}

    bool has_value() const noexcept { return !error_; }
    explicit operator bool() const noexcept { return has_value(); }
    std::error_code error() const noexcept { return error_; }
    // Throws std::system_error with the status when there is no value. On a
    // temporary the value is moved out, so `for (c : name_of(t).value())` is safe.
    const T &value() const &
    {
        if (error_) throw std::system_error(error_);
        return value_;
    }
    T value() &&
    {
        if (error_) throw std::system_error(error_);
        return std::move(value_);
    }
    const T &operator*() const &noexcept { return value_; }
    T operator*() &&noexcept { return std::move(value_); }
    const T *operator->() const noexcept { return &value_; }

private:
    T value_{};
    std::error_code error_;
};

namespace detail {
template <class T> result<T> make(int32_t status, int32_t success, T value, std::span<const status_meaning> codes)
{
    if (status == success) return value;
    return to_error(status, codes);
}
} // namespace detail

// ---- Registration and look-up --------------------------------------------
// Names are copied so that they reach the library NUL-terminated.

inline result<group_handle> register_group(std::string_view name, int32_t budget = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavgroupregister(std::string(name).c_str(), budget, &h);
    return detail::make(rc, TAV_OK, group_handle(h), detail::group_codes);
}

inline result<type_handle> register_type(group_handle group, std::string_view name, int32_t defsize,
                                         int32_t budget = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavtyperegister(group.value(), std::string(name).c_str(), defsize, budget, &h);
    return detail::make(rc, TAV_OK, type_handle(h), detail::type_codes);
}

// A pool that exists already is found, not refused; its increment and maximum stay.
inline result<pool_handle> register_pool(int32_t size, int32_t incblks = 0, int32_t maxblks = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavpoolregister(size, incblks, maxblks, &h);
    return detail::make(rc, TAV_OK, pool_handle(h), detail::pool_codes);
}

inline result<group_handle> find_group(std::string_view name)
{
    tavhandle h = 0;
    const int32_t rc = tavgroupnametohandle(std::string(name).c_str(), &h);
    return detail::make(rc, TAV_OK, group_handle(h), detail::lookup_codes);
}

inline result<type_handle> find_type(std::string_view name)
{
    tavhandle h = 0;
    const int32_t rc = tavtypenametohandle(std::string(name).c_str(), &h);
    return detail::make(rc, TAV_OK, type_handle(h), detail::lookup_codes);
}

// The pool of exactly this block size (not a covering larger one).
inline result<pool_handle> find_pool(int32_t size)
{
    tavhandle h = 0;
    const int32_t rc = tavpoolsizetohandle(size, &h);
    return detail::make(rc, TAV_OK, pool_handle(h), detail::lookup_codes);
}

// Names come back as the library copies them out: at most 31 characters.
inline result<std::string> name_of(group_handle g)
{
    char buf[TAV_NAME_BUF] = {};
    const int32_t rc = tavgrouphandletoname(g.value(), buf);
    return detail::make(rc, TAV_OK, std::string(buf), detail::lookup_codes);
}

inline result<std::string> name_of(type_handle t)
{
    char buf[TAV_NAME_BUF] = {};
    const int32_t rc = tavtypehandletoname(t.value(), buf);
    return detail::make(rc, TAV_OK, std::string(buf), detail::lookup_codes);
}

// Bytes charged and budget refusals (low 32 bits) of a group or type.
struct usage {
    int32_t balloc = 0;
    uint32_t failcount = 0;
};

inline result<usage> statistics(group_handle g)
{
    usage u;
    const int32_t rc = tavgroupgetstatistics(g.value(), &u.balloc, &u.failcount);
    return detail::make(rc, TAV_OK, u, detail::lookup_codes);
}

inline result<usage> statistics(type_handle t)
{
    usage u;
    const int32_t rc = tavtypegetstatistics(t.value(), &u.balloc, &u.failcount);
    return detail::make(rc, TAV_OK, u, detail::lookup_codes);
}

struct pool_statistics {
    int32_t free = 0;
    uint32_t alloced = 0, apeak = 0, asucc = 0, fsucc = 0, afail = 0, ffail = 0;
};

// The pool queries report success as TAV_POOL_FOUND (-3); here it is a value.
inline result<pool_statistics> statistics(pool_handle p)
{
    pool_statistics s;
    const int32_t rc = tavpoolgetstatistics(p.value(), &s.free, &s.alloced, &s.apeak, &s.asucc, &s.fsucc,
                                            &s.afail, &s.ffail);
    return detail::make(rc, TAV_POOL_FOUND, s, detail::lookup_codes);
}

// Empties the registry. Blocks still held stay valid memory but are refused
// on release until matching records exist again.
inline void shutdown() noexcept { (void)tavshutdown(); }

// ---- Blocks, allocator, memory resource ----------------------------------

// What every block address is aligned to: the system allocator's 16 bytes,
// kept by the 32-byte header in front of the data.
inline constexpr std::size_t block_alignment = 16;

// The status of handing a block back: empty, or why it was refused.
inline std::error_code release(type_handle t, void *p) noexcept
{
    const int32_t rc = tavpoolfree(t.value(), p);
    return rc == TAV_OK ? std::error_code() : detail::to_error(rc, detail::release_codes);
}

// ---- Refusals ------------------------------------------------------------

// Where a type stands against its budgets: its group's and its own. A budget
// of 0 is none; an unknown type has an empty name.
struct budget_state {
    char type[TAV_NAME_BUF] = {}, group[TAV_NAME_BUF] = {};
    int32_t group_budget = 0, group_charged = 0, type_budget = 0, type_charged = 0;
};

inline budget_state budget_state_of(type_handle t) noexcept
{
    budget_state s;
    int32_t defsize = 0;
    uint32_t fails = 0;
    tavhandle g = 0;
    if (tavtypegetconfig(t.value(), s.type, &defsize, &s.type_budget, s.group) != TAV_OK) return s;
    (void)tavtypegetstatistics(t.value(), &s.type_charged, &fails);
    if (tavgroupnametohandle(s.group, &g) == TAV_OK) {
        (void)tavgroupgetconfig(g, s.group, &s.group_budget);
        (void)tavgroupgetstatistics(g, &s.group_charged, &fails);
    }
    return s;
}

// The most a record's charge may reach: its budget, or with none (0) the most
// its signed 32-bit count holds. The library refuses a block that would take
// the charge of its group, then of its type, past this.
constexpr int64_t charge_limit(int32_t budget) noexcept
{
    return budget != 0 ? budget : std::numeric_limits<int32_t>::max();
}

// Whether `bytes` alone is more than a record has left below its limit.
constexpr bool exceeds(int32_t budget, int32_t charged, std::size_t bytes) noexcept
{
    return bytes > static_cast<std::size_t>(std::max<int64_t>(charge_limit(budget) - charged, 0));
}

// A request the library refused, as std::bad_alloc that says who refused:
// "tav: type "rx" refused 4096 bytes: group "net" budget 65536 bytes, 64000 charged".
class refusal : public std::bad_alloc {
public:
    refusal(type_handle type, std::size_t bytes) noexcept : type_(type), bytes_(bytes)
    {
        const budget_state s = budget_state_of(type);
        const int n = std::snprintf(what_, sizeof what_, "tav: type \"%s\" refused %zu bytes: ", s.type, bytes);
        const std::size_t at = std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof what_ - 1);
        if (s.type[0] == '\0')
            std::snprintf(what_ + at, sizeof what_ - at, "no such type");
        else if (exceeds(s.group_budget, s.group_charged, bytes))
            std::snprintf(what_ + at, sizeof what_ - at, "group \"%s\" %s %lld bytes, %d charged", s.group,
                          limit_name(s.group_budget), static_cast<long long>(charge_limit(s.group_budget)),
                          s.group_charged);
        else if (exceeds(s.type_budget, s.type_charged, bytes))
            std::snprintf(what_ + at, sizeof what_ - at, "type %s %lld bytes, %d charged",
                          limit_name(s.type_budget), static_cast<long long>(charge_limit(s.type_budget)),
                          s.type_charged);
        else
            std::snprintf(what_ + at, sizeof what_ - at, "within budget (a block of its class did not fit, "
                                                         "no pool serves it, or out of memory)");
    }
    const char *what() const noexcept override { return what_; }
    type_handle type() const noexcept { return type_; }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    static const char *limit_name(int32_t budget) noexcept { return budget != 0 ? "budget" : "charge limit"; }

    type_handle type_;
    std::size_t bytes_;
    char what_[192];
};

namespace detail {
// n objects of `size` bytes aligned to `align`, charged to t; tav::refusal
// when refused. Requests beyond the library's 32-bit sizes never reach it (a
// truncated size would be served), and size 0 would mean the type's default
// size, so an empty request asks for 1 byte. Always inlined, like the
// allocation paths below, so that the trace's caller is the host's code.
[[gnu::always_inline]] inline void *allocate(type_handle t, std::size_t n, std::size_t size,
                                             std::size_t align)
{
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    if (size != 0 && n > limit / size) throw std::bad_array_new_length();
    if (align == 0 || align > block_alignment || (align & (align - 1)) != 0) throw std::bad_alloc();
    const std::size_t bytes = n * size;
    void *p = tavpoolalloc(t.value(), bytes == 0 ? 1 : static_cast<int32_t>(bytes));
    if (p == nullptr) throw refusal(t, bytes);
    if (reinterpret_cast<std::uintptr_t>(p) % align != 0) {
        (void)tavpoolfree(t.value(), p);
        throw std::bad_alloc();
    }
    return p;
}

// Hands a block back where nobody could take a status: a refusal goes to the
// release-failure handler.
inline void release_or_report(type_handle t, void *p) noexcept
{
    if (p == nullptr) return;
    if (const std::error_code why = release(t, p)) release_failure_slot().load()(t, p, why);
}
} // namespace detail

// A standard allocator charged to one memory type. It moves with a container's
// storage (move assignment, swap), so every block goes back with the type it
// was charged to; a copy assignment keeps the target's type and copies the
// elements into it. There is no default constructor: an allocator without a
// type would charge nothing sensible.
template <class T> class allocator {
    static_assert(alignof(T) <= block_alignment, "libtav blocks are aligned to 16 bytes");

public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    explicit allocator(type_handle type) noexcept : type_(type) {}
    template <class U> allocator(const allocator<U> &other) noexcept : type_(other.type()) {}

    [[nodiscard, gnu::always_inline]] T *allocate(std::size_t n)
    {
        return static_cast<T *>(detail::allocate(type_, n, sizeof(T), alignof(T)));
    }
    void deallocate(T *p, std::size_t) noexcept { detail::release_or_report(type_, p); }
    // The library's sizes are 32-bit: no request beyond 2 GiB - 1 bytes.
    static constexpr std::size_t max_size() noexcept
    {
        return static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) / sizeof(T);
    }
    type_handle type() const noexcept { return type_; }

    template <class U> friend bool operator==(const allocator &a, const allocator<U> &b) noexcept
    {
        return a.type() == b.type();
    }

private:
    type_handle type_;
};

// A std::pmr::memory_resource charged to one memory type. Alignments above
// block_alignment are refused with std::bad_alloc.
class memory_resource final : public std::pmr::memory_resource {
public:
    explicit memory_resource(type_handle type) noexcept : type_(type) {}
    type_handle type() const noexcept { return type_; }

private:
    void *do_allocate(std::size_t bytes, std::size_t align) override
    {
        return detail::allocate(type_, bytes, 1, align);
    }
    void do_deallocate(void *p, std::size_t, std::size_t) override { detail::release_or_report(type_, p); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override
    {
        const auto *o = dynamic_cast<const memory_resource *>(&other);
        return o != nullptr && o->type_ == type_;
    }

    type_handle type_;
};

// Owns one block and hands it back with the type it was charged to.
class block {
public:
    block() noexcept = default;
    // size 0 takes the type's default pool. Refusal: std::bad_alloc.
    [[gnu::always_inline]] block(type_handle type, int32_t size)
        : type_(type), ptr_(tavpoolalloc(type.value(), size))
    {
        if (ptr_ == nullptr) throw refusal(type, static_cast<std::size_t>(size));
    }
    block(block &&o) noexcept : type_(o.type_), ptr_(std::exchange(o.ptr_, nullptr)) {}
    block &operator=(block &&o) noexcept
    {
        if (this != &o) {
            detail::release_or_report(type_, std::exchange(ptr_, nullptr));
            type_ = o.type_;
            ptr_ = std::exchange(o.ptr_, nullptr);
        }
        return *this;
    }
    block(const block &) = delete;
    block &operator=(const block &) = delete;
    ~block() { detail::release_or_report(type_, ptr_); }

    void *get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    type_handle type() const noexcept { return type_; }
    // The block size charged, from the block's header.
    int32_t size() const noexcept
    {
        return ptr_ == nullptr ? 0 : (static_cast<const tavblkhdr *>(ptr_) - 1)->size;
    }

    // Hands the block back now; the status of the release (none when empty).
    [[nodiscard]] std::error_code free() noexcept
    {
        if (ptr_ == nullptr) return {};
        return tav::release(type_, std::exchange(ptr_, nullptr));
    }
    // Gives up ownership without releasing.
    [[nodiscard]] void *detach() noexcept { return std::exchange(ptr_, nullptr); }

private:
    type_handle type_;
    void *ptr_ = nullptr;
};

} // namespace tav

#endif // TAV_CXX_TOO_OLD
