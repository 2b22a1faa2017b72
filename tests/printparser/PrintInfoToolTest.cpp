#include "printparser/PrintInfoTool.h"
#include "ParserTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

struct SRun {
    int nExitCode;
    std::string strOut;
    std::string strErr;
};

SRun RunTool(const std::vector<std::string>& args) {
    CTempFolder folder;
    std::FILE* pOut = std::fopen((folder / "out").c_str(), "w");
    std::FILE* pErr = std::fopen((folder / "err").c_str(), "w");
    int nExitCode = RunPrintInfoTool(args, pOut, pErr);
    std::fclose(pOut);
    std::fclose(pErr);
    return SRun{nExitCode, ReadWholeFile(folder / "out"), ReadWholeFile(folder / "err")};
}

} // namespace

TEST(KlendoPrintInfo, PrintsOneLinePerFile) {
    std::string strPdf = CorpusPath("gs/a4-pdfwrite.pdf");
    std::string strXl = CorpusPath("gs/legal-pxlmono.pxl");
    SRun run = RunTool({strPdf, strXl});
    EXPECT_EQ(0, run.nExitCode);
    EXPECT_EQ(strPdf + ": format=PDF pages=3 width=8.264 length=11.694\n" + strXl +
                  ": format=PCLXL pages=2 width=8.500 length=14.000\n",
              run.strOut);
}

TEST(KlendoPrintInfo, JsonWithEscapedNamesAndUnreadableFiles) {
    CTempFolder folder;
    std::string strOdd = folder / "a \"b\"\\c.ps";
    WriteWholeFile(strOdd, "%!PS\n%%Page: 1 1\n");
    std::string strMissing = folder / "missing";
    SRun run = RunTool({"--json", strOdd, strMissing});
    EXPECT_EQ(1, run.nExitCode);
    std::string strEscaped = folder.Path() + "/a \\\"b\\\"\\\\c.ps";
    EXPECT_EQ("[\n  {\"file\": \"" + strEscaped +
                  "\", \"format\": \"PS\", \"pages\": 1, \"width\": 0.000, \"length\": 0.000},\n"
                  "  {\"file\": \"" +
                  strMissing + "\", \"error\": \"cannot read file\"}\n]\n",
              run.strOut);
}

TEST(KlendoPrintInfo, UsageWithoutFiles) {
    SRun run = RunTool({"--json"});
    EXPECT_EQ(2, run.nExitCode);
    EXPECT_EQ("", run.strOut);
    EXPECT_NE(std::string::npos, run.strErr.find("usage: KlendoPrintInfo"));
}
