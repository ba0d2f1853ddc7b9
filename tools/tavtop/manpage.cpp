// Writes tavtop.1 at build time, from the tables --help uses.
#include "usage.hpp"

#include <cstdio>

int main()
{
    const std::string page = tavtop::man_page();
    return std::fwrite(page.data(), 1, page.size(), stdout) == page.size() ? 0 : 1;
}
