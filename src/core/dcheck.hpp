// Cheap checks of the invariants at the points where the block structures and
// the charges change. Debug, sanitizer and fuzz builds (TAV_DEBUG_CHECKS)
// compile them in and stop at the first that fails; shipped builds compile
// them out. The full walks of the structures (blocks_sound) are the
// expensive tier, which the tests call.
#pragma once

#ifdef TAV_DEBUG_CHECKS
namespace tav {
[[noreturn, gnu::cold]] void dcheck_failed(const char *what, const char *file, int line);
}
#define TAV_DCHECK(cond) ((cond) ? (void)0 : ::tav::dcheck_failed(#cond, __FILE__, __LINE__))
#else
#define TAV_DCHECK(cond) ((void)0)
#endif
