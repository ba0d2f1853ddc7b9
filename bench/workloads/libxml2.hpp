// libxml2: a document parsed and queried (see common.hpp). Whose heap it
// charges is decided once per process, by the hook.
#pragma once

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <string_view>

namespace work {

inline xmlDocPtr xml_parse(std::string_view xml)
{
    return xmlReadMemory(xml.data(), int(xml.size()), "feed.xml", nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR);
}

// An XPath expression's value as a number; -1 when it cannot be evaluated.
inline double xml_evaluate(xmlDocPtr doc, const char *xpath)
{
    xmlXPathContextPtr ctx = doc == nullptr ? nullptr : xmlXPathNewContext(doc);
    xmlXPathObjectPtr v = ctx == nullptr ? nullptr : xmlXPathEvalExpression(BAD_CAST xpath, ctx);
    const double n = v == nullptr ? -1 : xmlXPathCastToNumber(v);
    xmlXPathFreeObject(v);
    xmlXPathFreeContext(ctx);
    return n;
}

} // namespace work
