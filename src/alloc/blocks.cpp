#include "alloc/blocks.hpp"

#include "alloc/window.hpp"

namespace tav {

bool blocks_hand_out(uintptr_t addr)
{
    if (!window_make()) return false;
    const MapBit b = pagemap_place(addr);
    if (b.word == nullptr) return false;
    pagemap_set(b);
    window_forget(addr);
    return true;
}

BlockFacts blocks_find(uintptr_t addr)
{
    const MapBit b = pagemap_bit(addr);
    if (b.set()) return {BlockState::live, b, 0};
    const Released r = window_find(addr);
    if (!r.found) return {BlockState::unknown, b, 0};
    return {r.oversize ? BlockState::released_oversize : BlockState::released_pooled, b, r.handle};
}

void blocks_take_back(const BlockFacts &live, uintptr_t addr, bool oversize, tavhandle handle)
{
    pagemap_clear(live.bit);
    window_add(addr, oversize, handle);
}

bool blocks_sound() { return pagemap_sound() && window_sound(); }

} // namespace tav

#ifdef TAV_DEBUG_CHECKS
#include "core/lock.hpp"

// Builds made for testing export the self-check, for the test host and the
// fuzzer to call between operations; shipped builds do not.
extern "C" __attribute__((visibility("default"))) int tav_debug_blocks_sound(void)
{
    tav::ReadLock lock;
    return lock && tav::blocks_sound() ? 1 : 0;
}
#endif
