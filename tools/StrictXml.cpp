#include "StrictXml.h"

#include <expat.h>

#include <climits>
#include <memory>

namespace {

struct SParserDeleter {
    void operator()(XML_ParserStruct* pParser) const { XML_ParserFree(pParser); }
};

} // namespace

bool IsStrictlyWellFormedXml(const std::string& strText) {
    if (strText.size() > static_cast<size_t>(INT_MAX))
        return false;
    std::unique_ptr<XML_ParserStruct, SParserDeleter> pParser(XML_ParserCreate("UTF-8"));
    if (!pParser)
        return false;
    return XML_Parse(pParser.get(), strText.data(), static_cast<int>(strText.size()), XML_TRUE) ==
           XML_STATUS_OK;
}
