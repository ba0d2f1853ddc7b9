// Registers, allocates through the C++ layer and checks the JSON statistics.
#include <cstdio>
#include <vector>

#include "platform/zuno.h"
#include "tav.h"
#include "tav/json.hpp"

struct tavnode tavnode;

int main()
{
    const tav::group_handle g = tav::register_group("consumer", 0).value();
    (void)tav::register_pool(64).value();
    const tav::type_handle t = tav::register_type(g, "items", 16).value();
    std::vector<int, tav::allocator<int>> v(tav::allocator<int>{t});
    v.assign(10, 7);
    const nlohmann::json j = nlohmann::json::parse(tav::statistics_json());
    const bool ok = j["types"][0]["balloc"] == 64 && zunoNamespaceHas("consumerTavMemType", "items") != 0;
    std::printf("find_package consumer: %s\n", ok ? "ok" : "wrong");
    return ok ? 0 : 1;
}
