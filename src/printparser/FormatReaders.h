#pragma once

#include "printparser/ByteSource.h"
#include "printparser/PaperSizes.h"
#include "printparser/ParseSink.h"

// The format readers. Each starts at the source's current position, stops at the end of its
// data or at a closing UEL (ESC %-12345X), reports through the sink as it goes, and never throws.
// pjlPaper is the size a PJL header asked for (unknown when none); a reader uses it only when the
// data itself names no size.

// From the PDF header at the current position to the end of the source: through libqpdf where
// the build has it, otherwise the same as ReadPdfOwn.
void ReadPdf(CByteSource& source, CParseSink& sink);
// The same through the agent's own PDF reader, which needs no library but zlib. Where libqpdf
// repairs a damaged file differently, this reader gives no pages rather than other ones.
void ReadPdfOwn(CByteSource& source, CParseSink& sink);
void ReadPostScript(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper);
void ReadPcl5(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper);
void ReadPclXl(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper);
// The whole source as a zip archive.
void ReadXps(CByteSource& source, CParseSink& sink);

// Detects the format from the content at the current position (PJL header included) and runs the
// matching reader; an unknown format leaves the sink untouched.
void ReadPrintStream(CByteSource& source, CParseSink& sink);
