#pragma once

#include "printparser/FormatReaders.h"
#include "printparser/PrintFileParser.h"

#include <string>

// The corpus folder (tests/printparser/corpus).
std::string CorpusPath(const std::string& strName);

// ParsePrintBuffer over the bytes of strData; the result must be 1.
FILEFORMATINFO ParseBytes(const std::string& strData);

// What one format reader (ReadPdf, ReadPdfOwn, ...) finds in the bytes of strData.
FILEFORMATINFO ReadWith(void (*pReader)(CByteSource&, CParseSink&), const std::string& strData);

// Whether ReadPdf of this build is libqpdf's (the own reader's otherwise), for the cases that compare
// the two.
#ifdef KLENDO_PDF_BACKEND_Qpdf
constexpr bool kBuiltWithLibqpdf = true;
#else
constexpr bool kBuiltWithLibqpdf = false;
#endif

// An A4 page size as the parser reports it.
constexpr double kA4Width = 210 / 25.4;
constexpr double kA4Length = 297 / 25.4;
constexpr double kTolerance = 0.05;
