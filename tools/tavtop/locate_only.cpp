// Until the snapshot builder is in the tree, tavtop can only say where the control block is.
#include "views.hpp"

#include <cstdio>

namespace tavtop {
int run(const target &t, const options &)
{
    std::printf("process %d (%s): tavnode at 0x%lx in %s\n", t.pid, t.name.c_str(),
                static_cast<unsigned long>(t.node), t.object.c_str());
    return 0;
}
} // namespace tavtop
