// libFuzzer target: libqpdf's reader and the agent's own on the same bytes. Where libqpdf reads
// pages from the file as it stands, the own reader must give the same count and first page size,
// or no pages at all; any other answer aborts. Where libqpdf finds no pages or no size, or gets
// them only by rebuilding a broken cross-reference (a repair that keeps whatever it happened to
// read before, such as an object read at a wrong offset), the own reader's repair may answer
// otherwise: the two repairs are not meant to fail alike, and a count found beats none for
// accounting. Built by fuzz/build.sh.
#include "printparser/FormatReaders.h"

#include <qpdf/QPDF.hh>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

FILEFORMATINFO Read(void (*pReader)(CByteSource&, CParseSink&), const uint8_t* pData, size_t nSize) {
    FILEFORMATINFO info;
    CParseSink sink(info, nullptr);
    CByteSource source(pData, nSize);
    pReader(source, sink);
    return info;
}

bool SameSize(double dOwn, double dQpdf) {
    return std::fabs(dOwn - dQpdf) <= 1e-9 * std::fabs(dQpdf);
}

// Whether libqpdf rebuilds the cross-reference to reach the pages.
bool QpdfRepairs(const uint8_t* pData, size_t nSize) {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    try {
        pdf.processMemoryFile("fuzz", reinterpret_cast<const char*>(pData), nSize);
        pdf.getAllPages();
    } catch (const std::exception&) {
        return true;
    }
    for (const QPDFExc& warning : pdf.getWarnings()) {
        if (warning.getMessageDetail().find("reconstruct") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FILEFORMATINFO own = Read(ReadPdfOwn, pData, nSize);
    if (own.nPageCount == 0 && own.dWidth == 0.0 && own.dLength == 0.0)
        return 0;
    FILEFORMATINFO qpdf = Read(ReadPdf, pData, nSize);
    if (qpdf.nPageCount == 0)
        return 0;
    bool bQpdfHasSize = qpdf.dWidth != 0.0 || qpdf.dLength != 0.0;
    if (own.nPageCount == qpdf.nPageCount &&
        (!bQpdfHasSize || (SameSize(own.dWidth, qpdf.dWidth) && SameSize(own.dLength, qpdf.dLength))))
        return 0;
    if (QpdfRepairs(pData, nSize))
        return 0;
    std::fprintf(stderr, "own reader: %d pages %g x %g; libqpdf: %d pages %g x %g\n", own.nPageCount,
                 own.dWidth, own.dLength, qpdf.nPageCount, qpdf.dWidth, qpdf.dLength);
    std::abort();
}
