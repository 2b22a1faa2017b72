#include "printparser/FormatReaders.h"

// The PDF backend for builds without libqpdf.
void ReadPdf(CByteSource& source, CParseSink& sink) {
    ReadPdfOwn(source, sink);
}
