// libxml2 with its whole heap charged to one type: documents parsed, queried
// and written out; a squeezed budget fails the parse with XML_ERR_NO_MEMORY;
// xmlCleanupParser() takes the charge back to 0. LibXml2TooLate runs alone.
#include <tav/adapters/libxml2.h>

#include "adapter_host.hpp"
#include "bench/workloads/libxml2.hpp"

using namespace adapters_test;

namespace {

constexpr int32_t kBudget = 64 << 20;

void quiet(void *, const char *, ...) {} // refusals are expected here

tavhandle hooked()
{
    static const tavhandle t = make_type("libxml2", kBudget);
    EXPECT_EQ(tav::adapters::libxml2::install(tav::type_handle(t)), std::error_code());
    xmlSetGenericErrorFunc(nullptr, quiet);
    xmlInitParser(); // its tables charged before any squeeze
    return t;
}

TEST(LibXml2Hook, ASecondTypeIsRefused)
{
    const tavhandle t = hooked();
    EXPECT_EQ(tav_libxml2_install(make_type("other")), TAV_ADAPTER_TAKEN);
    EXPECT_EQ(tav_libxml2_install(t), TAV_ADAPTER_OK);
}

TEST(LibXml2Hook, ASqueezedBudgetFailsTheParseWithNoMemory)
{
    const tavhandle t = hooked();
    const std::string xml = sample_xml(20000, 20);
    {
        // Room for no parser context: libxml2 2.9 leaks its 16 KiB input buffer
        // when a parse fails for memory any later (its own fault, with malloc too).
        const Squeeze squeeze(t, kBudget, 16 << 10);
        EXPECT_EQ(xml_parse(xml), nullptr);
        const xmlError *e = xmlGetLastError();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->code, XML_ERR_NO_MEMORY);
    }
    xmlDocPtr doc = xml_parse(xml);
    ASSERT_NE(doc, nullptr) << "libxml2 works on once the budget has room";
    EXPECT_EQ(xml_evaluate(doc, "count(//item)"), 20000);
    xmlFreeDoc(doc);
}

// Last: the cleanup releases libxml2's global tables.
TEST(LibXml2Hook, ParseQueryWriteAndCleanupTakeTheChargeBackToZero)
{
    const tavhandle t = hooked();
    xmlDocPtr doc = xml_parse(sample_xml(5000, 30));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(xml_evaluate(doc, "count(//item[@kind='k3'])"), 714);
    EXPECT_EQ(xml_evaluate(doc, "sum(//item[position() <= 10]/@id)"), 45);
    xmlChar *text = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &text, &size);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(charged(t), size) << "the document and its text";
    xmlDocPtr again = xml_parse(std::string(reinterpret_cast<const char *>(text), size_t(size)));
    EXPECT_EQ(xml_evaluate(again, "string(/feed/item[last()]/@id)"), 4999);
    xmlFree(text);
    xmlFreeDoc(again);
    xmlFreeDoc(doc);
    xmlCleanupParser();
    EXPECT_EQ(charged(t), 0);
    EXPECT_EQ(host::books_problem({}), "");
}

TEST(LibXml2TooLate, AnInstallAfterTheParserStartedIsRefused)
{
    ASSERT_EQ(tav_adapter_hook_type(&tav_libxml2_hook), 0u) << "run this test in a process of its own";
    xmlInitParser();
    const tavhandle t = make_type("libxml2");
    EXPECT_EQ(tav::adapters::libxml2::install(tav::type_handle(t)), tav::errc::too_late);
    xmlDocPtr doc = xml_parse(sample_xml(10, 1));
    EXPECT_EQ(xml_evaluate(doc, "count(//item)"), 10);
    xmlFreeDoc(doc);
    EXPECT_EQ(charged(t), 0);
}

} // namespace
