// What a scraper's headers ask for: the text format by Accept, gzip by Accept-Encoding.
#include <gtest/gtest.h>

#include "negotiate.hpp"

namespace {
using tav::text_format;
constexpr text_format om = text_format::openmetrics, text = text_format::prometheus;

TEST(Negotiate, AcceptPicksTheFormatByQualityVersionAndSpecificity)
{
    const struct {
        const char *accept;
        text_format want;
    } table[] = {
        {"", text},
        // What Prometheus 2.42 sends, and what it sends with OpenMetrics switched off.
        {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
         "text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
         om},
        {"text/plain;version=0.0.4;q=1,*/*;q=0.1", text},
        {"application/openmetrics-text", om},
        {"Application/OpenMetrics-Text; Version=\"1.0.0\"", om},
        {"application/openmetrics-text;version=0.0.1", text}, // a version not written here
        {"application/openmetrics-text;version=2.0.0, text/plain;version=0.0.5", text},
        {"text/plain;q=0.5, application/openmetrics-text;q=0.4", text},
        {"text/plain;q=0.4, application/openmetrics-text;q=0.5", om},
        {"text/plain, application/openmetrics-text", om}, // equal: the named OpenMetrics
        {"*/*", text},
        {"application/*", om},
        {"application/*;q=0.5, */*", text},
        {"application/*, text/plain", text},
        {"application/openmetrics-text;q=0, */*", text}, // refused by name, though */* takes it
        {"application/openmetrics-text;q=0.9, application/*;q=0.1", om}, // the most specific range counts
        {"text/plain;q=0.5, application/openmetrics-text;q=0.1, application/openmetrics-text;version=1.0.0",
         om},
        {"application/openmetrics-text;q=2, text/plain;q=0.1", text}, // a q out of range voids its element
        {"application/openmetrics-text;q=x", text},
        {" , ;q=1, application/openmetrics-text ;version=1.0.0 ; q=0.8", om},
    };
    for (const auto &row : table) EXPECT_EQ(tav::exporter::format_for(row.accept), row.want) << row.accept;
}

TEST(Negotiate, GzipOnlyWhenAcceptEncodingTakesIt)
{
    // clang-format off
    const struct {
        const char *encoding;
        bool want;
    } table[] = {
        {"", false},         {"gzip", true},         {"deflate, gzip;q=0.5", true}, {"GZIP", true},
        {"x-gzip", true},    {"gzip;q=0", false},    {"*", true},                   {"*;q=0.5, gzip;q=0", false},
        {"identity", false}, {"br, deflate", false}, {"*;q=0", false},              {"gzip;q=1.5", false},
    };
    // clang-format on
    for (const auto &row : table)
        EXPECT_EQ(tav::exporter::wants_gzip(row.encoding), row.want) << row.encoding;
}

} // namespace
