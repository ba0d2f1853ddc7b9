#include "core/messages.hpp"

#include <cstdio>

#include "platform/zuno.h"

namespace tav {

void report_pool_unlisted() { std::puts("Error in adding Pool to List"); }

void report_null_free() { std::printf("%s: NULL pointer free!!!\n", zunoGetProcessName()); }

void report_double_free(const void *ptr, const tavtype &t)
{
    std::printf("%s: Double memory free %p type \"%s\"!!!\n", zunoGetProcessName(), ptr, t.name);
}

} // namespace tav
