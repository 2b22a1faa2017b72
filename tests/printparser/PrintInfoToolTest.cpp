#include "printparser/PrintInfoTool.h"
#include "ParserTestSupport.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <new>

#include "platform/FileSystem.h"
#include "platform/ResourceLimits.h"

namespace {

struct SRun {
    int nExitCode;
    std::string strOut;
    std::string strErr;
};

SRun RunTool(const std::vector<std::string>& args) {
    CTempFolder folder;
    // Binary, so that a line ends as the tool writes it on every system.
    std::FILE* pOut = std::fopen((folder / "out").c_str(), "wb");
    std::FILE* pErr = std::fopen((folder / "err").c_str(), "wb");
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
    if (Platform::kPathSeparator != '/')
        GTEST_SKIP() << "file names here cannot hold quotes or backslashes";
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

// The limits bind: after lowering the address space, an allocation beyond it fails instead of
// taking the machine's memory. (The limit stays for the rest of this test process; it is far
// above what the other tests use.)
TEST(ParserResourceLimits, AddressSpaceLimitStopsLargeAllocations) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce job-object memory limits";
    constexpr uint64_t kLimit = 768ull * 1024 * 1024;
    ASSERT_TRUE(Platform::LimitProcessResources(kLimit, 0, 0));
    std::unique_ptr<char[]> pTooLarge(new (std::nothrow) char[kLimit]);
    EXPECT_EQ(nullptr, pTooLarge.get());
    std::unique_ptr<char[]> pSmall(new (std::nothrow) char[16 * 1024 * 1024]);
    EXPECT_NE(nullptr, pSmall.get());
    // Asking for more than the current limit leaves it where it is.
    ASSERT_TRUE(Platform::LimitProcessResources(2 * kLimit, 0, 0));
    pTooLarge.reset(new (std::nothrow) char[kLimit]);
    EXPECT_EQ(nullptr, pTooLarge.get());
}
