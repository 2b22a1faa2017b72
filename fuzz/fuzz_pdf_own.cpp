// libFuzzer target: the agent's own PDF reader on arbitrary bytes. Built by fuzz/build.sh.
#include "printparser/FormatReaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FILEFORMATINFO info;
    CParseSink sink(info, nullptr);
    CByteSource source(pData, nSize);
    ReadPdfOwn(source, sink);
    return 0;
}
