#include "ParserTestSupport.h"
#include "printparser/FormatReaders.h"
#include "printparser/PdfDocument.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CPdfObject Parse(const std::string& strText) {
    CPdfInput input(reinterpret_cast<const uint8_t*>(strText.data()), strText.size());
    CPdfLexer lexer(input, 0);
    return ParsePdfObject(lexer);
}

int CatalogOf(const std::string& strText) {
    CPdfInput input(reinterpret_cast<const uint8_t*>(strText.data()), strText.size());
    return FindPdfCatalogObject(input);
}

FILEFORMATINFO ReadOwn(CByteSource& source) {
    FILEFORMATINFO info;
    CParseSink sink(info, nullptr);
    ReadPdfOwn(source, sink);
    return info;
}

} // namespace

// The keys of the security handler are strings with every escape a writer may use; a byte lost
// or added here only shows as a file that no longer opens.
TEST(PdfSyntax, StringsDecodeEveryEscape) {
    EXPECT_EQ("a(b)c\n\r\t\b\f\\)", Parse("(a(b)c\\n\\r\\t\\b\\f\\\\\\))").Text());
    EXPECT_EQ(std::string("\x53\x07\x00z", 4), Parse("(\\123\\7\\0z)").Text());
    EXPECT_EQ("\x08"
              "9",
              Parse("(\\0109)").Text());
    // A backslash before an end of line joins the lines; a bare CR or CR LF reads as LF.
    EXPECT_EQ("ab\nc\nd", Parse("(a\\\r\nb\rc\r\nd)").Text());
    EXPECT_EQ(std::string("\x12\xab\xc0", 3), Parse("<12 aB\nc>").Text());
    EXPECT_EQ(EPdfType::String, Parse("<>").Type());
    EXPECT_THROW(Parse("(never closed"), CPdfError);
    EXPECT_THROW(Parse("<12x4>"), CPdfError);
}

TEST(PdfSyntax, NumbersNamesAndReferences) {
    EXPECT_TRUE(Parse("/Pa#67e").IsName("/Page"));
    EXPECT_TRUE(Parse("/A#2").IsName("/A#2"));
    EXPECT_DOUBLE_EQ(0.5, Parse("+.5").Value());
    EXPECT_DOUBLE_EQ(-3.0, Parse("-3.").Value());
    EXPECT_DOUBLE_EQ(612.25, Parse("612.25").Value());
    EXPECT_TRUE(Parse("0012").IsInteger());
    EXPECT_THROW(Parse("1.2.3"), CPdfError);
    EXPECT_THROW(Parse("--5"), CPdfError);
    EXPECT_EQ(EPdfType::Boolean, Parse("true").Type());
    EXPECT_THROW(Parse("1234567890123456789012"), CPdfError);
    // An integer followed by another and R is a reference; otherwise the integers stand alone.
    CPdfObject array = Parse("[1 0 R 2 3 4 5 R%comment\n6]");
    ASSERT_EQ(5u, array.Items().size());
    EXPECT_TRUE(array.Items()[0].IsReference());
    EXPECT_EQ(1, array.Items()[0].ObjectNumber());
    EXPECT_TRUE(array.Items()[1].IsInteger());
    EXPECT_TRUE(array.Items()[3].IsReference());
    EXPECT_EQ(5, array.Items()[3].Generation());
    EXPECT_DOUBLE_EQ(6, array.Items()[4].Value());
    // The last of a repeated key wins; a key without a value is null.
    CPdfObject dict = Parse("<</A 1 /A 2 /B>>");
    EXPECT_DOUBLE_EQ(2, dict.Get("/A").Value());
    EXPECT_TRUE(dict.Get("/B").IsNull());
    // A value where a key belongs stands alone.
    EXPECT_DOUBLE_EQ(2, Parse("<< 1 /A 2 >>").Get("/A").Value());
    EXPECT_THROW(Parse("[1 2 endobj"), CPdfError);
    EXPECT_THROW(Parse(std::string(kMaxPdfNesting + 2, '[')), CPdfError);
}

// The root of a file without a trailer: the object that holds the last "/Catalog".
TEST(PdfSyntax, CatalogObjectOfAFileWithoutTrailer) {
    EXPECT_EQ(12,
              CatalogOf("%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\n12 0 obj\n<< /Type /Catalog >>"));
    EXPECT_EQ(7, CatalogOf("7 0 obj << /Type/Catalog /Pages 2 0 R >> endobj 8 0 obj << >> endobj"));
    EXPECT_EQ(0, CatalogOf("%PDF-1.4\n1 0 obj\n<< /Type /Pages >>\nendobj\n"));
    EXPECT_EQ(0, CatalogOf("%PDF-1.4\n/Catalog 1 0 obj"));
    EXPECT_EQ(0, CatalogOf("%PDF-1.4\nx0 obj << /Catalog >>"));
}

// The scan of a file without a usable cross-reference: the last definition of an object wins,
// "N G obj" counts only at the start of a line (with any white space and comments between its
// words), and the first trailer names the root.
TEST(PdfOwnReader, ScanTakesTheLastDefinitionAtLineStarts) {
    std::string strPdf = "%PDF-1.4\n"
                         "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                         "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
                         "3 0 obj << /Type /Page /MediaBox [0 0 100 100] >> endobj\n"
                         "% 2 0 obj << /Type /Pages /Kids [3 0 R 3 0 R 3 0 R] >> endobj\n"
                         "(x) 2 0 obj << /Type /Pages /Kids [] >> endobj\n"
                         "  2 0 obj << /Type /Pages /Kids [3 0 R 4 0 R] >> endobj\n"
                         "4 0 %\n" +
                         std::string(100, '\0') +
                         "obj << /Type /Page /MediaBox [0 0 200 200] >> endobj\n"
                         "trailer << /Root 1 0 R >>\n"
                         "trailer << /Root 9 0 R >>\n"
                         "startxref\n999999\n%%EOF\n";
    FILEFORMATINFO info = ParseBytes(strPdf);
    CByteSource source(reinterpret_cast<const uint8_t*>(strPdf.data()), strPdf.size());
    FILEFORMATINFO own = ReadOwn(source);
    EXPECT_EQ(2, own.nPageCount);
    EXPECT_NEAR(100 / 72.0, own.dWidth, 1e-9);
    EXPECT_EQ(info.nPageCount, own.nPageCount);
}

// The scan of a file without a cross-reference stops at the first trailer: one that reads as a
// dictionary (a value without a key is passed over), one in a syntax it does not take (libqpdf
// might read it), or, when that trailer is cut short, on to the catalog.
TEST(PdfOwnReader, ScanStopsAtTheFirstTrailer) {
    std::string strObjects = "%PDF-1.4\n"
                             "1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                             "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
                             "3 0 obj << /Type /Page /MediaBox [0 0 100 100] >> endobj\n";
    auto expectPages = [&](const std::string& strTrailer, int nPages) {
        SCOPED_TRACE(strTrailer);
        std::string strPdf = strObjects + strTrailer;
        CByteSource source(reinterpret_cast<const uint8_t*>(strPdf.data()), strPdf.size());
        EXPECT_EQ(nPages, ReadOwn(source).nPageCount);
        EXPECT_EQ(nPages, ParseBytes(strPdf).nPageCount);
    };
    expectPages("trailer\n<< /Size 4 1 /Root 1 0 R >>\n", 1);
    expectPages("trailer\n<< /Size 4 /Root 7 0 R >>\ntrailer\n<< /Root 1 0 R >>\n", 0);
    expectPages("trailer\n<< /Size 4 /Root 1 (x) 0 R >>\ntrailer\n<< /Root 1 0 R >>\n", 0);
    expectPages("trailer\n<< /Size 4 1 /Ro", 1);
}
