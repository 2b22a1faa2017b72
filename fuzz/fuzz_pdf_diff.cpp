// libFuzzer target: libqpdf's reader and the agent's own on the same bytes. Where libqpdf finds
// pages, the own reader must give the same count and first page size, or no pages at all (what
// libqpdf repairs it may not); any other answer aborts. Where libqpdf finds no pages (a file it
// cannot open even after its repair), the own reader's repair may still find some: that is the
// better answer for accounting, and the two repairs are not meant to fail alike. Likewise a first
// page size where libqpdf has none (its repair can keep an object it read at a wrong offset).
// Built by fuzz/build.sh.
#include "printparser/FormatReaders.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FILEFORMATINFO own = Read(ReadPdfOwn, pData, nSize);
    if (own.nPageCount == 0 && own.dWidth == 0.0 && own.dLength == 0.0)
        return 0;
    FILEFORMATINFO qpdf = Read(ReadPdf, pData, nSize);
    if (qpdf.nPageCount == 0)
        return 0;
    bool bQpdfHasSize = qpdf.dWidth != 0.0 || qpdf.dLength != 0.0;
    if (own.nPageCount != qpdf.nPageCount ||
        (bQpdfHasSize && (!SameSize(own.dWidth, qpdf.dWidth) || !SameSize(own.dLength, qpdf.dLength)))) {
        std::fprintf(stderr, "own reader: %d pages %g x %g; libqpdf: %d pages %g x %g\n", own.nPageCount,
                     own.dWidth, own.dLength, qpdf.nPageCount, qpdf.dWidth, qpdf.dLength);
        std::abort();
    }
    return 0;
}
