#include "ParserTestSupport.h"
#include "printparser/FormatReaders.h"
#include "printparser/PdfDocument.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

FILEFORMATINFO ReadOwn(const std::string& strData) {
    return ReadWith(ReadPdfOwn, strData);
}

std::vector<std::string> CorpusPdfs() {
    std::vector<std::string> files;
    for (const char* szFolder : {"gs", "hostile", "qpdf"}) {
        for (const auto& entry : std::filesystem::directory_iterator(CorpusPath(szFolder))) {
            if (entry.path().extension() == ".pdf")
                files.push_back(std::string(szFolder) + "/" + entry.path().filename().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

// Every PDF of the corpus gives the same page count and first page size through the own reader
// as through libqpdf: encrypted files of every revision included, and those with a user password
// giving zeros through both.
TEST(PdfOwnReader, AgreesWithLibqpdfOnTheWholeCorpus) {
    if (!kBuiltWithLibqpdf)
        GTEST_SKIP() << "no libqpdf in this build; the corpus test checks the answers libqpdf gave";
    std::vector<std::string> files = CorpusPdfs();
    ASSERT_GE(files.size(), 12u);
    for (const std::string& strFile : files) {
        SCOPED_TRACE(strFile);
        std::string strData = ReadWholeFile(CorpusPath(strFile));
        FILEFORMATINFO own = ReadOwn(strData);
        FILEFORMATINFO qpdf = ReadWith(ReadPdf, strData);
        EXPECT_EQ(kFormatPdf, own.nFormat);
        EXPECT_EQ(qpdf.nPageCount, own.nPageCount);
        EXPECT_DOUBLE_EQ(qpdf.dWidth, own.dWidth);
        EXPECT_DOUBLE_EQ(qpdf.dLength, own.dLength);
    }
}
