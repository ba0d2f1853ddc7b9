// Collections rendered through the exporter in both formats: labels on every
// host series, hosts that could not be read, hostile names, the cap and the filters.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "collector.hpp"
#include "render.hpp"

namespace {
using namespace tav::exporter;
using tav::text_format;

// Group "net" (budget 4096) with types rx (two blocks in pool 32) and tx
// (budget 1024); group `ev"il\` with type `ty\pe`; pools 32 and 64.
tav::report sample_report()
{
    tav::report r;
    r.groups = {{"net", 0, 96, 4096, 2, 1, 0}, {"ev\"il\\", 1, 0, 0, 1, 0, 0}};
    const auto type = [](const char *name, const char *group, int32_t budget) {
        tav::type_row t;
        t.name = name;
        t.group = group;
        t.budget_bytes = budget;
        return t;
    };
    r.types = {type("rx", "net", 0), type("tx", "net", 1024), type("ty\\pe", "ev\"il\\", 0)};
    r.types[0].pools = {{"32", 32, 2, 2, 2, 0}};
    r.pools = {{"32", 0, 32, 8, 0, 2, 2, 2, 0, 0}, {"64", 1, 64, 8, 0, 0, 0, 0, 0, 0}};
    return r;
}

// Hosts 101 ("app") and 102 (a hostile comm) read; 103 held implausible values.
std::string scrape(const limits &l, text_format f)
{
    collection c;
    const char *comms[] = {"app", "we\"ird\x01\n", "bad"};
    for (int i = 0; i < 3; ++i) {
        host_state h;
        h.process = {101 + i, 7, comms[i], "/usr/bin/app", 1000, 0x1000, true};
        h.rows = sample_report();
        h.error = i == 2 ? read_error::implausible : read_error::none;
        apply(l, h);
        c.hosts.push_back(std::move(h));
    }
    c.errors[static_cast<std::size_t>(read_error::implausible)] = 1;
    return render(c, f);
}

std::vector<std::string> sample_lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("#")) out.push_back(line);
    return out;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(Render, EveryHostSeriesCarriesPidAndCommAndUnreadHostsOnlyTheirState)
{
    const std::regex host_series(R"re(([a-z_]+)\{pid="(10[123])",comm="([^"\\]|\\.)*"[,}].* \d+)re");
    for (const text_format f : {text_format::prometheus, text_format::openmetrics}) {
        const std::string text = scrape({}, f);
        for (const std::string &line : sample_lines(text)) {
            std::smatch m;
            if (line.starts_with("tav_exporter_") && !line.starts_with("tav_exporter_type_series_dropped"))
                continue;
            ASSERT_TRUE(std::regex_match(line, m, host_series)) << line;
            if (m[2] == "103") {
                EXPECT_TRUE(m[1] == "tav_up" || m[1] == "tav_process_info") << line;
            }
        }
        EXPECT_TRUE(has(text, "\ntav_up{pid=\"101\",comm=\"app\"} 1\n"));
        EXPECT_TRUE(has(text, "\ntav_up{pid=\"103\",comm=\"bad\"} 0\n"));
        EXPECT_TRUE(
            has(text, "\ntav_process_info{pid=\"103\",comm=\"bad\",exe=\"/usr/bin/app\",uid=\"1000\"} 1\n"));
        EXPECT_TRUE(has(
            text, "tav_group_charged_bytes{pid=\"102\",comm=\"we\\\"ird\\\\x01\\\\n\",group=\"net\"} 96\n"));
        EXPECT_TRUE(has(text, "{pid=\"101\",comm=\"app\",group=\"ev\\\"il\\\\\",type=\"ty\\\\pe\"} 0\n"));
        EXPECT_TRUE(has(text, "tav_exporter_read_errors_total{reason=\"implausible\"} 1\n"));
        EXPECT_FALSE(has(text, "\ntav_type_pool_blocks{")) << "the type-by-pool families are opt-in";
    }
}

TEST(Render, CapLeavesOutAHostsTypeFamiliesAndSaysHowManySeries)
{
    const auto dropped = [](const std::string &text) {
        std::smatch m;
        const std::regex r(R"re(\ntav_exporter_type_series_dropped\{pid="101",comm="app"\} (\d+)\n)re");
        return std::regex_search(text, m, r) ? std::stoi(m[1]) : -1;
    };
    limits l;
    l.type_series = 7; // rx 2, tx 3 with its budget, ty\pe 2
    std::string text = scrape(l, text_format::openmetrics);
    EXPECT_EQ(dropped(text), 0);
    EXPECT_TRUE(has(text, "\ntav_type_charged_bytes{pid=\"101\""));
    l.type_series = 6;
    text = scrape(l, text_format::openmetrics);
    EXPECT_EQ(dropped(text), 7);
    EXPECT_FALSE(has(text, "\ntav_type_"));
    EXPECT_TRUE(has(text, "\ntav_group_charged_bytes{pid=\"101\",comm=\"app\",group=\"net\"} 96\n"));
    EXPECT_TRUE(has(text, "\ntav_pool_blocks{pid=\"101\",comm=\"app\",pool_size=\"32\"} 2\n"));
    l.type_pools = true; // rx's one pool adds four series
    l.type_series = 10;
    EXPECT_EQ(dropped(scrape(l, text_format::prometheus)), 11);
    l.type_series = 0; // no cap
    text = scrape(l, text_format::prometheus);
    EXPECT_EQ(dropped(text), 0);
    EXPECT_TRUE(has(
        text,
        "\ntav_type_pool_blocks{pid=\"101\",comm=\"app\",group=\"net\",type=\"rx\",pool_size=\"32\"} 2\n"));
}

TEST(Render, FiltersMatchWholeNamesAndATypeGoesWithItsGroup)
{
    limits l;
    l.types_exclude = std::regex("rx");
    l.groups_include = std::regex("n|net");
    std::string text = scrape(l, text_format::prometheus);
    EXPECT_TRUE(has(text, "type=\"tx\""));
    EXPECT_FALSE(has(text, "type=\"rx\""));
    EXPECT_FALSE(has(text, "ev\\\"il")) << "its group left out, and with it its type";
    l = {};
    l.types_exclude = std::regex("r"); // not the whole of "rx"
    EXPECT_TRUE(has(scrape(l, text_format::prometheus), "type=\"rx\""));
}

} // namespace
