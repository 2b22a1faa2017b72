#include "ParserTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

struct SExpected {
    std::string strFile;
    std::string strFormat;
    int nPages = 0;
    std::string strWidth;
    std::string strLength;
};

std::vector<SExpected> ReadManifest() {
    std::vector<SExpected> entries;
    std::ifstream manifest(CorpusPath("manifest.txt"));
    std::string strLine;
    while (std::getline(manifest, strLine)) {
        if (strLine.empty() || strLine[0] == '#')
            continue;
        std::istringstream fields(strLine);
        SExpected entry;
        fields >> entry.strFile >> entry.strFormat >> entry.nPages >> entry.strWidth >> entry.strLength;
        entries.push_back(entry);
    }
    return entries;
}

void ExpectDimension(const std::string& strExpected, double dActual, const char* szWhat) {
    if (strExpected != "-") {
        EXPECT_NEAR(std::atof(strExpected.c_str()), dActual, kTolerance) << szWhat;
    }
}

} // namespace

// Every file of the corpus (Ghostscript's devices and the hand-made hostile files) gives the
// format, page count and first page size of the manifest, read from the file on disk.
TEST(PrintParserCorpus, FilesGiveTheManifestValues) {
    std::vector<SExpected> entries = ReadManifest();
    ASSERT_GE(entries.size(), 40u);
    for (const SExpected& entry : entries) {
        SCOPED_TRACE(entry.strFile);
        CPrintFileParser parser;
        parser.SetFilePath(CorpusPath(entry.strFile));
        FILEFORMATINFO info;
        ASSERT_EQ(1, parser.GetFileInfo(info, -1));
        EXPECT_EQ(entry.strFormat, PrintFormatName(info.nFormat));
        EXPECT_EQ(entry.nPages, info.nPageCount);
        EXPECT_EQ(0, info.nPageCount2);
        ExpectDimension(entry.strWidth, info.dWidth, "width");
        ExpectDimension(entry.strLength, info.dLength, "length");
    }
}

// A file read through the buffered file reader and the same bytes in memory agree, and the
// progress callback's last report equals the result, its page counts never going down.
TEST(PrintParserCorpus, FileAndMemoryAgreeAndProgressEndsAtTheResult) {
    for (const SExpected& entry : ReadManifest()) {
        SCOPED_TRACE(entry.strFile);
        std::string strData = ReadWholeFile(CorpusPath(entry.strFile));
        FILEFORMATINFO fromMemory = ParseBytes(strData);
        CPrintFileParser parser;
        parser.SetFilePath(CorpusPath(entry.strFile));
        std::vector<FILEFORMATINFO> reports;
        parser.SetProgressCallback([&](const FILEFORMATINFO& info) { reports.push_back(info); });
        FILEFORMATINFO fromFile;
        ASSERT_EQ(1, parser.GetFileInfo(fromFile, -1));
        EXPECT_EQ(fromMemory.nFormat, fromFile.nFormat);
        EXPECT_EQ(fromMemory.nPageCount, fromFile.nPageCount);
        EXPECT_DOUBLE_EQ(fromMemory.dWidth, fromFile.dWidth);
        if (fromFile.nFormat == kFormatUnknown)
            continue;
        ASSERT_FALSE(reports.empty());
        for (size_t i = 1; i < reports.size(); ++i)
            EXPECT_LE(reports[i - 1].nPageCount, reports[i].nPageCount);
        EXPECT_EQ(fromFile.nPageCount, reports.back().nPageCount);
        EXPECT_EQ(fromFile.dLength, reports.back().dLength);
    }
}

// Cut at every few bytes, a file of each format ends without a crash, and never with more pages
// than the whole file has.
TEST(PrintParserCorpus, TruncatedFilesNeverGainPages) {
    for (const char* szFile :
         {"gs/a4-pdfwrite.pdf", "gs/a4-ljet4.pcl", "gs/a4-pxlmono.pxl", "gs/a4-xpswrite.xps",
          "hostile/ps-dsc-nesting.ps", "hostile/pjl-pcl5-a4.pcl"}) {
        SCOPED_TRACE(szFile);
        std::string strData = ReadWholeFile(CorpusPath(szFile));
        int nWhole = ParseBytes(strData).nPageCount;
        size_t nStep = strData.size() / 97 + 1;
        for (size_t nLength = 0; nLength < strData.size(); nLength += nStep)
            EXPECT_LE(ParseBytes(strData.substr(0, nLength)).nPageCount, nWhole) << nLength;
    }
}

TEST(PrintFileParser, MissingFileFailsWithZerosAndCleanupForgetsThePath) {
    CTempFolder folder;
    CPrintFileParser parser;
    parser.SetFilePath(folder / "missing.pdf");
    FILEFORMATINFO info;
    info.nPageCount = 7;
    info.dWidth = 3.0;
    EXPECT_EQ(0, parser.GetFileInfo(info, -1));
    EXPECT_EQ(0, info.nPageCount);
    EXPECT_EQ(0.0, info.dWidth);

    WriteWholeFile(folder / "a.ps", "%!PS\n%%Page: 1 1\nshowpage\n");
    parser.SetFilePath(folder / "a.ps");
    parser.Cleanup();
    EXPECT_EQ(0, parser.GetFileInfo(info, -1));
}

TEST(PrintFileParser, UnknownContentIsZerosAndSuccess) {
    for (const std::string& strData :
         {std::string(), std::string("plain text\f\fmore\f"), std::string("PK\x03\x04junk"),
          std::string(5000, '\0'), std::string("\x1b%-12345X@PJL ENTER LANGUAGE=FOO\n?")}) {
        FILEFORMATINFO info = ParseBytes(strData);
        EXPECT_EQ(kFormatUnknown, info.nFormat);
        EXPECT_EQ(0, info.nPageCount);
        EXPECT_EQ(0.0, info.dWidth);
    }
}
