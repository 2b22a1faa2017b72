#include "ParserTestSupport.h"
#include "printparser/FormatReaders.h"
#include "printparser/PdfCrypto.h"
#include "printparser/PdfDocument.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The own reader gives nPages and an A4 first page, and libqpdf agrees.
void ExpectA4Pages(const std::string& strPdf, int nPages) {
    FILEFORMATINFO own = ReadWith(ReadPdfOwn, strPdf);
    EXPECT_EQ(nPages, own.nPageCount);
    EXPECT_NEAR(595 / 72.0, own.dWidth, 1e-9);
    EXPECT_NEAR(842 / 72.0, own.dLength, 1e-9);
    FILEFORMATINFO qpdf = ReadWith(ReadPdf, strPdf);
    EXPECT_EQ(qpdf.nPageCount, own.nPageCount);
    EXPECT_EQ(qpdf.dWidth, own.dWidth);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string strOut;
    for (int n : values)
        strOut += static_cast<char>(n);
    return strOut;
}

std::string Compress(const std::string& strData) {
    uLongf nSize = compressBound(strData.size());
    std::string strOut(nSize, '\0');
    compress(reinterpret_cast<Bytef*>(&strOut[0]), &nSize, reinterpret_cast<const Bytef*>(strData.data()),
             strData.size());
    strOut.resize(nSize);
    return strOut;
}

std::string Hex(const std::string& strData) {
    static const char* kDigits = "0123456789abcdef";
    std::string strOut;
    for (unsigned char c : strData) {
        strOut += kDigits[c >> 4];
        strOut += kDigits[c & 15];
    }
    return strOut;
}

// A PDF laid out object by object, with the offsets its cross-reference needs.
class CPdfBuilder {
  public:
    CPdfBuilder() : m_strData("%PDF-1.5\n") {}

    void Object(int nObject, const std::string& strBody) {
        m_offsets[nObject] = m_strData.size();
        m_strData += std::to_string(nObject) + " 0 obj\n" + strBody + "\nendobj\n";
    }
    void Stream(int nObject, const std::string& strDict, const std::string& strData) {
        Object(nObject, "<< " + strDict + " /Length " + std::to_string(strData.size()) + " >>\nstream\n" +
                            strData + "\nendstream");
    }
    size_t Offset(int nObject) { return m_offsets[nObject]; }
    size_t Size() const { return m_strData.size(); }
    // A classic table of the objects so far, a trailer and its startxref.
    std::string WithTable(const std::string& strTrailer) {
        size_t nXref = m_strData.size();
        std::string strOut = m_strData + "xref\n0 " + std::to_string(m_offsets.rbegin()->first + 1) + "\n";
        for (int i = 0; i <= m_offsets.rbegin()->first; ++i) {
            char szEntry[32];
            auto it = m_offsets.find(i);
            std::snprintf(szEntry, sizeof(szEntry), "%010zu 00000 %c \n",
                          it == m_offsets.end() ? 0 : it->second, it == m_offsets.end() ? 'f' : 'n');
            strOut += szEntry;
        }
        return strOut + "trailer\n" + strTrailer + "\nstartxref\n" + std::to_string(nXref) + "\n%%EOF\n";
    }
    std::string Finish(size_t nStartXref) {
        return m_strData + "startxref\n" + std::to_string(nStartXref) + "\n%%EOF\n";
    }

  private:
    std::string m_strData;
    std::map<int, size_t> m_offsets;
};

const char* kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const char* kPages = "<< /Type /Pages /Kids [3 0 R 4 0 R] /MediaBox [0 0 595 842] >>";
const char* kPage = "<< /Type /Page /Parent 2 0 R >>";

// Pages 3 and 4 inside object stream 5 (uncompressed), the rest at offsets.
void BuildWithObjectStream(CPdfBuilder& builder, int nSecondOffsetShift = 0) {
    builder.Object(1, kCatalog);
    builder.Object(2, kPages);
    std::string strBodies = std::string(kPage) + " " + kPage;
    std::string strHeader =
        "3 0 4 " + std::to_string(std::string(kPage).size() + 1 + nSecondOffsetShift) + " ";
    builder.Stream(5, "/Type /ObjStm /N 2 /First " + std::to_string(strHeader.size()), strHeader + strBodies);
}

} // namespace

TEST(PdfPredictor, PngRowsOfEveryFilterType) {
    // Rows of three bytes, one byte a pixel: None, Sub, Up, Average, Paeth, each on the row above.
    std::string strData = Bytes({0, 5, 6, 7, 1, 1, 2, 3, 2, 1, 1, 1, 3, 10, 10, 10, 4, 1, 1, 1});
    UndoPdfPredictor(strData, 12, 1, 8, 3);
    EXPECT_EQ(Bytes({5, 6, 7, 1, 3, 6, 2, 4, 7, 11, 17, 22, 12, 18, 23}), strData);
    // Sums wrap at 256; a short last row is completed with zeros.
    strData = Bytes({1, 200, 100, 2, 1});
    UndoPdfPredictor(strData, 10, 1, 8, 2);
    EXPECT_EQ(Bytes({200, 44, 201, 44}), strData);
    // Two bytes a pixel: Sub adds the byte one pixel to the left.
    strData = Bytes({1, 1, 2, 3, 4});
    UndoPdfPredictor(strData, 15, 2, 8, 2);
    EXPECT_EQ(Bytes({1, 2, 4, 6}), strData);
    strData = Bytes({5, 1, 1});
    EXPECT_THROW(UndoPdfPredictor(strData, 12, 1, 8, 2), CPdfError);
}

TEST(PdfPredictor, TiffSamplesOfEveryWidth) {
    std::string strData = Bytes({10, 20, 30, 1, 2, 3});
    UndoPdfPredictor(strData, 2, 3, 8, 2);
    EXPECT_EQ(Bytes({10, 20, 30, 11, 22, 33}), strData);
    strData = Bytes({0x01, 0x00, 0x00, 0xff});
    UndoPdfPredictor(strData, 2, 1, 16, 2);
    EXPECT_EQ(Bytes({0x01, 0x00, 0x01, 0xff}), strData);
    strData = Bytes({0x12, 0x3f});
    UndoPdfPredictor(strData, 2, 1, 4, 4);
    EXPECT_EQ(Bytes({0x13, 0x65}), strData);
    strData = Bytes({0x80, 0x81});
    UndoPdfPredictor(strData, 2, 1, 1, 8);
    EXPECT_EQ(Bytes({0xff, 0xfe}), strData);
    EXPECT_THROW(UndoPdfPredictor(strData, 2, 1, 3, 8), CPdfError);
    EXPECT_THROW(UndoPdfPredictor(strData, 7, 1, 8, 8), CPdfError);
}

// Known answers of the digests and ciphers of the security handler.
TEST(PdfCrypto, KnownAnswers) {
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Hex(Md5("abc")));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex(Sha256("abc")));
    EXPECT_EQ(
        "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
        Hex(Sha384("abc")));
    EXPECT_EQ(
        "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
        "454d4423643ce80e2a9ac94fa54ca49f",
        Hex(Sha512("abc")));
    // Two blocks of padding: 56 bytes and more.
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
              Hex(Sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")));
    EXPECT_EQ("bbf316e8d940af0ad3", Hex(Rc4("Key", "Plaintext")));
    std::string strPlain = Bytes(
        {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff});
    std::string strKey;
    for (int i = 0; i < 32; ++i)
        strKey += static_cast<char>(i);
    std::string strZeroIv(16, '\0');
    std::string strCipher128 = AesEncryptCbc(strKey.substr(0, 16), strZeroIv, strPlain);
    EXPECT_EQ("69c4e0d86a7b0430d8cdb78070b4c55a", Hex(strCipher128));
    std::string strCipher256 = AesEncryptCbc(strKey, strZeroIv, strPlain);
    EXPECT_EQ("8ea2b7ca516745bfeafc49904b496089", Hex(strCipher256));
    EXPECT_EQ(strPlain, AesDecryptCbc(strKey.substr(0, 16), strZeroIv, strCipher128));
    EXPECT_EQ(strPlain + strPlain,
              AesDecryptCbc(strKey, strZeroIv, AesEncryptCbc(strKey, strZeroIv, strPlain + strPlain)));
}

// Cross-reference streams: fields of every width, a type column left out, /Index subsections,
// objects inside an object stream, and a hybrid file whose table marks them free.
TEST(PdfOwnReader, CrossReferenceStreamsAndObjectStreams) {
    CPdfBuilder builder;
    BuildWithObjectStream(builder);
    // Entries for objects 0 to 2 and 5 at offsets (3-byte offsets, 1-byte generation), 3 and 4 in
    // stream 5 at indexes 0 and 1.
    std::string strEntries;
    auto entry = [&](int nType, size_t nSecond, int nThird) {
        strEntries += Bytes({nType, static_cast<int>(nSecond >> 16) & 255,
                             static_cast<int>(nSecond >> 8) & 255, static_cast<int>(nSecond) & 255, nThird});
    };
    entry(0, 0, 255);
    entry(1, builder.Offset(1), 0);
    entry(1, builder.Offset(2), 0);
    entry(2, 5, 0);
    entry(2, 5, 1);
    entry(1, builder.Offset(5), 0);
    size_t nXref = builder.Size();
    builder.Stream(6, "/Type /XRef /Size 7 /W [1 3 1] /Index [0 3 3 3] /Root 1 0 R", strEntries);
    ExpectA4Pages(builder.Finish(nXref), 2);

    // Offsets only (the type column is 1 when left out), compressed with a PNG Up predictor.
    CPdfBuilder plain;
    for (int i = 1; i <= 4; ++i)
        plain.Object(i, i == 1 ? kCatalog : (i == 2 ? kPages : kPage));
    std::string strRows;
    size_t nPrevious = 0;
    for (int i = 1; i <= 4; ++i) {
        size_t nOffset = plain.Offset(i);
        strRows += Bytes({2, static_cast<int>(((nOffset >> 8) - (nPrevious >> 8)) & 255),
                          static_cast<int>((nOffset - nPrevious) & 255)});
        nPrevious = nOffset;
    }
    nXref = plain.Size();
    plain.Stream(5,
                 "/Type /XRef /Size 5 /W [0 2 0] /Index [1 4] /Root 1 0 R /Filter /FlateDecode "
                 "/DecodeParms << /Predictor 12 /Columns 2 >>",
                 Compress(strRows));
    ExpectA4Pages(plain.Finish(nXref), 2);

    // Hybrid: the table lists 3 and 4 as free, the stream named by /XRefStm places them.
    CPdfBuilder hybrid;
    BuildWithObjectStream(hybrid);
    std::string strHybridEntries = Bytes({2, 0, 5, 0, 2, 0, 5, 1});
    size_t nStream = hybrid.Size();
    hybrid.Stream(6, "/Type /XRef /Size 7 /W [1 2 1] /Index [3 2]", strHybridEntries);
    ExpectA4Pages(hybrid.WithTable("<< /Size 7 /Root 1 0 R /XRefStm " + std::to_string(nStream) + " >>"), 2);
}

// Damage that must neither crash nor hang nor give another non-zero answer than libqpdf: the own
// reader gives the same or nothing.
TEST(PdfOwnReader, DamagedStructuresGiveTheSameOrNothing) {
    auto expectSameOrNothing = [](const std::string& strPdf) {
        FILEFORMATINFO own = ReadWith(ReadPdfOwn, strPdf);
        FILEFORMATINFO qpdf = ReadWith(ReadPdf, strPdf);
        if (own.nPageCount != 0) {
            EXPECT_EQ(qpdf.nPageCount, own.nPageCount);
        }
        return own;
    };
    // A /Prev that points back at its own section: the chain stops, the objects are found by a scan.
    CPdfBuilder looped;
    looped.Object(1, kCatalog);
    looped.Object(2, kPages);
    looped.Object(3, kPage);
    looped.Object(4, kPage);
    std::string strLooped =
        looped.WithTable("<< /Size 5 /Root 1 0 R /Prev " + std::to_string(looped.Size()) + " >>");
    ExpectA4Pages(strLooped, 2);

    // An object stream whose header puts the second object past its end.
    CPdfBuilder badOffset;
    BuildWithObjectStream(badOffset, 1000);
    std::string strEntries = Bytes({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 5, 0, 2, 0, 5, 1, 1, 0, 0, 0});
    for (int i : {1, 2, 5}) {
        size_t nOffset = badOffset.Offset(i);
        strEntries[(i == 5 ? 5 : i) * 4 + 1] = static_cast<char>(nOffset >> 8);
        strEntries[(i == 5 ? 5 : i) * 4 + 2] = static_cast<char>(nOffset);
    }
    size_t nXref = badOffset.Size();
    badOffset.Stream(6, "/Type /XRef /Size 6 /W [1 2 1] /Root 1 0 R", strEntries);
    FILEFORMATINFO info = expectSameOrNothing(badOffset.Finish(nXref));
    EXPECT_EQ(0, info.nPageCount);

    // An object stream whose /Length is an object inside itself: the loop is cut, and the length
    // comes from where "endstream" is.
    CPdfBuilder selfLength;
    selfLength.Object(1, kCatalog);
    selfLength.Object(2, "<< /Type /Pages /Kids [3 0 R] /MediaBox [0 0 595 842] >>");
    std::string strBody = "<< /Type /Page >> 60";
    std::string strHeader = "3 0 6 " + std::to_string(strBody.size() - 2) + " ";
    selfLength.Object(5, "<< /Type /ObjStm /N 2 /First " + std::to_string(strHeader.size()) +
                             " /Length 6 0 R >>\nstream\n" + strHeader + strBody + "\nendstream");
    std::string strSelfEntries = Bytes({0, 0, 0, 1, 0, 0, 1, 0, 0, 2, 0, 5, 0, 0, 0, 1, 0, 0, 2, 0, 5});
    for (int i : {1, 2, 5}) {
        strSelfEntries[i * 3 + 1] = static_cast<char>(selfLength.Offset(i) >> 8);
        strSelfEntries[i * 3 + 2] = static_cast<char>(selfLength.Offset(i));
    }
    nXref = selfLength.Size();
    selfLength.Stream(7, "/Type /XRef /Size 7 /W [1 2 0] /Root 1 0 R", strSelfEntries);
    info = expectSameOrNothing(selfLength.Finish(nXref));
    EXPECT_EQ(1, info.nPageCount);

    // Arrays nested far deeper than any real file, in a page: no stack overflow, no pages.
    CPdfBuilder deep;
    deep.Object(1, kCatalog);
    deep.Object(2, kPages);
    deep.Object(3, "<< /Type /Page /Junk " + std::string(100000, '[') + std::string(100000, ']') + " >>");
    deep.Object(4, kPage);
    expectSameOrNothing(deep.WithTable("<< /Size 5 /Root 1 0 R >>"));
}

// An object stream that inflates past the cap of the file is not decoded; the reader gives up
// without holding more than the cap.
TEST(PdfOwnReader, DecompressionIsCapped) {
    CPdfBuilder builder;
    builder.Object(1, kCatalog);
    builder.Object(2, kPages);
    std::string strBodies = std::string(kPage) + " " + kPage;
    std::string strHeader = "3 0 4 " + std::to_string(std::string(kPage).size() + 1) + " ";
    std::string strPlain = strHeader + strBodies + std::string(CPdfDocument::kMaxDecodedTotal, ' ');
    builder.Stream(5,
                   "/Type /ObjStm /N 2 /First " + std::to_string(strHeader.size()) + " /Filter /FlateDecode",
                   Compress(strPlain));
    std::string strEntries = Bytes({0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 5, 2, 0, 0, 5, 1, 0, 0, 0});
    for (int i : {1, 2, 5}) {
        size_t nOffset = builder.Offset(i);
        strEntries[i * 4 + 1] = static_cast<char>(nOffset >> 16);
        strEntries[i * 4 + 2] = static_cast<char>(nOffset >> 8);
        strEntries[i * 4 + 3] = static_cast<char>(nOffset);
    }
    strEntries[4 * 4 + 3] = 1;
    size_t nXref = builder.Size();
    builder.Stream(6, "/Type /XRef /Size 6 /W [1 3 0] /Root 1 0 R", strEntries);
    FILEFORMATINFO info = ReadWith(ReadPdfOwn, builder.Finish(nXref));
    EXPECT_EQ(kFormatPdf, info.nFormat);
    EXPECT_EQ(0, info.nPageCount);
}

// A word that is no number, name or keyword where a value belongs ("3!"): libqpdf reads it as a
// string, or gives up on the object when there are more; the own reader does not read such an
// object at all, and gives nothing rather than another count.
TEST(PdfOwnReader, StrayWordsInAPageTreeNodeGiveNothing) {
    for (const char* szStray : {"3!", "3! } ) {"}) {
        CPdfBuilder builder;
        builder.Object(1, kCatalog);
        builder.Object(2, std::string("<< /Type /Pages /Count ") + szStray + "/Kids [3 0 R 4 0 R] >>");
        builder.Object(3, "<< /Type /Page /MediaBox [0 0 595 842] >>");
        builder.Object(4, kPage);
        std::string strPdf = builder.WithTable("<< /Size 5 /Root 1 0 R >>");
        EXPECT_EQ(0, ReadWith(ReadPdfOwn, strPdf).nPageCount) << szStray;
    }
}

// A file read through the block cache gives what its bytes in memory give, with objects, an
// object stream and the cross-reference stream spread over several blocks and across their edges.
TEST(PdfOwnReader, FileAndMemoryAgree) {
    CPdfBuilder builder;
    builder.Object(1, kCatalog);
    builder.Object(7, "(" + std::string(65500, 'x') + ")");
    builder.Object(2, kPages);
    builder.Object(8, "(" + std::string(131000, 'y') + ")");
    std::string strBodies = std::string(kPage) + " " + kPage + std::string(200000, ' ');
    std::string strHeader = "3 0 4 " + std::to_string(std::string(kPage).size() + 1) + " ";
    std::string strStream = Compress(strHeader + strBodies) + std::string(70000, '\n');
    builder.Object(5, "<< /Type /ObjStm /N 2 /First " + std::to_string(strHeader.size()) +
                          " /Filter /FlateDecode /Length " + std::to_string(strStream.size()) +
                          " >>\nstream\n" + strStream + "\nendstream");
    std::string strEntries;
    for (int i = 0; i < 9; ++i) {
        bool bCompressed = i == 3 || i == 4;
        size_t nSecond = bCompressed ? 5 : (i == 0 || i == 6 ? 0 : builder.Offset(i));
        strEntries +=
            Bytes({i == 0 || i == 6 ? 0 : (bCompressed ? 2 : 1), static_cast<int>(nSecond >> 16) & 255,
                   static_cast<int>(nSecond >> 8) & 255, static_cast<int>(nSecond) & 255, i == 4 ? 1 : 0});
    }
    size_t nXref = builder.Size();
    builder.Stream(6, "/Type /XRef /Size 9 /W [1 3 1] /Root 1 0 R", strEntries);
    std::string strPdf = builder.Finish(nXref);
    ASSERT_GT(strPdf.size(), 4 * 65536u);
    ExpectA4Pages(strPdf, 2);
    // Offsets count from the PDF header, wherever in the file that is.
    CTempFolder folder;
    std::string strPrefix = "\x1b%-12345X@PJL ENTER LANGUAGE=PDF\n";
    WriteWholeFile(folder / "spread.pdf", strPrefix + strPdf);
    CByteSource source(folder / "spread.pdf");
    ASSERT_TRUE(source.IsOpen());
    source.Seek(strPrefix.size());
    FILEFORMATINFO info;
    CParseSink sink(info, nullptr);
    ReadPdfOwn(source, sink);
    EXPECT_EQ(2, info.nPageCount);
    EXPECT_NEAR(595 / 72.0, info.dWidth, 1e-9);
}

// An encryption dictionary without a key libqpdf needs (here one the revision does not use):
// libqpdf does not open the file, and the own reader gives nothing rather than pages.
TEST(PdfOwnReader, EncryptionDictionaryWithoutARequiredKeyGivesNothing) {
    for (const char* szFile : {"qpdf/a4-aes-256.pdf", "qpdf/a4-rc4-128.pdf"}) {
        for (const char* szKey : {"/O <", "/P -"}) {
            SCOPED_TRACE(std::string(szFile) + " " + szKey);
            std::string strPdf = ReadWholeFile(CorpusPath(szFile));
            size_t nKey = strPdf.find(szKey);
            ASSERT_NE(std::string::npos, nKey);
            strPdf[nKey + 1] = 'X';
            EXPECT_EQ(0, ReadWith(ReadPdfOwn, strPdf).nPageCount);
            EXPECT_EQ(0, ReadWith(ReadPdf, strPdf).nPageCount);
        }
    }
}

// A stray word in the cross-reference stream's dictionary: libqpdf reads past it, the own reader
// must not fall back on a scan, which here would find another page tree (object 2 defined again
// further on) and so another count.
TEST(PdfOwnReader, StrayWordInTheCrossReferenceGivesNothingRatherThanAScan) {
    CPdfBuilder builder;
    builder.Object(1, kCatalog);
    builder.Object(2, kPages);
    builder.Object(3, kPage);
    builder.Object(4, kPage);
    std::string strEntries = Bytes({0, 0, 0});
    for (int i = 1; i <= 4; ++i)
        strEntries +=
            Bytes({1, static_cast<int>(builder.Offset(i) >> 8), static_cast<int>(builder.Offset(i) & 255)});
    builder.Object(2, "<< /Type /Pages /Kids [3 0 R] /MediaBox [0 0 595 842] >>");
    builder.Stream(5, "", "trailer << /Root 1 0 R >>");
    size_t nXref = builder.Size();
    builder.Stream(6, "/Type /XRef /Size 5 /W [1 2 0] /Root 1 0 R /Junk 3!", strEntries);
    std::string strPdf = builder.Finish(nXref);
    EXPECT_EQ(0, ReadWith(ReadPdfOwn, strPdf).nPageCount);
    if (kBuiltWithLibqpdf) {
        EXPECT_EQ(2, ReadWith(ReadPdf, strPdf).nPageCount);
    }
}
