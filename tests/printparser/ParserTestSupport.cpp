#include "ParserTestSupport.h"

#include <gtest/gtest.h>

std::string CorpusPath(const std::string& strName) {
    return std::string(KLENDO_PARSER_CORPUS) + "/" + strName;
}

FILEFORMATINFO ParseBytes(const std::string& strData) {
    FILEFORMATINFO info;
    EXPECT_EQ(1, ParsePrintBuffer(reinterpret_cast<const uint8_t*>(strData.data()), strData.size(), info));
    return info;
}

FILEFORMATINFO ReadWith(void (*pReader)(CByteSource&, CParseSink&), const std::string& strData) {
    FILEFORMATINFO info;
    CParseSink sink(info, nullptr);
    CByteSource source(reinterpret_cast<const uint8_t*>(strData.data()), strData.size());
    pReader(source, sink);
    return info;
}
