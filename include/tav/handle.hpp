// Typed handles: a tavhandle of one kind (group, type, pool); the kinds do not
// convert into each other. Ordered and hashable, so they key maps and sets.
#pragma once

#include "tav/config.hpp"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "../tav.h"

namespace tav {

template <int Kind> class handle {
public:
    constexpr handle() noexcept = default;
    constexpr explicit handle(tavhandle value) noexcept : value_(value) {}
    constexpr tavhandle value() const noexcept { return value_; }
    constexpr uint32_t index() const noexcept { return static_cast<uint32_t>(value_ & TAV_INDEX_MASK); }
    constexpr explicit operator bool() const noexcept { return value_ != 0; }
    friend constexpr bool operator==(handle, handle) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(handle, handle) noexcept = default;

    // The handle of the record at index i, as the library makes it.
    static constexpr handle of_index(uint32_t i) noexcept
    {
        return handle((tavhandle{i} & TAV_INDEX_MASK) | (tavhandle{Kind} << TAV_KIND_SHIFT));
    }

private:
    tavhandle value_ = 0;
};

using group_handle = handle<TAV_KIND_GROUP>;
using type_handle = handle<TAV_KIND_TYPE>;
using pool_handle = handle<TAV_KIND_POOL>;

} // namespace tav

template <int Kind> struct std::hash<tav::handle<Kind>> {
    std::size_t operator()(tav::handle<Kind> h) const noexcept { return std::hash<tavhandle>{}(h.value()); }
};
