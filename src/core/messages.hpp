// The library's three messages, the only text it writes besides the tables.
#pragma once

#include "tav.h"

namespace tav {

// A pool registered without a size class: its node could not be allocated.
void report_pool_unlisted();

// A release of the null address; printed without the lock.
void report_null_free();

// A release of a block whose header shows it released already.
void report_double_free(const void *ptr, const tavtype &t);

} // namespace tav
