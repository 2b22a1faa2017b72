#include "ParserTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/TempFolder.h"

namespace {

const std::string kUel = "\x1b%-12345X";
const std::string kEsc = "\x1b";

std::string XlHeader(bool bBigEndian) {
    return std::string(bBigEndian ? "(" : ")") + " HP-PCL XL;2;0\n";
}

// BeginSession with no attributes, then BeginPage with the given attribute bytes, then EndPage.
std::string XlPage(const std::string& strAttributes) {
    return strAttributes + "\x43" + "\x44";
}

std::string Real32(float fValue) {
    char bytes[4];
    std::memcpy(bytes, &fValue, 4);
    return std::string(bytes, 4);
}

} // namespace

// PCL 5: what ends a page, and what does not.
TEST(Pcl5Reader, PagesEndAtFormFeedsAndAtPageCommandsOnMarkedPages) {
    // A form feed ejects even a blank page; a reset or a size, source or orientation command only
    // ejects a page with marks; the last marked page counts at the end of the data.
    EXPECT_EQ(2, ParseBytes(kEsc + "E\f\f").nPageCount);
    EXPECT_EQ(
        0, ParseBytes(kEsc + "E" + kEsc + "&l26A" + kEsc + "&l1O" + kEsc + "&l4H" + kEsc + "E").nPageCount);
    EXPECT_EQ(
        4, ParseBytes(kEsc + "Eone" + kEsc + "&l1Otwo" + kEsc + "&l2Hthree" + kEsc + "&l3Afour").nPageCount);
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "*c100a100b0P" + kEsc + "E").nPageCount);
    // Closing UEL: what follows belongs to another job.
    EXPECT_EQ(1, ParseBytes(kEsc + "Eone\f" + kUel + "two\f").nPageCount);
}

TEST(Pcl5Reader, BinaryPayloadsAreSkippedWhole) {
    // Font, pattern and symbol set data hold form feeds and ESC bytes but print nothing.
    std::string strFont = kEsc +
                          "(s5W\f\x1b"
                          "E\f\f" +
                          kEsc + ")s2W\f\f" + kEsc + "*c3W\f\f\f" + kEsc + "(f1W\f";
    EXPECT_EQ(0, ParseBytes(kEsc + "E" + strFont + kEsc + "E").nPageCount);
    // Raster rows and transparent print data are marks.
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "*b2W\f\f" + kEsc + "E").nPageCount);
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "*b2V\f\f" + kEsc + "E").nPageCount);
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "&p3X\f\f\f" + kEsc + "E").nPageCount);
    // A count larger than the data: the rest is payload, and nothing hangs.
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "*b99999999999999999999999W\f\f\f").nPageCount);
}

TEST(Pcl5Reader, MacroDefinitionsPrintNothing) {
    EXPECT_EQ(0, ParseBytes(kEsc + "E" + kEsc + "&f0Xtext\f\f" + kEsc + "&f1X" + kEsc + "E").nPageCount);
    EXPECT_EQ(1, ParseBytes(kEsc + "E" + kEsc + "&f0Xtext\f" + kEsc + "&f1Xprinted" + kEsc + "E").nPageCount);
}

TEST(Pcl5Reader, PaperSizeOfTheFirstPage) {
    struct SCase {
        const char* szSequence;
        double dWidth, dLength;
    } cases[] = {
        {"&l1A", 7.25, 10.5},
        {"&l3A", 8.5, 14.0},
        {"&l6A", 11.0, 17.0},
        {"&l26A", kA4Width, kA4Length},
        {"&l25A", 5.827, 8.268},
        {"&l80A", 3.875, 7.5},
        {"&l81A", 4.125, 9.5},
        {"&l90A", 4.331, 8.661},
        {"&l45A", 7.165, 10.118},
        {"&l100A", 6.929, 9.843},
        {"&l1o26A", kA4Width, kA4Length},            // combined with orientation, in lower case
        {"&f5760I\x1b&f7200J\x1b&l101A", 8.0, 10.0}, // custom, in decipoints
        {"&l999A", 8.5, 11.0},                       // unknown code: letter stays
    };
    for (const SCase& test : cases) {
        SCOPED_TRACE(test.szSequence);
        FILEFORMATINFO info =
            ParseBytes(kEsc + "E" + kEsc + test.szSequence + "text\f" + kEsc + "&l2Atext\f");
        EXPECT_EQ(kFormatPcl5, info.nFormat);
        EXPECT_EQ(2, info.nPageCount);
        EXPECT_NEAR(test.dWidth, info.dWidth, kTolerance);
        EXPECT_NEAR(test.dLength, info.dLength, kTolerance);
    }
}

TEST(PclXlReader, CountsBeginPageOperatorsInEitherByteOrder) {
    // MediaSize 16 (A5) as an enumeration, 2 (A4) on the second page.
    std::string strPages = XlPage("\xc0\x10\xf8\x25") + XlPage(std::string("\xc0\x02\xf8\x25", 4));
    for (bool bBigEndian : {false, true}) {
        FILEFORMATINFO info = ParseBytes(XlHeader(bBigEndian) + strPages);
        EXPECT_EQ(kFormatPclXl, info.nFormat);
        EXPECT_EQ(2, info.nPageCount);
        EXPECT_NEAR(5.827, info.dWidth, kTolerance);
    }
}

TEST(PclXlReader, MediaByNameAndCustomSizeInEachUnit) {
    // MediaSize as the byte array "LEGAL".
    FILEFORMATINFO info = ParseBytes(XlHeader(false) + XlPage(std::string("\xc8\xc0\x05LEGAL\xf8\x25")));
    EXPECT_NEAR(14.0, info.dLength, kTolerance);
    // CustomMediaSize as a real32 pair with CustomMediaSizeUnits 1 (millimetres), in both byte orders.
    std::string strLittle = "\xd5" + Real32(100.0f) + Real32(254.0f) + "\xf8\x2f\xc0\x01\xf8\x30";
    info = ParseBytes(XlHeader(false) + XlPage(strLittle));
    EXPECT_NEAR(100 / 25.4, info.dWidth, kTolerance);
    EXPECT_NEAR(10.0, info.dLength, kTolerance);
    // uint16 pair in big-endian order, tenths of millimetres: 2540 x 5080.
    info =
        ParseBytes(XlHeader(true) + XlPage(std::string("\xd1\x09\xec\x13\xd8\xf8\x2f\xc0\x02\xf8\x30", 11)));
    EXPECT_NEAR(10.0, info.dWidth, kTolerance);
    EXPECT_NEAR(20.0, info.dLength, kTolerance);
    // A page without any size takes PJL's.
    info =
        ParseBytes(kUel + "@PJL SET PAPER=LEGAL\n@PJL ENTER LANGUAGE=PCLXL\n" + XlHeader(false) + XlPage(""));
    EXPECT_EQ(1, info.nPageCount);
    EXPECT_NEAR(14.0, info.dLength, kTolerance);
}

TEST(PclXlReader, EmbeddedDataAndArraysHideNoPages) {
    // BeginPage bytes inside embedded data (long and short form) and inside an array are data.
    std::string strData = std::string("\xfa\x04\x00\x00\x00\x43\x43\x43\x43", 9) + "\xfb\x02\x43\x43" +
                          std::string("\xc9\xc0\x02\x43\x43\x43\x43");
    EXPECT_EQ(1, ParseBytes(XlHeader(false) + strData + XlPage("")).nPageCount);
    // An unknown tag ends the reading; pages before it stay counted.
    EXPECT_EQ(1, ParseBytes(XlHeader(false) + XlPage("") + "\xff" + XlPage("")).nPageCount);
    // A stream whose header line never ends, or an ASCII binding, counts nothing.
    EXPECT_EQ(0, ParseBytes(") HP-PCL XL;2;0" + std::string(3000, 'x') + "\n\x43").nPageCount);
    EXPECT_EQ(0, ParseBytes("' HP-PCL XL;2;0\nBeginPage").nPageCount);
}

TEST(PostScriptReader, SizeSourcesInTheirOrder) {
    const std::string strBox = "%%BoundingBox: 0 0 612 1008\n";
    const std::string strMedia = "%%DocumentMedia: A5 420 595 0 () ()\n";
    const std::string strPageBox = "%%PageBoundingBox: 0 0 842 1191\n";
    const std::string strPageSize = "<< /PageSize [595 842] >> setpagedevice\n";
    FILEFORMATINFO info =
        ParseBytes("%!PS\n" + strPageSize + strBox + strMedia + "%%Page: 1 1\n" + strPageBox);
    EXPECT_NEAR(842 / 72.0, info.dWidth, kTolerance);
    info = ParseBytes("%!PS\n" + strPageSize + strBox + strMedia + "%%Page: 1 1\n");
    EXPECT_NEAR(595 / 72.0, info.dLength, kTolerance);
    info = ParseBytes("%!PS\n" + strPageSize + strBox + "%%Page: 1 1\n");
    EXPECT_NEAR(14.0, info.dLength, kTolerance);
    info = ParseBytes("%!PS\n" + strPageSize + "%%Page: 1 1\n");
    EXPECT_NEAR(kA4Length, info.dLength, kTolerance);
    info = ParseBytes(kUel + "@PJL SET PAPER=A4\r\n@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS\n%%Page: 1 1\n");
    EXPECT_NEAR(kA4Width, info.dWidth, kTolerance);
}

TEST(PostScriptReader, PageCountsFromCommentsShowpageOrTheDeclaredCount) {
    // %%BeginData skips lines or bytes; CR and CR LF end lines as LF does.
    std::string strData = "%!PS-Adobe-3.0\r%%Page: 1 1\r\n%%BeginData: 2 ASCII Lines\r%%Page: x\n%%Page: y\n"
                          "%%BeginData: 12 Binary Bytes\n%%Page: z z\n%%Page: 2 2\n";
    EXPECT_EQ(2, ParseBytes(strData).nPageCount);
    // No page comments: top-level showpage operators are counted; none, then %%Pages:.
    EXPECT_EQ(2, ParseBytes("%!\n/p { showpage } def\nshowpage (x) show showpage\n").nPageCount);
    EXPECT_EQ(7, ParseBytes("%!PS-Adobe-3.0\n%%Pages: 7\n/p { showpage } def\n").nPageCount);
    EXPECT_EQ(0, ParseBytes("%!PS\n/p { showpage } def\n1 1 4 { p } for\n").nPageCount);
    // A PostScript job inside PJL ends at the closing UEL.
    std::string strJob = "%!PS\n%%Page: 1 1\nshowpage\n";
    EXPECT_EQ(1, ParseBytes(kUel + "@PJL ENTER LANGUAGE=POSTSCRIPT\n" + strJob + kUel + strJob).nPageCount);
}

TEST(PjlHeader, LanguageAndPaperDecideOnlyWhereTheDataDoesNot) {
    // ENTER LANGUAGE names PostScript although the data lacks "%!".
    FILEFORMATINFO info = ParseBytes(kUel + "@PJL DEFAULT PAPER = LEGAL\n@PJL ENTER LANGUAGE = POSTSCRIPT\n"
                                            "%%Page: 1 1\nshowpage\n");
    EXPECT_EQ(kFormatPostScript, info.nFormat);
    EXPECT_EQ(1, info.nPageCount);
    EXPECT_NEAR(14.0, info.dLength, kTolerance);
    // PCL data's own size beats PJL's paper; PJL's paper beats letter.
    std::string strPjl = kUel + "@PJL SET PAPER=A4\n@PJL ENTER LANGUAGE=PCL\n";
    EXPECT_NEAR(14.0, ParseBytes(strPjl + kEsc + "E" + kEsc + "&l3Ax\f").dLength, kTolerance);
    EXPECT_NEAR(kA4Length, ParseBytes(strPjl + kEsc + "Ex\f").dLength, kTolerance);
    EXPECT_NEAR(11.0, ParseBytes(kEsc + "Ex\f").dLength, kTolerance);
    // A PDF behind a PJL header is found.
    std::string strPdf = ReadWholeFile(CorpusPath("gs/letter-pdfwrite.pdf"));
    info = ParseBytes(kUel + "@PJL ENTER LANGUAGE=PDF\n" + strPdf + kUel);
    EXPECT_EQ(kFormatPdf, info.nFormat);
    EXPECT_EQ(1, info.nPageCount);
}

namespace {

// A PDF from object bodies numbered from 1, without a cross-reference table: the reader
// rebuilds it from the objects, as it does for damaged files.
std::string PdfWithoutXref(const std::vector<std::string>& objects) {
    std::string strPdf = "%PDF-1.4\n";
    for (size_t i = 0; i < objects.size(); ++i)
        strPdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    return strPdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\n%%EOF\n";
}

} // namespace

TEST(PdfReader, FirstPageInDocumentOrderWithItsInheritedMediaBox) {
    // The first kid is an empty subtree; the first page inherits A4 from its parent, which
    // overrides the root's letter; the second page has a box of its own.
    std::string strPdf = PdfWithoutXref({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R 4 0 R 6 0 R] /Count 99 /MediaBox [0 0 612 792] >>",
        "<< /Type /Pages /Kids [] /Count 0 >>",
        "<< /Type /Pages /Kids [5 0 R] /Count 1 /MediaBox [0 0 595 842] >>",
        "<< /Type /Page /Parent 4 0 R >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 1008 612] >>",
    });
    FILEFORMATINFO info = ParseBytes(strPdf);
    EXPECT_EQ(kFormatPdf, info.nFormat);
    EXPECT_EQ(2, info.nPageCount);
    EXPECT_NEAR(kA4Width, info.dWidth, kTolerance);
    EXPECT_NEAR(kA4Length, info.dLength, kTolerance);
}

TEST(PdfReader, BoxesWithOffsetsUserUnitsAndNonsense) {
    // Width and length are the box's extents, in UserUnit multiples of 1/72 in.
    std::string strPdf =
        PdfWithoutXref({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] >>",
                        "<< /Type /Page /MediaBox [100 900 712 108] /UserUnit 2 >>"});
    FILEFORMATINFO info = ParseBytes(strPdf);
    EXPECT_NEAR(17.0, info.dWidth, kTolerance);
    EXPECT_NEAR(22.0, info.dLength, kTolerance);
    // A box of names or an empty one gives no size; the page still counts.
    for (const char* szBox : {"[/a /b /c /d]", "[0 0 0 0]", "[0 0 612]"}) {
        strPdf = PdfWithoutXref({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] >>",
                                 std::string("<< /Type /Page /MediaBox ") + szBox + " >>"});
        info = ParseBytes(strPdf);
        EXPECT_EQ(1, info.nPageCount) << szBox;
        EXPECT_EQ(0.0, info.dWidth) << szBox;
    }
}

// Found by fuzzing: size and unit codes far beyond the int range were cast to int (undefined
// behaviour). They now count as unknown codes.
TEST(FuzzRegression, HugePaperCodesAreUnknownCodes) {
    FILEFORMATINFO info = ParseBytes(kEsc + "E" + kEsc + "&l3888510193Atext\f" + kEsc + "&l-26Atext\f");
    EXPECT_EQ(2, info.nPageCount);
    EXPECT_NEAR(11.0, info.dLength, kTolerance);
    // MediaSize as a uint32 of 3823360000, then CustomMediaSizeUnits as a huge real32.
    std::string strHuge = std::string("\xc2\x00\x00\xe3\xe3\xf8\x25", 7) +
                          "\xd1\x00\x01\x00\x02\xf8\x2f\xc5" + Real32(3.8e9f) + "\xf8\x30";
    info = ParseBytes(XlHeader(false) + XlPage(strHuge));
    EXPECT_EQ(1, info.nPageCount);
    EXPECT_EQ(0.0, info.dWidth);
}
