// The text of every table, in one place: count line, header format and
// titles, row format.
#pragma once

#include "diag/table.hpp"

namespace tav::formats {

inline constexpr TableFormat<7> group{
    "No of Group Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-32.32s %-8.8s %-8.8s %-8.8s\n",
    "%-2.2d %-1.1d %-3.3d %-32.32s %-8.8d %-8.8d %-8.8d\n",
    {"No", "U", "Idx", "Description", "nTypes", "B-Max", "B-Alloc"},
};

inline constexpr TableFormat<9> type{
    "No of Type Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-24.24s %-10.10s %-8.8s %-8.8s %-8.8s %-8.8s\n",
    "%-2.2d %-1.1d %-3.3d %-24.24s 0x%-8.8x %-8.8d %-8.8d %-8.8d %-8.8d\n",
    {"No", "U", "Idx", "Description", "ghandle", "DefSize", "B-Max", "B-Alloc", "tavpidx"},
};

inline constexpr TableFormat<7> pool{
    "No of Pool Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-8.8s %-8.8s %-8.8s %-8.8s \n",
    "%-2.2d %-1.1d %-3.3d %-8.8d %-8.8d %-8.8d %-8.8d \n",
    {"No", "U", "Idx", "Size", "IncBlks", "MaxBlks", "C-Size"},
};

inline constexpr TableFormat<5> sizelist{
    nullptr,
    "%-2.2s %-8.8s %-8.8s %-10.10s %-10.10s\n",
    "%-2.2d %-8.8d %-8.8d %-8p %-8p\n",
    {"No", "bSize", "pIndex", "CurrPtr", "NextPtr"},
};

inline constexpr TableFormat<11> blockstats{
    "No of Pool Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s\n",
    "%-2.2d %-1.1d %-3.3d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d\n",
    {"No", "U", "Idx", "Size", "Alloced", "A-Peak", "Free", "A-Succ", "F-Succ", "A-Fail", "F-Fail"},
};

// Also the pool table for one type.
inline constexpr TableFormat<10> chunkstats{
    "No of Pool Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s\n",
    "%-2.2d %-1.1d %-3.3d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d\n",
    {"No", "U", "Idx", "Size", "Alloced", "A-Peak", "A-Succ", "F-Succ", "A-Fail", "F-Fail"},
};

inline constexpr const char *size_selection = "Size of Pool Entry = %d.\n";
inline constexpr TableFormat<10> typestats{
    "No of Type Entries = %d.\n",
    "%-2.2s %-1.1s %-3.3s %-8.8s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s %-6.6s\n",
    "%-2.2d %-1.1d %-3.3d %-8.8s %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d %-6.6d\n",
    {"No", "U", "Idx", "Name", "Alloced", "A-Peak", "A-Succ", "F-Succ", "A-Fail", "F-Fail"},
};

inline constexpr const char *type_selection = "Memory Type = %s\n";

static_assert(well_formed(group) && well_formed(type) && well_formed(pool) && well_formed(sizelist) &&
              well_formed(blockstats) && well_formed(chunkstats) && well_formed(typestats));

} // namespace tav::formats
