// Uses the library as a host does: registers, charges a container, reads the
// monitoring view. It calls no platform function itself.
#include <cstdio>
#include <tav/monitor.hpp>
#include <tav/tav.hpp>
#include <vector>

struct tavnode tavnode;

int main()
{
    const tav::group_handle g = tav::register_group("consumer").value();
    (void)tav::register_pool(64).value();
    const tav::type_handle t = tav::register_type(g, "items", 16).value();
    std::vector<int, tav::allocator<int>> v{tav::allocator<int>(t)};
    v.assign(10, 7);
    const auto j = nlohmann::json::parse(tav::render_json(tav::report_of(tav::take_snapshot())));
    const bool ok = j["types"][0]["charged_bytes"] == 64;
    std::printf("find_package consumer: %s\n", ok ? "ok" : "wrong");
    return ok ? 0 : 1;
}
