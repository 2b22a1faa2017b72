// libFuzzer target: the whole parse (format detection, PJL header, every reader) on arbitrary
// bytes; the values it ends with must be sound. Built by fuzz/build.sh.
#include "printparser/PrintFileParser.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FILEFORMATINFO info;
    ParsePrintBuffer(pData, nSize, info);
    if (info.nPageCount < 0 || !std::isfinite(info.dWidth) || !std::isfinite(info.dLength))
        std::abort();
    return 0;
}
