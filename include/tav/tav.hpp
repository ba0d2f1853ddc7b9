// The C++ layer over libtav, for hosts: typed handles, results that carry
// status codes as std::error_code, a standard allocator and a polymorphic
// memory resource charged to a memory type, an owning block handle, and a
// snapshot of the whole registry read under the read lock.
//
// Header-only: libtav.so. stays the C library. Needs C++20; tav::describe_caller
// uses dladdr (link ${CMAKE_DL_LIBS}, i.e. -ldl, on glibc before 2.34).
#pragma once

#include "tav/config.hpp"

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
#include "tav/handle.hpp"
#include "tav/snapshot.hpp"

namespace tav {

// ---- Status codes as std::error_code -------------------------------------

// A status code means different things per operation, so each family of
// operations has its own category, which names every code it can return.
struct code_text {
    int code;
    const char *name;
    const char *meaning;
};

class status_category final : public std::error_category {
public:
    constexpr status_category(const char *name, std::span<const code_text> codes) noexcept
        : name_(name), codes_(codes)
    {
    }
    const char *name() const noexcept override { return name_; }
    std::string message(int code) const override
    {
        for (const code_text &c : codes_)
            if (c.code == code) return std::string(c.name) + ": " + c.meaning;
        return "unknown status " + std::to_string(code);
    }

private:
    const char *name_;
    std::span<const code_text> codes_;
};

namespace detail {
inline constexpr code_text lookup_codes[] = {
    {TAV_E_NULL, "TAV_E_NULL", "a required pointer argument is null"},
    {TAV_E_NOTFOUND, "TAV_E_NOTFOUND", "no record matches the name, size or handle"}};
inline constexpr code_text group_codes[] = {
    {TAV_GROUP_EXISTS, "TAV_GROUP_EXISTS", "a group of that name exists"},
    {TAV_GROUP_NOMEM, "TAV_GROUP_NOMEM", "out of memory"}};
inline constexpr code_text type_codes[] = {
    {TAV_TYPE_BADGROUP, "TAV_TYPE_BADGROUP", "the group handle names no live group"},
    {TAV_TYPE_EXISTS, "TAV_TYPE_EXISTS", "a type of that name exists"},
    {TAV_TYPE_BUDGET_BELOW_DEFSIZE, "TAV_TYPE_BUDGET_BELOW_DEFSIZE", "budget smaller than the default size"},
    {TAV_TYPE_BUDGET_ABOVE_GROUP, "TAV_TYPE_BUDGET_ABOVE_GROUP", "budget larger than the group's budget"},
    {TAV_TYPE_NOMEM, "TAV_TYPE_NOMEM", "out of memory"}};
inline constexpr code_text pool_codes[] = {
    {TAV_POOL_BADSIZE, "TAV_POOL_BADSIZE", "size not positive or not a multiple of 4"},
    {TAV_POOL_INC_ABOVE_MAX, "TAV_POOL_INC_ABOVE_MAX", "increment greater than maximum"},
    {TAV_POOL_MAX_NOT_MULTIPLE, "TAV_POOL_MAX_NOT_MULTIPLE", "maximum not a multiple of the increment"},
    {TAV_POOL_NOMEM, "TAV_POOL_NOMEM", "out of memory"},
    {TAV_POOL_NOMEM_COUNTERS, "TAV_POOL_NOMEM_COUNTERS", "out of memory for the per-type counters"}};
inline constexpr code_text release_codes[] = {
    {TAV_FREE_BADHEADER, "TAV_FREE_BADHEADER", "null address, or no valid block header"},
    {TAV_FREE_MISMATCH, "TAV_FREE_MISMATCH", "another type's block, or a size no pool covers"},
    {TAV_FREE_POOL_UNUSED, "TAV_FREE_POOL_UNUSED", "the covering pool is not in use"},
    {TAV_FREE_DEAD, "TAV_FREE_DEAD", "the block's type is gone, or the block is already released"}};
} // namespace detail

// The categories: look-ups and queries (-1, -2), each registration, the release.
// Constant-initialized, so usable from any static initializer.
inline constinit const status_category lookup_category{"tav lookup", detail::lookup_codes};
inline constinit const status_category group_register_category{"tav group register", detail::group_codes};
inline constinit const status_category type_register_category{"tav type register", detail::type_codes};
inline constinit const status_category pool_register_category{"tav pool register", detail::pool_codes};
inline constinit const status_category release_category{"tav release", detail::release_codes};

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
template <class T> result<T> make(int32_t status, int32_t success, T value, const std::error_category &c)
{
    if (status == success) return value;
    return std::error_code(status, c);
}
} // namespace detail

// ---- Registration and look-up --------------------------------------------
// Names are copied so that they reach the library NUL-terminated.

inline result<group_handle> register_group(std::string_view name, int32_t budget = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavgroupregister(std::string(name).c_str(), budget, &h);
    return detail::make(rc, TAV_OK, group_handle(h), group_register_category);
}

inline result<type_handle> register_type(group_handle group, std::string_view name, int32_t defsize,
                                         int32_t budget = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavtyperegister(group.value(), std::string(name).c_str(), defsize, budget, &h);
    return detail::make(rc, TAV_OK, type_handle(h), type_register_category);
}

// A pool that exists already is found, not refused; its increment and maximum stay.
inline result<pool_handle> register_pool(int32_t size, int32_t incblks = 0, int32_t maxblks = 0)
{
    tavhandle h = 0;
    const int32_t rc = tavpoolregister(size, incblks, maxblks, &h);
    return detail::make(rc, TAV_OK, pool_handle(h), pool_register_category);
}

inline result<group_handle> find_group(std::string_view name)
{
    tavhandle h = 0;
    const int32_t rc = tavgroupnametohandle(std::string(name).c_str(), &h);
    return detail::make(rc, TAV_OK, group_handle(h), lookup_category);
}

inline result<type_handle> find_type(std::string_view name)
{
    tavhandle h = 0;
    const int32_t rc = tavtypenametohandle(std::string(name).c_str(), &h);
    return detail::make(rc, TAV_OK, type_handle(h), lookup_category);
}

// The pool of exactly this block size (not a covering larger one).
inline result<pool_handle> find_pool(int32_t size)
{
    tavhandle h = 0;
    const int32_t rc = tavpoolsizetohandle(size, &h);
    return detail::make(rc, TAV_OK, pool_handle(h), lookup_category);
}

// Names come back as the library copies them out: at most 31 characters.
inline result<std::string> name_of(group_handle g)
{
    char buf[TAV_NAME_BUF] = {};
    const int32_t rc = tavgrouphandletoname(g.value(), buf);
    return detail::make(rc, TAV_OK, std::string(buf), lookup_category);
}

inline result<std::string> name_of(type_handle t)
{
    char buf[TAV_NAME_BUF] = {};
    const int32_t rc = tavtypehandletoname(t.value(), buf);
    return detail::make(rc, TAV_OK, std::string(buf), lookup_category);
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
    return detail::make(rc, TAV_OK, u, lookup_category);
}

inline result<usage> statistics(type_handle t)
{
    usage u;
    const int32_t rc = tavtypegetstatistics(t.value(), &u.balloc, &u.failcount);
    return detail::make(rc, TAV_OK, u, lookup_category);
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
    return detail::make(rc, TAV_POOL_FOUND, s, lookup_category);
}

// Empties the registry. Blocks still held stay valid memory but are refused
// on release until matching records exist again.
inline void shutdown() noexcept { (void)tavshutdown(); }

// ---- Blocks, allocator, memory resource ----------------------------------

// What every block address is aligned to: the system allocator's 16 bytes,
// kept by the 32-byte header in front of the data.
inline constexpr std::size_t block_alignment = 16;

// The status of handing a block back, in release_category.
inline std::error_code release(type_handle t, void *p) noexcept
{
    const int32_t rc = tavpoolfree(t.value(), p);
    return rc == TAV_OK ? std::error_code() : std::error_code(rc, release_category);
}

namespace detail {
// n objects of `size` bytes aligned to `align`, charged to t; std::bad_alloc
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
    if (p == nullptr) throw std::bad_alloc();
    if (reinterpret_cast<std::uintptr_t>(p) % align != 0) {
        (void)tavpoolfree(t.value(), p);
        throw std::bad_alloc();
    }
    return p;
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
    void deallocate(T *p, std::size_t) noexcept { (void)tavpoolfree(type_.value(), p); }
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
    void do_deallocate(void *p, std::size_t, std::size_t) override { (void)tavpoolfree(type_.value(), p); }
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
        if (ptr_ == nullptr) throw std::bad_alloc();
    }
    block(block &&o) noexcept : type_(o.type_), ptr_(std::exchange(o.ptr_, nullptr)) {}
    block &operator=(block &&o) noexcept
    {
        if (this != &o) {
            (void)free();
            type_ = o.type_;
            ptr_ = std::exchange(o.ptr_, nullptr);
        }
        return *this;
    }
    block(const block &) = delete;
    block &operator=(const block &) = delete;
    ~block() { (void)free(); }

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
